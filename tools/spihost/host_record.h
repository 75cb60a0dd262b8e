// The per-entry record of the 00AM archive interface as a host declares it
// (spihost, and the tests that call the plug-in from outside, all Windows
// programs): method, four pointer-wide integers, path, file name and CRC,
// laid out as archive/record_layout.h says.
#ifndef MORQUENT_TOOLS_HOST_RECORD_H
#define MORQUENT_TOOLS_HOST_RECORD_H

#include <cstddef>
#include <cstdint>

#include "archive/record_layout.h"

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

CHECK_RECORD_LAYOUT(HostRecord);

#endif
