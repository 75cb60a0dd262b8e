// The one walk over arbitrary archive bytes, as every reader runs it: the
// damage check after a listing (what the page shows), and every slot read
// by a layout the user gives (what qordat unpack runs: the record by that
// layout with full scans, then the extraction through the walk), to memory
// and to disk. The walk's figures must agree with themselves and between
// its two modes: measured only (list, the page) and expanded (test,
// extract, unpack).
//
// Input: byte 0 bits 0-1 the user's layout (3: the listing's), bit 2 a
// short read somewhere, bits 3-4 the numbering; the rest is the file.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "archive/state.h"
#include "archive/table.h"
#include "calls/calls.h"
#include "calls/damage.h"
#include "calls/walk.h"
#include "fuzz/check.h"
#include "tests/support/platform_test.h"

namespace {

const char PATH[] = "C:\\Games\\WALK.DAT";

// A walk's report must add up whatever the bytes.
void CheckReport(const SlotReport& r)
{
    CHECK(r.contentDelivered + r.contentMissing == r.contentSize);
    CHECK(r.place.held + r.place.storedMissing == (r.place.storedSize > 0 && r.place.offset >= 0
                                                       ? (uint64_t)r.place.storedSize : 0));
    CHECK(r.payload.start <= (r.place.storedSize > 0 ? (uint32_t)r.place.storedSize : 0));
    CHECK((r.lack == SLOT_WHOLE) == (r.place.sizeInFile && !r.place.storedMissing && !r.contentMissing));
    char text[160];
    DescribeSlotLack(&r, text, sizeof text);
    CHECK((text[0] == 0) == (r.lack == SLOT_WHOLE));
}

bool Discard(void*, const uint8_t*, uint32_t) { return true; }

// Every slot by `layout`: measured, expanded, and extracted as unpack does.
void EverySlotBy(PluginState* state, EntryLayout layout, size_t fileSize)
{
    ArchiveReader reader;
    if (OpenArchiveReader(&reader, PATH, 0) != RESULT_OK) return;
    std::vector<uint8_t> window(LZSS_RING_SIZE + 1024);
    TableWalk walk;
    ArchiveWalkStart(&reader.archive, &walk);
    SlotPlace place;
    // A few hundred slots are plenty; a damaged count can name 8,191.
    for (int visited = 0; visited < 64 && TableWalkNext(&walk, &place); visited++) {
        state->memory.entryLayout = layout;
        EntryInfo info;
        memset(&info, 0, sizeof info);
        char name[16];
        snprintf(name, sizeof name, "~%03d.DAT", (int)place.index);
        if (FindEntry(state, PATH, 0, name, 0, &info) != RESULT_OK) continue;
        // Content past a few MiB costs time, not coverage.
        uint32_t size = info.fileSize < (1u << 22) ? (uint32_t)info.fileSize : 0;
        SlotReport measured, expanded, extracted;
        const SlotSink measure = {NULL, 0, NULL, NULL, false};
        const SlotSink expand = {window.data(), (uint32_t)window.size(), Discard, NULL, false};
        if (WalkSlot(&reader.reader, &place, layout, size, &measure, &measured) != RESULT_OK) continue;
        if (WalkSlot(&reader.reader, &place, layout, size, &expand, &expanded) != RESULT_OK) continue;
        CheckReport(measured);
        CheckReport(expanded);
        // Measured or expanded, a slot lacks the same bytes.
        CHECK(measured.contentDelivered == expanded.contentDelivered);
        CHECK(measured.lack == expanded.lack);
        CHECK(place.storedSize <= 0 || (int64_t)place.held <= (int64_t)fileSize);
        if (size == info.fileSize) {
            state->memory.entryLayout = layout;
            int result = ExtractEntryUpTo(state, PATH, 0, EntryPosition(place.index, NUMBERING_WITH_DUMMIES),
                                          (char*)"out", OUTPUT_DISK << 8, 1u << 22, &extracted);
            if (result == RESULT_OK) {
                CheckReport(extracted);
                // The extraction reads the slot whole for its record, which
                // may size it otherwise; of the same size, it lacks the same.
                if (extracted.contentSize == size && state->memory.entryLayout == layout)
                    CHECK(extracted.contentDelivered == expanded.contentDelivered);
            }
        }
    }
    CloseArchiveReader(&reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t options = data[0];
    NativeAddMemoryFile(PATH, data + 1, size - 1);
    NativeSetMemoryOutput(true);
    nativeHostBlockLimit = 1u << 22;
    PluginState state;
    memset(&state, 0, sizeof state);
    state.settings.NumberingMode = static_cast<EntryNumbering>((options >> 3 & 3) % 3);
    uint8_t probe[PROBE_SIZE] = {0};
    memcpy(probe, data + 1, size - 1 < sizeof probe ? size - 1 : sizeof probe);
    ProbeArchive(&state, PATH, probe, PROBE_SIZE);

    // The damage check over a listing's records.
    HostBlock block = NULL;
    if (options & 4) FaultCountdown(nativeFaults, FAULT_SHORT_READ) = 2;
    if (ListArchive(&state, PATH, 0, 0, &block) == RESULT_OK) {
        const EntryInfo* records = (const EntryInfo*)HostLock(block);
        int32_t count = 0;
        while (records[count].method[0]) count++;
        std::vector<SlotReport> reports((size_t)count + 1);
        if (CheckEntriesDamage(&state, PATH, 0, records, count, reports.data()) == RESULT_OK)
            for (int32_t i = 0; i < count; i++) CheckReport(reports[(size_t)i]);
        HostUnlock(block);
        HostFree(block);
    }
    nativeFaults = NativeFaults{};

    // Every slot by the user's layout, full scans on, as unpack reads them.
    const EntryLayout layout = (options & 3) == 3 ? state.memory.entryLayout : static_cast<EntryLayout>(options & 3);
    state.settings.CheckMode = 1;
    state.settings.NumberingMode = NUMBERING_WITH_DUMMIES;
    EverySlotBy(&state, layout, size - 1);

    NativeClearMemoryOutput();
    NativeClearMemoryFiles();
    const NativeOutstanding left = NativeCountOutstanding();
    CHECK(left.files + left.workBuffers + left.hostBlocks + left.hostLocks + left.outputs == 0);
    return 0;
}
