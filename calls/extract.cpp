// One entry out of an archive, to memory or to disk (GetFile).
//
// The stored entry is read in pieces of ENTRY_PIECE_SIZE bytes and expanded
// as it comes, so that the working memory does not grow with the entry:
// memory output expands straight into the host's block; disk output expands
// into a window that keeps the last 4,096 bytes of content (all that LZSS
// references can reach) before a chunk of new content, and writes each chunk
// as it fills. A compressed entry that has to be sized by scanning its stream
// is read twice: once to scan it, once to expand it.
#include <assert.h>
#include <string.h>

#include "archive/container.h"
#include "archive/entry.h"
#include "archive/lzss.h"
#include "calls/archive_file.h"
#include "calls/calls.h"

// The largest content handed over: 1 GiB less one byte.
static const uint64_t MAX_OUTPUT_BLOCK = 1ull << 30;

static const uint32_t PIECE_SIZE = ENTRY_PIECE_SIZE;

// Disk output's window: the history references need and a chunk of new content.
enum { DISK_HISTORY = LZSS_RING_SIZE, DISK_CHUNK = 64 * 1024 };

// Bits 8-10 of GetFile's flags.
static unsigned OutputKind(unsigned flags) { return (flags >> 8) & 7; }

// Everything one extraction takes, released in one place.
struct Extraction {
    PluginState* state;
    uint32_t numberingMode;   // the position's: the name is made in it
    EntryLocator locator;     // the entry
    ArchiveFile archive;
    bool archiveOpen;
    int32_t storedSize;
    int64_t entryOffset;      // the entry's first byte, from the count field
    uint32_t entryAvailable;  // the entry's bytes that the file holds
    HeadReader reader;        // serves the entry's pieces from a window of up to ENTRY_PIECE_SIZE
    uint8_t* window;          // disk output: content history and the chunk being filled
    HostBlock block;
    uint64_t contentLimit;    // content of this size or more is refused
};

// Releases what the extraction still holds; a block handed on is no longer its.
static void ReleaseExtraction(Extraction* x)
{
    if (x->block) HostFree(x->block);
    WorkFree(x->window);
    CloseHeadReader(&x->reader);
    if (x->archiveOpen) CloseArchive(&x->archive);
}

// Stored bytes that the file does not hold are zeros; they are expanded from here.
static const uint8_t ZERO_PIECE[4096] = {0};

// The entry's stored bytes from `at` on (at < storedSize), their number in
// *length: up to ENTRY_PIECE_SIZE of those the file holds, through the
// reader's window, and past them zeros. The window holds a whole piece, so
// the read neither allocates nor falls short; should it all the same, null.
static const uint8_t* EntryPiece(Extraction* x, uint32_t at, uint32_t* length)
{
    if (at >= x->entryAvailable) {
        uint32_t rest = (uint32_t)x->storedSize - at;
        *length = rest < sizeof ZERO_PIECE ? rest : (uint32_t)sizeof ZERO_PIECE;
        return ZERO_PIECE;
    }
    uint32_t n = x->entryAvailable - at < PIECE_SIZE ? x->entryAvailable - at : PIECE_SIZE;
    const uint8_t* piece = ReadHead(&x->reader, x->entryOffset + at, n, length);
    return piece && *length == n ? piece : NULL;
}

// Locates the slot and builds its record, named in x->numberingMode.
static int BuildRecordOfSlot(Extraction* x, int32_t index, EntryInfo* info)
{
    const ArchiveFile* archive = &x->archive;
    // The number in the name: the table index, or under packed numbering the
    // number of non-empty slots up to and including this one, less one.
    int32_t number = index;
    if (x->numberingMode == NUMBERING_PACKED) {
        number = -1;
        for (int32_t i = 0; i <= index; i++) number += StoredSizeAt(archive, i) != 0;
    }
    x->entryOffset = EntryOffset(archive, index);
    int32_t storedSize = x->storedSize = StoredSizeAt(archive, index);
    x->entryAvailable = storedSize ? BytesAvailableAt(archive, x->entryOffset, (uint32_t)storedSize) : 0;
    // A window of one piece, no larger than what the file holds of the entry
    // (an entry the file holds nothing of reads its head into a buffer of no
    // bytes, a valid pointer that is never read).
    uint32_t window = x->entryAvailable < PIECE_SIZE ? x->entryAvailable : PIECE_SIZE;
    if (!OpenHeadReader(&x->reader, archive, window)) return RESULT_NO_MEMORY;

    // The extraction reads the entry whole: its head is its own bytes.
    uint32_t headSize = EntryHeadSize(storedSize, x->state->entryLayout, x->state->CheckMode, true);
    if (!LocateEntry(&x->reader, x->entryOffset, storedSize, headSize, &x->locator)) return RESULT_NO_MEMORY;
    int result = ReadEntryRecord(x->state, x->numberingMode, &x->reader, x->entryOffset, headSize, number,
                                 &x->locator, info);
    if (result != RESULT_OK) return result;
    // A 32-bit host cannot get a block of a gigabyte or more anyway; a 64-bit
    // one could, and a damaged size field of a tiny entry would then cost it
    // gigabytes of memory (or of disk). Both outputs refuse such content alike.
    if (storedSize != 0 && info->fileSize >= x->contentLimit) return RESULT_NO_HOST_MEMORY;
    return RESULT_OK;
}

// True when the entry has content to deliver: a non-empty entry whose
// content size is 0 has none, like an empty one.
static bool HasContent(const Extraction* x, const EntryInfo* info) { return x->storedSize != 0 && info->fileSize != 0; }

// Expands the whole entry into `out` (fileSize bytes), piece by piece.
// Returns RESULT_OK, or RESULT_NO_MEMORY when a piece cannot be read.
static int ExpandToMemory(Extraction* x, uint8_t* out, uint32_t fileSize)
{
    EntryExpansion expansion;
    EntryExpandStart(&expansion, x->state->entryLayout, x->locator.kind, fileSize);  // by the layout in force now
    uint32_t pos = 0, length;
    ExpandStatus status = EXPAND_NEEDS_INPUT;  // the room is the whole content: never full before it is finished
    for (uint32_t at = 0; at < (uint32_t)x->storedSize && status == EXPAND_NEEDS_INPUT; at += length) {
        const uint8_t* piece = EntryPiece(x, at, &length);
        if (!piece) return RESULT_NO_MEMORY;
        status = EntryExpandSome(&expansion, piece, &length, out, &pos, fileSize);
    }
    if (pos < fileSize) memset(out + pos, 0, fileSize - pos);
    return RESULT_OK;
}

// The content into a host block of its size, in x->block.
static int ExtractToBlock(Extraction* x, const EntryInfo* info)
{
    x->block = HostAlloc((size_t)info->fileSize);
    if (!x->block) return RESULT_NO_HOST_MEMORY;
    uint8_t* out = (uint8_t*)HostLock(x->block);
    if (!out) return RESULT_NO_MEMORY;
    int result = ExpandToMemory(x, out, (uint32_t)info->fileSize);
    HostUnlock(x->block);
    return result;
}

// Writes the content (fileSize bytes) to `output` through the window of
// `windowSize` bytes: whole when the content fits, else DISK_HISTORY +
// DISK_CHUNK, of which each chunk is written as it fills and the last
// DISK_HISTORY bytes are kept for the references to come. Returns RESULT_OK,
// RESULT_OUTPUT_FAILED when a write fails, or RESULT_NO_MEMORY when a piece
// cannot be read.
static int WriteContent(Extraction* x, PlatformOutput* output, uint32_t fileSize, uint32_t windowSize)
{
    uint8_t* window = x->window;
    EntryExpansion expansion;
    EntryExpandStart(&expansion, x->state->entryLayout, x->locator.kind, fileSize);
    uint32_t pos = 0, unwritten = 0;  // unwritten: where window's unwritten bytes begin
    ExpandStatus status = EXPAND_NEEDS_INPUT;
    uint32_t length;
    for (uint32_t at = 0; at < (uint32_t)x->storedSize && status != EXPAND_FINISHED; at += length) {
        const uint8_t* piece = EntryPiece(x, at, &length);
        if (!piece) return RESULT_NO_MEMORY;
        for (uint32_t used = 0;;) {
            uint32_t n = length - used;
            status = EntryExpandSome(&expansion, piece + used, &n, window, &pos, windowSize);
            used += n;
            if (status != EXPAND_OUTPUT_FULL) break;
            // The window is full (a window that holds the whole content
            // finishes instead): out with the chunk, keep the history, and
            // go on with the rest of the piece, or of a reference the window cut.
            assert(windowSize == DISK_HISTORY + DISK_CHUNK);
            if (!OutputWrite(output, window + unwritten, pos - unwritten)) return RESULT_OUTPUT_FAILED;
            memmove(window, window + pos - DISK_HISTORY, DISK_HISTORY);
            pos = unwritten = DISK_HISTORY;
        }
    }
    if (pos > unwritten && !OutputWrite(output, window + unwritten, pos - unwritten)) return RESULT_OUTPUT_FAILED;
    // What the stored bytes did not fill is zero.
    uint32_t produced = expansion.produced;
    if (produced < fileSize) memset(window, 0, windowSize);
    while (produced < fileSize) {
        uint32_t n = fileSize - produced < windowSize ? fileSize - produced : windowSize;
        if (!OutputWrite(output, window, n)) return RESULT_OUTPUT_FAILED;
        produced += n;
    }
    return RESULT_OK;
}

// Writes the content to the file `name` in directory `dir`, replacing a file
// of that name. A write that fails or falls short removes the partial file: a
// truncated entry must not pass for a good one. An entry without content
// gives an empty file.
static int ExtractToDisk(Extraction* x, const char* dir, const EntryInfo* info)
{
    uint32_t fileSize = HasContent(x, info) ? (uint32_t)info->fileSize : 0;
    uint32_t windowSize = fileSize < DISK_HISTORY + DISK_CHUNK ? fileSize : DISK_HISTORY + DISK_CHUNK;
    if (fileSize) {
        // Before the file exists, so that a buffer that cannot be had leaves none.
        x->window = (uint8_t*)WorkAlloc(windowSize);
        if (!x->window) return RESULT_NO_MEMORY;
    }
    PlatformOutput* output = OutputCreate(dir, info->fileName);
    if (!output) return RESULT_OUTPUT_FAILED;
    int result = fileSize ? WriteContent(x, output, fileSize, windowSize) : RESULT_OK;
    if (result == RESULT_OK && fileSize && !OutputSetEnd(output)) result = RESULT_OUTPUT_FAILED;
    // An empty entry is an empty file, kept; a close that fails loses it.
    if (!OutputClose(output, result == RESULT_OK) && result == RESULT_OK) result = RESULT_OUTPUT_FAILED;
    return result;
}

int ExtractEntry(PluginState* state, const char* path, int64_t offset, int64_t position, char* destination,
                 unsigned flags)
{
    return ExtractEntryUpTo(state, path, offset, position, destination, flags, MAX_OUTPUT_BLOCK);
}

int ExtractEntryUpTo(PluginState* state, const char* path, int64_t offset, int64_t position, char* destination,
                     unsigned flags, uint64_t contentLimit)
{
    unsigned output = OutputKind(flags);
    // With memory output the host's handle variable gets a null handle on
    // every failure, so a host that looks at the handle first finds nothing.
    HostBlock* handleOut = output == OUTPUT_MEMORY ? (HostBlock*)destination : NULL;
    if (handleOut) *handleOut = NULL;
    if (!InputIsFile(flags)) return RESULT_UNSUPPORTED_FLAGS;

    Extraction x;
    memset(&x, 0, sizeof x);
    x.state = state;
    x.contentLimit = contentLimit;
    int result = OpenArchive(state, path, offset, VALIDATE_PROBE, &x.archive);
    if (result != RESULT_OK) return result;
    x.archiveOpen = true;

    EntryInfo info;
    // position = 3 x table index + numbering mode; a position that names no
    // slot of this table is refused before the table is read.
    if (position < 0 || position / 3 >= x.archive.count) {
        result = RESULT_NOT_ARCHIVE;
    } else {
        x.numberingMode = (uint32_t)(position % 3);
        result = BuildRecordOfSlot(&x, (int32_t)(position / 3), &info);
    }
    // An output the call does not offer (kinds 2 to 7, or memory output with
    // no handle variable) is refused once the entry is known, as hosts have
    // always been answered, but before anything is allocated or expanded.
    bool offered = output == OUTPUT_DISK || (output == OUTPUT_MEMORY && handleOut);
    if (result == RESULT_OK && !offered) result = RESULT_UNSUPPORTED_FLAGS;

    if (result == RESULT_OK && output == OUTPUT_DISK) {
        result = ExtractToDisk(&x, destination ? destination : "", &info);
    } else if (result == RESULT_OK) {
        if (HasContent(&x, &info)) result = ExtractToBlock(&x, &info);
        if (result == RESULT_OK) {
            *handleOut = x.block;
            x.block = NULL;
        }
    }
    ReleaseExtraction(&x);
    return result;
}
