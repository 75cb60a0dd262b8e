// The per-entry record of the 00AM archive interface as a host declares it
// (spihost, and the tests that call the plug-in from outside): method, four
// pointer-wide integers, path, file name and CRC; 428 bytes for 32-bit hosts,
// 448 (padded) for 64-bit ones.
#ifndef MORQUENT_TOOLS_HOST_RECORD_H
#define MORQUENT_TOOLS_HOST_RECORD_H

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct HostRecord {
    unsigned char method[8];
    uintptr_t position;
    uintptr_t compressedSize;
    uintptr_t fileSize;
    uintptr_t timestamp;
    char path[200];
    char fileName[200];
    uint32_t crc;
#ifdef _WIN64
    uint32_t padding;
#endif
};
#pragma pack(pop)

constexpr size_t kHostRecordSize = sizeof(void*) == 8 ? 448 : 428;
static_assert(sizeof(HostRecord) == kHostRecordSize, "the interface's record");

#endif
