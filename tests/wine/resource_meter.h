// Measures what a process holds, for tests that check that calls through the
// plug-in leave nothing behind.
//
// How the process is measured under Wine:
// - Open handles: GetProcessHandleCount answers 0 under Wine, so every handle
//   value 4, 8, ... up to HANDLE_PROBE_BOUND is asked for with
//   GetHandleInformation. Wine hands out the lowest free handle value, so a
//   process holding a few dozen handles stays far below the bound (the tests
//   check that it does).
// - Heap blocks: HeapWalk over every heap of the process (GetProcessHeaps),
//   counting busy blocks and their bytes. malloc (msvcrt's own heap) and
//   LocalAlloc (the process heap) both land there, and the count is exact:
//   one leaked 50-byte head buffer shows as one block and 50 bytes.
// - Committed memory: VirtualQuery over the address space, summing private
//   committed regions. Blocks of 64 KiB and more are mapped on their own, so
//   one leaked 64 KiB block shows here too; small blocks only ever show in the
//   heap walk.
#ifndef MORQUENT_TESTS_RESOURCE_METER_H
#define MORQUENT_TESTS_RESOURCE_METER_H

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace testing_plugin {

const uintptr_t HANDLE_PROBE_BOUND = 0x10000;  // 16,384 handle values

// Committed memory may move by this much without a leak: a few pages that a
// heap commits or gives back as its free lists reshuffle. It is half of the
// 64 KiB block that the commit check must catch on its own. (Wine grows a
// heap in 64 KiB steps, which no tolerance could tell from such a leak; a
// warm-up round lets the heaps reach the size the measured calls need first,
// and the measurement then reads exactly 0.)
const long COMMIT_TOLERANCE = 32 * 1024;

struct Usage {
    long handles = 0;
    uintptr_t highestHandle = 0;
    long heapBlocks = 0;
    long heapBytes = 0;
    long committed = 0;
};

// Counts the process's open handles (into u.handles and u.highestHandle).
inline void CountHandles(Usage& u)
{
    u.handles = 0;
    u.highestHandle = 0;
    for (uintptr_t value = 4; value <= HANDLE_PROBE_BOUND; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            u.handles++;
            u.highestHandle = value;
        }
    }
}

inline Usage Measure()
{
    Usage u;
    CountHandles(u);
    HANDLE heaps[64];
    DWORD heapCount = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < heapCount && i < 64; i++) {
        PROCESS_HEAP_ENTRY entry;
        entry.lpData = nullptr;
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                u.heapBlocks++;
                u.heapBytes += (long)entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    MEMORY_BASIC_INFORMATION region;
    const char* at = nullptr;
    while (VirtualQuery(at, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) u.committed += (long)region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return u;
}

// What changed between two measurements, and whether that is flat.
struct Drift {
    long handles, heapBlocks, heapBytes, committed;
    bool Flat() const
    {
        return handles == 0 && heapBlocks == 0 && heapBytes == 0 && committed <= COMMIT_TOLERANCE &&
               committed >= -COMMIT_TOLERANCE;
    }
};

inline Drift Compare(const Usage& before, const Usage& after)
{
    return {after.handles - before.handles, after.heapBlocks - before.heapBlocks, after.heapBytes - before.heapBytes,
            after.committed - before.committed};
}

inline std::string Describe(const Usage& u)
{
    char text[200];
    snprintf(text, sizeof text, "%ld handles (highest value %lu), %ld heap blocks / %ld bytes, %ld bytes committed",
             u.handles, (unsigned long)u.highestHandle, u.heapBlocks, u.heapBytes, u.committed);
    return text;
}

}  // namespace testing_plugin

#endif
