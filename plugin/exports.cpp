// The six exports of the 00AM archive plug-in interface. Each one turns the
// interface's Win32 types into the portable call (calls/calls.h) or the
// settings dialog, and does nothing else the host could see.
#include "plugin/exports.h"

#include <string.h>

#include "calls/calls.h"
#include "settings/dialog.h"

HINSTANCE moduleInstance;
PluginState pluginState;

static const char* const PLUGIN_INFO[4] = {
    "00AM",                                            // archive plug-in, this interface version
    "morquent - QOR's DAT extract library ver.0.07",  // about text
    "*.*",                                             // file-name filter
    "QOR Data Packed File(*.*)",                       // type description of the filter
};

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
    if ((source & ~(DWORD_PTR)0xFFFF) != 0) {
        // The address of the file's first 2,048 bytes.
        return ProbeArchive(&pluginState, filePath, (const uint8_t*)source, PROBE_SIZE);
    }
    // A handle opened by the host: read from where its file pointer stands.
    // Bytes the read does not deliver stay zero.
    uint8_t probe[PROBE_SIZE];
    memset(probe, 0, sizeof probe);
    DWORD read = 0;
    if (!ReadFile((HANDLE)source, probe, PROBE_SIZE, &read, NULL)) return 0;
    return ProbeArchive(&pluginState, filePath, probe, (int32_t)read);
}

extern "C" int __stdcall GetArchiveInfo(LPCSTR path, LONG_PTR offset, unsigned flags, HLOCAL* listHandle)
{
    return ListArchive(&pluginState, path, offset, flags, listHandle);
}

extern "C" int __stdcall GetFileInfo(LPCSTR path, LONG_PTR offset, LPCSTR entryName, unsigned flags, void* info)
{
    return FindEntry(&pluginState, path, offset, entryName, flags, (EntryInfo*)info);
}

extern "C" int __stdcall GetFile(LPCSTR path, LONG_PTR position, LPSTR destination, unsigned flags,
                                 FARPROC progress, LONG_PTR callbackData)
{
    (void)progress;  // never called: extraction is not reported or cancelled
    (void)callbackData;
    return ExtractEntry(&pluginState, path, 0, position, destination, flags);  // a host's archive starts the file
}

extern "C" int __stdcall ConfigurationDlg(HWND parent, int function)
{
    if (function != 1) return -1;  // only "settings" is offered; no about box
    RunSettingsDialog(moduleInstance, parent, &pluginState.settings.CheckMode, &pluginState.settings.NumberingMode);
    return 0;
}
