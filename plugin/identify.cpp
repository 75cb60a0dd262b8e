// Identification and probing: what the host meets first.
#include <string.h>

#include "archive/container.h"
#include "archive/names.h"
#include "archive/state.h"
#include "plugin/exports.h"

HINSTANCE moduleInstance;

static const char* const PLUGIN_INFO[4] = {
    "00AM",                                            // archive plug-in, this interface version
    "morquent - QOR's DAT extract library ver.0.07",  // about text
    "*.*",                                             // file-name filter
    "QOR Data Packed File(*.*)",                       // type description of the filter
};

enum { PROBE_SIZE = 2048 };

extern "C" int __stdcall GetPluginInfo(int index, LPSTR buffer, int bufferLength)
{
    if ((unsigned)index >= 4) return 0;
    // A negative length is not a buffer: nothing is written.
    if (bufferLength <= 0) return 0;
    int n = (int)strlen(PLUGIN_INFO[index]) + 1;
    if (n >= bufferLength) n = bufferLength;
    memcpy(buffer, PLUGIN_INFO[index], (size_t)n);
    return n;
}

extern "C" int __stdcall IsSupported(LPCSTR filePath, DWORD_PTR source)
{
    if (!filePath) return 0;

    uint8_t probe[PROBE_SIZE];
    const uint8_t* bytes;
    int32_t length;
    if ((source & ~(DWORD_PTR)0xFFFF) == 0) {
        // A handle opened by the host: read from where its file pointer
        // stands. Bytes the read does not deliver stay zero.
        memset(probe, 0, sizeof probe);
        DWORD read = 0;
        if (!ReadFile((HANDLE)source, probe, PROBE_SIZE, &read, NULL)) return 0;
        bytes = probe;
        length = (int32_t)read;
    } else {
        bytes = (const uint8_t*)source;
        length = PROBE_SIZE;
    }

    if (HasMediaExtension(filePath)) return 0;
    if (!ValidateContainer(bytes, length, VALIDATE_PROBE)) return 0;
    DeriveBaseName(filePath, archiveBaseName, sizeof archiveBaseName);
    return 1;
}
