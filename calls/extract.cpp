// One entry out of an archive, to memory or to disk (GetFile).
//
// The stored entry is read in pieces of ENTRY_PIECE_SIZE bytes and expanded
// as it comes, so that the working memory does not grow with the entry:
// memory output expands straight into the host's block; disk output expands
// into a window that keeps the last 4,096 bytes of content (all that LZSS
// references can reach) before a chunk of new content, and writes each chunk
// as it fills. A compressed entry that has to be sized by scanning its stream
// is read twice: once to scan it, once to expand it.
#include <string.h>

#include "archive/container.h"
#include "archive/entry.h"
#include "archive/lzss.h"
#include "archive/table.h"
#include "calls/archive_file.h"
#include "calls/calls.h"
#include "calls/walk.h"

// The largest content handed over: 1 GiB less one byte.
static const uint64_t MAX_OUTPUT_BLOCK = 1ull << 30;

static const uint32_t PIECE_SIZE = ENTRY_PIECE_SIZE;

// Disk output's window: the history references need and a chunk of new content.
enum { DISK_HISTORY = LZSS_RING_SIZE, DISK_CHUNK = 64 * 1024 };

// Bits 8-10 of GetFile's flags.
static OutputKind OutputKindOf(unsigned flags) { return (OutputKind)((flags >> 8) & 7); }

// Everything one extraction takes, released in one place.
struct Extraction {
    PluginState* state;
    EntryNumbering numberingMode;   // the position's: the name is made in it
    ArchiveFile archive;
    bool archiveOpen;
    SlotPlace place;          // the entry's slot
    SlotReport report;        // what the walk found
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

// Locates the slot and builds its record, named in x->numberingMode.
static ResultCode BuildRecordOfSlot(Extraction* x, int32_t index, EntryInfo* info)
{
    const ArchiveFile* archive = &x->archive;
    ArchivePlaceOf(archive, index, &x->place);
    int32_t storedSize = x->place.storedSize;
    // A window of one piece, no larger than what the file holds of the entry
    // (an entry the file holds nothing of reads its head into a buffer of no
    // bytes, a valid pointer that is never read).
    uint32_t window = x->place.held < PIECE_SIZE ? (uint32_t)x->place.held : PIECE_SIZE;
    if (!OpenHeadReader(&x->reader, archive, window)) return RESULT_NO_MEMORY;

    ResultCode result = ExtractionRecord(x->state, &x->reader, &x->place, x->numberingMode, info);
    if (result != RESULT_OK) return result;
    // A 32-bit host cannot get a block of a gigabyte or more anyway; a 64-bit
    // one could, and a damaged size field of a tiny entry would then cost it
    // gigabytes of memory (or of disk). Both outputs refuse such content alike.
    if (storedSize != 0 && info->fileSize >= x->contentLimit) return RESULT_NO_HOST_MEMORY;
    return RESULT_OK;
}

ResultCode ExtractionRecord(PluginState* state, HeadReader* reader, const SlotPlace* place,
                            EntryNumbering numberingMode, EntryInfo* info)
{
    // The extraction reads the entry whole: its head is its own bytes.
    uint32_t headSize = EntryHeadSize(place->storedSize, state->memory.entryLayout, state->settings.CheckMode, true);
    EntryLocator locator;
    if (!LocateEntry(reader, place->offset, place->storedSize, headSize, &locator)) return RESULT_NO_MEMORY;
    return ReadEntryRecord(state, numberingMode, reader, place->offset, headSize, SlotNumber(place, numberingMode),
                           &locator, info);
}

uint32_t ExtractionContentSize(const SlotPlace* place, const EntryInfo* info)
{
    return place->storedSize != 0 ? (uint32_t)info->fileSize : 0;
}

ResultCode ExtractionSizeOfListed(const PluginState* state, HeadReader* reader, const SlotPlace* place,
                                  uint32_t listedSize, uint32_t* size)
{
    *size = listedSize;
    if (place->storedSize <= 0 || place->offset < 0) return RESULT_OK;
    uint32_t listingHead =
        EntryHeadSize(place->storedSize, state->memory.entryLayout, state->settings.CheckMode, false);
    if (listingHead <= (uint32_t)place->storedSize) return RESULT_OK;
    PluginState own = *state;  // the build may raise the layout; not this caller's
    EntryInfo info;
    ResultCode result = ExtractionRecord(&own, reader, place, NUMBERING_WITH_DUMMIES, &info);
    if (result == RESULT_NO_MEMORY) return result;
    if (result == RESULT_OK) *size = ExtractionContentSize(place, &info);
    return RESULT_OK;
}

ResultCode ExtractionWalk(const PluginState* state, HeadReader* reader, const SlotPlace* place, const EntryInfo* info,
                          uint8_t* window, uint32_t windowSize, SlotWrite write, void* context, SlotReport* report)
{
    // An entry without content still has its slot measured, for the report.
    static uint8_t none;
    uint32_t contentSize = ExtractionContentSize(place, info);
    SlotSink sink = {contentSize ? window : &none, contentSize ? windowSize : 0, contentSize ? write : NULL, context,
                     true};
    return WalkSlot(reader, place, state->memory.entryLayout, contentSize, &sink, report);
}

static uint32_t ContentSize(const Extraction* x, const EntryInfo* info) { return ExtractionContentSize(&x->place, info); }

// The walk as a host gets the content, by the layout in force now (the
// record's build may have raised it).
static ResultCode WalkAsHost(Extraction* x, const EntryInfo* info, uint8_t* window, uint32_t windowSize,
                             SlotWrite write, void* context)
{
    return ExtractionWalk(x->state, &x->reader, &x->place, info, window, windowSize, write, context, &x->report);
}

// The content into a host block of its size, in x->block: expanded straight
// into it.
static ResultCode ExtractToBlock(Extraction* x, const EntryInfo* info)
{
    uint32_t contentSize = ContentSize(x, info);
    x->block = HostAlloc((size_t)contentSize);
    if (!x->block) return RESULT_NO_HOST_MEMORY;
    uint8_t* out = (uint8_t*)HostLock(x->block);
    if (!out) return RESULT_NO_MEMORY;
    ResultCode result = WalkAsHost(x, info, out, contentSize, NULL, NULL);
    HostUnlock(x->block);
    return result;
}

static bool WriteToOutput(void* output, const uint8_t* bytes, uint32_t length)
{
    return OutputWrite((PlatformOutput*)output, bytes, length);
}

// Writes the content to the file `name` in directory `dir`, replacing a file
// of that name. A write that fails or falls short removes the partial file: a
// truncated entry must not pass for a good one. An entry without content
// gives an empty file.
static ResultCode ExtractToDisk(Extraction* x, const char* dir, const EntryInfo* info)
{
    // Whole when the content fits the window, else a chunk at a time after
    // the history the references need.
    uint32_t contentSize = ContentSize(x, info);
    uint32_t windowSize = contentSize < DISK_HISTORY + DISK_CHUNK ? contentSize : DISK_HISTORY + DISK_CHUNK;
    if (contentSize) {
        // Before the file exists, so that a buffer that cannot be had leaves none.
        x->window = (uint8_t*)WorkAlloc(windowSize);
        if (!x->window) return RESULT_NO_MEMORY;
    }
    PlatformOutput* output = OutputCreate(dir, info->fileName);
    if (!output) return RESULT_OUTPUT_FAILED;
    ResultCode result = WalkAsHost(x, info, x->window, windowSize, WriteToOutput, output);
    if (result == RESULT_OK && contentSize && !OutputSetEnd(output)) result = RESULT_OUTPUT_FAILED;
    // An empty entry is an empty file, kept; a close that fails loses it.
    if (!OutputClose(output, result == RESULT_OK) && result == RESULT_OK) result = RESULT_OUTPUT_FAILED;
    return result;
}

ResultCode ExtractEntry(PluginState* state, const char* path, int64_t offset, int64_t position, char* destination,
                 unsigned flags)
{
    return ExtractEntryUpTo(state, path, offset, position, destination, flags, MAX_OUTPUT_BLOCK, NULL);
}

ResultCode ExtractEntryUpTo(PluginState* state, const char* path, int64_t offset, int64_t position, char* destination,
                     unsigned flags, uint64_t contentLimit, SlotReport* report)
{
    OutputKind output = OutputKindOf(flags);
    // With memory output the host's handle variable gets a null handle on
    // every failure, so a host that looks at the handle first finds nothing.
    HostBlock* handleOut = output == OUTPUT_MEMORY ? (HostBlock*)destination : NULL;
    if (handleOut) *handleOut = NULL;
    if (!InputIsFile(flags)) return RESULT_UNSUPPORTED_FLAGS;

    Extraction x;
    memset(&x, 0, sizeof x);
    x.state = state;
    x.contentLimit = contentLimit;
    ResultCode result = OpenArchive(state, path, offset, VALIDATE_PROBE, &x.archive);
    if (result != RESULT_OK) return result;
    x.archiveOpen = true;

    EntryInfo info;
    // position = 3 x table index + numbering mode; a position that names no
    // slot of this table is refused before the table is read.
    if (position < 0 || SlotOfPosition(position) >= x.archive.count) {
        result = RESULT_NOT_ARCHIVE;
    } else {
        x.numberingMode = NumberingOfPosition(position);
        result = BuildRecordOfSlot(&x, (int32_t)SlotOfPosition(position), &info);
    }
    // An output the call does not offer (kinds 2 to 7, or memory output with
    // no handle variable) is refused once the entry is known, as hosts have
    // always been answered, but before anything is allocated or expanded.
    bool offered = output == OUTPUT_DISK || (output == OUTPUT_MEMORY && handleOut);
    if (result == RESULT_OK && !offered) result = RESULT_UNSUPPORTED_FLAGS;

    if (result == RESULT_OK && output == OUTPUT_DISK) {
        result = ExtractToDisk(&x, destination ? destination : "", &info);
    } else if (result == RESULT_OK) {
        result = ContentSize(&x, &info) ? ExtractToBlock(&x, &info) : WalkAsHost(&x, &info, NULL, 0, NULL, NULL);
        if (result == RESULT_OK) {
            *handleOut = x.block;
            x.block = NULL;
        }
    }
    if (report) *report = x.report;
    ReleaseExtraction(&x);
    return result;
}
