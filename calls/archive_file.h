// What the three archive calls share: opening an archive, reading and
// validating its count and size table, locating entries, and reading entry
// heads with every byte the file does not deliver set to zero.
#ifndef MORQUENT_CALLS_ARCHIVE_FILE_H
#define MORQUENT_CALLS_ARCHIVE_FILE_H

#include <stdint.h>

#include "archive/entry.h"
#include "archive/state.h"
#include "archive/table.h"
#include "calls/platform.h"
#include "calls/result.h"

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
// 4 x count + 32 bytes at `base`, and validates them in `validateMode`
// (listing mode leaves the detected layout in `state`).
// Returns RESULT_OK, or RESULT_CANNOT_OPEN, RESULT_NO_MEMORY or
// RESULT_NOT_ARCHIVE with nothing left open or allocated.
ResultCode OpenArchive(PluginState* state, const char* path, int64_t base, int validateMode, ArchiveFile* archive);
// Releases what OpenArchive took; also on a record it never filled (zeroed).
void CloseArchive(ArchiveFile* archive);

// The place of slot `index` (0 <= index < count) by the size table, and a
// walk over every slot in order (archive/table.h). Positions are 64-bit: the
// sizes of a damaged table may add up past 4 GiB, and such slots simply lie
// past the end of the file.
void ArchivePlaceOf(const ArchiveFile* archive, int32_t index, SlotPlace* place);
void ArchiveWalkStart(const ArchiveFile* archive, TableWalk* walk);
// Where the slots end, from the count field (TableEntriesEnd).
int64_t ArchiveEntriesEnd(const ArchiveFile* archive);

// How many of the `asked` bytes at container offset `offset` the file holds.
uint32_t BytesAvailableAt(const ArchiveFile* archive, int64_t offset, uint32_t asked);

// Reads entry heads, and the pieces of an entry that is scanned or
// expanded. A read of `asked` bytes at an entry offset is served from a
// window when it fits (so a listing of thousands of small entries reads the
// file in large pieces instead of seeking to every entry, and a piece of a
// window's size costs one read), or from a buffer of its own, never larger
// than what the file still holds.
struct HeadReader {
    const ArchiveFile* archive;
    uint8_t* window;         // cached file bytes, or null when windowing is off
    uint32_t windowCapacity;
    int64_t windowStart;     // file position of window[0]
    uint32_t windowLength;
    uint8_t* own;            // buffer of the last head that did not fit the window
    bool readFailed;         // a read delivered fewer bytes than the file holds there
};

// `windowCapacity` 0 reads every head into its own buffer. Returns false when
// the window cannot be allocated.
bool OpenHeadReader(HeadReader* reader, const ArchiveFile* archive, uint32_t windowCapacity);
// Releases the reader's buffers; also on a record it never filled (zeroed).
void CloseHeadReader(HeadReader* reader);

// The `asked` bytes at container offset `offset` (an entry's first bytes, or
// a piece further on): returns a pointer to the bytes and sets *available to how many of them the file holds (the rest
// count as zero and must not be read). The pointer stays valid until the
// next call. Returns null when a buffer cannot be allocated.
const uint8_t* ReadHead(HeadReader* reader, int64_t offset, uint32_t asked, uint32_t* available);

// The EntryStreamSizes of the entry that `locator` describes (located at
// `offset`), scanned over its whole stored length: the bytes the file holds
// read through `reader` in pieces of at most ENTRY_PIECE_SIZE, the rest
// counted as zeros without being read. Returns false when a buffer cannot be
// had.
bool ScanEntryStreams(HeadReader* reader, int64_t offset, const EntryLocator* locator, EntryStreamSizes* sizes);

// Fills `locator` for the slot at `offset` with `storedSize` bytes from the
// first six bytes of a head of `headSize` bytes (those past the head, or
// past the end of the file, read as zero). Returns false when a buffer
// cannot be had.
bool LocateEntry(HeadReader* reader, int64_t offset, int32_t storedSize, uint32_t headSize, EntryLocator* locator);

// The record of the located entry at `offset`, as every call builds it:
// reads `headSize` bytes of head (EntryHeadSize) through `reader`, scans the
// entry's streams when the record needs them, and builds the record with
// `number` in `numberingMode`. When the record shows six-byte heads, raises
// state->memory.entryLayout to LAYOUT_KIND_SIZE: the only change it makes to the
// state. The record's position is the caller's to set. Returns RESULT_OK,
// RESULT_NO_MEMORY (a buffer could not be had) or RESULT_NO_RECORD.
ResultCode ReadEntryRecord(PluginState* state, EntryNumbering numberingMode, HeadReader* reader, int64_t offset,
                    uint32_t headSize, int32_t number, const EntryLocator* locator, EntryInfo* info);

#endif
