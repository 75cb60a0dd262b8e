// The module's entry points for the page's worker (web/page/worker.js): a
// host of the archive calls, as the plug-in's exports are for a Windows
// host. It keeps the one PluginState of the page, the last listing's block
// and what its entries lack; the calls themselves do the work, over the
// browser's side of the seam (platform_web.cpp).
#include <emscripten.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "archive/names.h"
#include "calls/calls.h"
#include "calls/damage.h"
#include "calls/words.h"
#include "calls/platform_native.h"


namespace {

// The path under which the worker hands the seam the archive's File.
char ARCHIVE_PATH[] = "archive";

PluginState state;
HostBlock listing;        // the last listing's records
const EntryInfo* records;  // locked
int32_t listed;           // records before the zeroed one
SlotReport* damage;       // one per record, filled by MorquentCheck

void DropListing()
{
    if (listing) {
        HostUnlock(listing);
        HostFree(listing);
    }
    free(damage);
    listing = nullptr;
    records = nullptr;
    damage = nullptr;
    listed = 0;
}

// The path a Windows host would hand the probe: the file name after a '\',
// so that the base name comes out as under a host.
std::string ProbePath(const char* fileName) { return std::string(".\\") + fileName; }

bool Listed(int32_t i) { return i >= 0 && i < listed; }

}  // namespace

extern "C" {

// IsSupported as a host calls it: the file's first PROBE_SIZE bytes from
// `offset` (zero past its end). 1 when taken, 0 when refused, -1 when the
// worker holds no file.
EMSCRIPTEN_KEEPALIVE int MorquentProbe(const char* fileName, double offset)
{
    int64_t length = 0;
    PlatformFile* file = FileOpenRead(ARCHIVE_PATH, &length);
    if (!file) return -1;
    uint8_t bytes[PROBE_SIZE];
    FileReadAt(file, (int64_t)offset, bytes, PROBE_SIZE);
    FileClose(file);
    return ProbeArchive(&state, ProbePath(fileName).c_str(), bytes, PROBE_SIZE);
}

// 1 for the names the plug-in leaves to other plug-ins (*.BMP, *.WAV, *.PNG).
EMSCRIPTEN_KEEPALIVE int MorquentLeavesName(const char* fileName)
{
    return HasMediaExtension(ProbePath(fileName).c_str()) ? 1 : 0;
}

// GetArchiveInfo in the settings given; the result code. The records stay
// until the next listing.
EMSCRIPTEN_KEEPALIVE int MorquentList(int numbering, int fullScan, double offset)
{
    DropListing();
    state.NumberingMode = (EntryNumbering)numbering;
    state.CheckMode = fullScan ? 1 : 0;
    HostBlock block = nullptr;
    int result = ListArchive(&state, ARCHIVE_PATH, (int64_t)offset, 0, &block);
    if (result != RESULT_OK) return result;
    listing = block;
    records = (const EntryInfo*)HostLock(block);
    if (!records) {
        DropListing();
        return RESULT_NO_MEMORY;
    }
    // A host reads records up to the zeroed one; the block's size bounds it too.
    size_t capacity = NativeHostBlockSize(block) / sizeof(EntryInfo);
    while ((size_t)listed < capacity && records[listed].method[0]) listed++;
    damage = (SlotReport*)calloc((size_t)listed + 1, sizeof(SlotReport));
    if (!damage) {
        DropListing();
        return RESULT_NO_MEMORY;
    }
    return RESULT_OK;
}

EMSCRIPTEN_KEEPALIVE int MorquentCount() { return listed; }
EMSCRIPTEN_KEEPALIVE int MorquentLayout() { return state.entryLayout; }
// The names and words qordat uses too (calls/words.h).
EMSCRIPTEN_KEEPALIVE const char* MorquentLayoutName() { return LayoutName(state.entryLayout); }
EMSCRIPTEN_KEEPALIVE const char* MorquentResultMeaning(int code) { return ResultMeaning(code); }

// The fields of record `i` of the last listing.
EMSCRIPTEN_KEEPALIVE const char* MorquentName(int i)
{
    static char name[sizeof records->fileName + 1];
    name[0] = 0;
    if (Listed(i)) {
        memcpy(name, records[i].fileName, sizeof records[i].fileName);
        name[sizeof records[i].fileName] = 0;
    }
    return name;
}
EMSCRIPTEN_KEEPALIVE double MorquentPosition(int i) { return Listed(i) ? (double)records[i].position : -1; }
EMSCRIPTEN_KEEPALIVE double MorquentStored(int i) { return Listed(i) ? (double)records[i].compressedSize : 0; }
EMSCRIPTEN_KEEPALIVE double MorquentSize(int i) { return Listed(i) ? (double)records[i].fileSize : 0; }

// What records [first, first + count) lack, for MorquentMissing and the rest.
EMSCRIPTEN_KEEPALIVE int MorquentCheck(int first, int count, double offset)
{
    if (!records || first < 0 || count < 0 || first > listed) return RESULT_NOT_ARCHIVE;
    if (count > listed - first) count = listed - first;
    return CheckEntriesDamage(&state, ARCHIVE_PATH, (int64_t)offset, records + first, count, damage + first);
}
// Content bytes lost, stored bytes missing, whether the content is a stream,
// and what the entry lacks in the words qordat uses ("" when whole).
EMSCRIPTEN_KEEPALIVE double MorquentMissing(int i) { return Listed(i) ? (double)damage[i].contentMissing : 0; }
EMSCRIPTEN_KEEPALIVE double MorquentStoredMissing(int i) { return Listed(i) ? (double)damage[i].place.storedMissing : 0; }
EMSCRIPTEN_KEEPALIVE int MorquentCompressed(int i) { return Listed(i) && damage[i].payload.compressed ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE int MorquentDamaged(int i) { return Listed(i) && damage[i].lack != SLOT_WHOLE ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE const char* MorquentLack(int i)
{
    static char text[160];
    text[0] = 0;
    if (Listed(i)) DescribeSlotLack(&damage[i], text, sizeof text);
    return text;
}

// GetFile to the seam's output: the entry at `position` goes out in pieces
// under the name the extraction gives it. The result code.
EMSCRIPTEN_KEEPALIVE int MorquentExtract(double position, double offset)
{
    static char noDirectory[] = "";
    return ExtractEntry(&state, ARCHIVE_PATH, (int64_t)offset, (int64_t)position, noDirectory, OUTPUT_DISK << 8);
}

}  // extern "C"

// ---- Slot by slot, and where plain content lies in the file ----
//
// A listing fails as a whole when one entry's record cannot be built (an
// archive cut short, as a download that stopped). Then the page lists slot
// by slot, as qordat's extract and test do: each slot's record is looked up
// by the name the listing would give it (GetFileInfo), and the slots whose
// record cannot be built keep their result and what the file lacks of them.

#include <stdio.h>

#include "archive/bytes.h"
#include "archive/table.h"
#include "calls/walk.h"

namespace {

int* slotResults;        // per record of a slot-by-slot listing; null otherwise
double* slotMissing;     // stored bytes of such a slot past the end of the file
double* contentStarts;   // per record, filled by MorquentLocate
int32_t contentCapacity;

}  // namespace

extern "C" {

// The slots of the archive at `offset` in the settings given, each looked up
// on its own (after MorquentList failed, which left the layout). The result
// code; the records stay until the next listing, as MorquentList's do. What
// the file lacks of a slot without a record is in its damage report.
EMSCRIPTEN_KEEPALIVE int MorquentListSlots(int numbering, int fullScan, double offset)
{
    DropListing();
    free(slotResults);
    free(slotMissing);
    slotResults = nullptr;
    slotMissing = nullptr;
    if (numbering < 0 || numbering > 2) return RESULT_NOT_ARCHIVE;
    state.NumberingMode = (EntryNumbering)numbering;
    state.CheckMode = fullScan ? 1 : 0;
    ArchiveReader reader;
    int result = OpenArchiveReader(&reader, ARCHIVE_PATH, (int64_t)offset);
    if (result != RESULT_OK) return result;

    TableWalk walk;
    SlotPlace place;
    int32_t count = 0;
    for (ArchiveWalkStart(&reader.archive, &walk); TableWalkNext(&walk, &place);)
        count += numbering == NUMBERING_WITH_DUMMIES || place.storedSize != 0;
    listing = HostAlloc(((size_t)count + 1) * sizeof(EntryInfo));
    EntryInfo* made = listing ? (EntryInfo*)HostLock(listing) : nullptr;
    slotResults = (int*)calloc((size_t)count + 1, sizeof(int));
    slotMissing = (double*)calloc((size_t)count + 1, sizeof(double));
    damage = (SlotReport*)calloc((size_t)count + 1, sizeof(SlotReport));
    if (!made || !slotResults || !slotMissing || !damage) {
        CloseArchiveReader(&reader);
        DropListing();
        return RESULT_NO_MEMORY;
    }
    memset(made, 0, ((size_t)count + 1) * sizeof(EntryInfo));
    records = made;

    int32_t at = 0;
    const SlotSink measure = {NULL, 0, NULL, NULL, false};
    for (ArchiveWalkStart(&reader.archive, &walk); TableWalkNext(&walk, &place);) {
        if (numbering != NUMBERING_WITH_DUMMIES && place.storedSize == 0) continue;
        char name[32];
        snprintf(name, sizeof name, "%c%03d.DAT", NUMBERING_SEPARATORS[numbering],
                 (int)SlotNumber(&place, state.NumberingMode));
        EntryInfo* info = &made[at];
        slotResults[at] = FindEntry(&state, ARCHIVE_PATH, (int64_t)offset, name, 0, info);
        if (slotResults[at] != RESULT_OK) {
            memset(info, 0, sizeof *info);
            info->position = (EntryWord)EntryPosition(place.index, state.NumberingMode);
            info->compressedSize = place.storedSize > 0 ? (uint32_t)place.storedSize : 0;
            slotMissing[at] = (double)place.storedMissing;
            WalkSlot(&reader.reader, &place, state.entryLayout, 0, &measure, &damage[at]);
        }
        at++;
    }
    CloseArchiveReader(&reader);
    listed = count;
    return RESULT_OK;
}

// Right after MorquentListSlots (the worker asks nothing else in between):
// record i's lookup result, and the stored bytes of a failed slot the file lacks.
EMSCRIPTEN_KEEPALIVE int MorquentSlotResult(int i) { return slotResults && Listed(i) ? slotResults[i] : 0; }
EMSCRIPTEN_KEEPALIVE double MorquentSlotMissing(int i) { return slotMissing && Listed(i) ? slotMissing[i] : 0; }

// Where the content of each record lies in the file, byte for byte, when it
// is stored plain and the file holds all of it: the page then saves a slice
// of the File instead of running the extraction. Fills the answers of
// MorquentContentStart for every record; the result code.
EMSCRIPTEN_KEEPALIVE int MorquentLocate(double offset)
{
    if (!records) return RESULT_NOT_ARCHIVE;
    if (contentCapacity < listed + 1) {
        double* grown = (double*)realloc(contentStarts, ((size_t)listed + 1) * sizeof(double));
        if (!grown) return RESULT_NO_MEMORY;
        contentStarts = grown;
        contentCapacity = listed + 1;
    }
    for (int32_t i = 0; i < listed; i++) contentStarts[i] = -1;
    ArchiveReader reader;
    int result = OpenArchiveReader(&reader, ARCHIVE_PATH, (int64_t)offset);
    if (result != RESULT_OK) return result;
    // A listing's records are in table order: one walk places them all.
    TableWalk walk;
    SlotPlace place;
    place.index = -1;
    ArchiveWalkStart(&reader.archive, &walk);
    for (int32_t i = 0; i < listed; i++) {
        int64_t index = SlotOfPosition((int64_t)records[i].position);
        if (index >= reader.archive.count) continue;
        TableWalkTo(&walk, &place, (int32_t)index);
        uint32_t size = records[i].fileSize;
        if (place.offset < 0 || place.storedSize <= 0 || size == 0 || !records[i].method[0]) continue;
        uint32_t got = 0;
        const uint8_t* kindBytes = ReadHead(&reader.reader, place.offset, 2, &got);
        if (!kindBytes || reader.reader.readFailed) continue;
        SlotPayload payload =
            SlotPayloadOf(state.entryLayout, S16At(kindBytes, got, 0), (uint32_t)place.storedSize);
        // Plain, and every content byte within the stored bytes the file holds.
        if (payload.compressed || (uint64_t)payload.start + size > place.held) continue;
        contentStarts[i] = (double)(offset + (double)place.offset + payload.start);
    }
    CloseArchiveReader(&reader);
    return RESULT_OK;
}
EMSCRIPTEN_KEEPALIVE double MorquentContentStart(int i) { return contentStarts && Listed(i) ? contentStarts[i] : -1; }

}  // extern "C"
