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
#include "calls/platform_native.h"


namespace {

// The seam reads the worker's File whatever the path says.
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
    state.NumberingMode = (uint32_t)numbering;
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
