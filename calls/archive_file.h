// What the three archive calls share: opening an archive, reading and
// validating its count and size table, locating entries, and reading entry
// heads with every byte the file does not deliver set to zero.
#ifndef MORQUENT_CALLS_ARCHIVE_FILE_H
#define MORQUENT_CALLS_ARCHIVE_FILE_H

#include <stdint.h>

#include "archive/state.h"
#include "calls/platform.h"

// Bits 0-2 of the flags: the input kind; 0 (a file) is the only one accepted.
static inline bool InputIsFile(unsigned flags) { return (flags & 7) == 0; }

// An open archive: its file, where the container begins in it, and the
// count, the size table and the 28 bytes after the table as read from there.
struct ArchiveFile {
    PlatformFile* file;
    int64_t base;         // file position of the count field
    int64_t fileLength;
    uint8_t* table;       // 4 x count + 32 bytes, zero where the file ended
    int32_t tableLength;
    int32_t count;
};

// Opens `path` for reading (shared for reading), reads the count and then
// 4 x count + 32 bytes at `base`, and validates them in `validateMode`.
// Returns RESULT_OK, or RESULT_CANNOT_OPEN, RESULT_NO_MEMORY or
// RESULT_NOT_ARCHIVE with nothing left open or allocated.
int OpenArchive(const char* path, int64_t base, int validateMode, ArchiveFile* archive);
// Releases what OpenArchive took; also on a record it never filled (zeroed).
void CloseArchive(ArchiveFile* archive);

// The size-table value of slot `index` (0 <= index < count).
int32_t StoredSizeAt(const ArchiveFile* archive, int32_t index);

// Where slot `index` begins, counted from the count field: 4 + 4 x count +
// the sizes of the slots before it. 64-bit: the sizes of a damaged table may
// add up past 4 GiB, and such positions simply lie past the end of the file.
int64_t EntryOffset(const ArchiveFile* archive, int32_t index);

// How many of the `asked` bytes at container offset `offset` the file holds.
uint32_t BytesAvailableAt(const ArchiveFile* archive, int64_t offset, uint32_t asked);

// Reads entry heads. A head of `asked` bytes at an entry offset is served
// from a window when it fits (so a listing of thousands of small entries
// reads the file in large pieces instead of seeking to every entry), or
// from a buffer of its own, never larger than what the file still holds.
struct HeadReader {
    const ArchiveFile* archive;
    uint8_t* window;         // cached file bytes, or null when windowing is off
    uint32_t windowCapacity;
    int64_t windowStart;     // file position of window[0]
    uint32_t windowLength;
    uint8_t* own;            // buffer of the last head that did not fit the window
};

// `windowCapacity` 0 reads every head into its own buffer. Returns false when
// the window cannot be allocated.
bool OpenHeadReader(HeadReader* reader, const ArchiveFile* archive, uint32_t windowCapacity);
// Releases the reader's buffers; also on a record it never filled (zeroed).
void CloseHeadReader(HeadReader* reader);

// The first `asked` bytes of the entry at `offset`: returns a pointer to the
// bytes and sets *available to how many of them the file holds (the rest
// count as zero and must not be read). The pointer stays valid until the
// next call. Returns null when a buffer cannot be allocated.
const uint8_t* ReadHead(HeadReader* reader, int64_t offset, uint32_t asked, uint32_t* available);

// Fills a locator for the slot at `offset` with `storedSize` bytes; kind and
// declared size come from the head's bytes 0-1 and 2-5 (zero where the head
// holds fewer bytes).
void FillLocator(EntryLocator* locator, int64_t offset, int32_t storedSize, const uint8_t* head, uint32_t available);

// How many bytes of an entry the listing and the lookup read: the whole entry
// when compressed entries may have to be scanned, 50 otherwise.
int32_t HeadReadSize(int32_t storedSize);

#endif
