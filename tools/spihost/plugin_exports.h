// The six exports of a 00AM archive plug-in as a host calls them (__stdcall,
// looked up by their plain names), for spihost, the Wine tests and the Wine
// benchmark. GetFileInfo fills the host's copy of the per-entry record
// (tools/spihost/host_record.h, or the plug-in's own EntryInfo).
#ifndef MORQUENT_TOOLS_PLUGIN_EXPORTS_H
#define MORQUENT_TOOLS_PLUGIN_EXPORTS_H

#include <windows.h>

typedef int(__stdcall* GetPluginInfoFn)(int index, LPSTR buffer, int bufferLength);
typedef int(__stdcall* IsSupportedFn)(LPCSTR path, DWORD_PTR source);
typedef int(__stdcall* GetArchiveInfoFn)(LPCSTR path, LONG_PTR offset, unsigned flags, HLOCAL* listHandle);
typedef int(__stdcall* GetFileInfoFn)(LPCSTR path, LONG_PTR offset, LPCSTR entryName, unsigned flags, void* record);
typedef int(__stdcall* GetFileFn)(LPCSTR path, LONG_PTR position, LPSTR destination, unsigned flags,
                                  FARPROC progress, LONG_PTR callbackData);
typedef int(__stdcall* ConfigurationDlgFn)(HWND parent, int function);

// A loaded plug-in; each export is null when the module does not have it.
struct PluginExports {
    HMODULE module = nullptr;
    GetPluginInfoFn GetPluginInfo = nullptr;
    IsSupportedFn IsSupported = nullptr;
    GetArchiveInfoFn GetArchiveInfo = nullptr;
    GetFileInfoFn GetFileInfo = nullptr;
    GetFileFn GetFile = nullptr;
    ConfigurationDlgFn ConfigurationDlg = nullptr;
};

// Looks the six exports up in `module` (which may be null: nothing is found).
inline PluginExports BindExports(HMODULE module)
{
    PluginExports e;
    e.module = module;
    if (!module) return e;
    auto find = [module](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
    e.GetPluginInfo = reinterpret_cast<GetPluginInfoFn>(find("GetPluginInfo"));
    e.IsSupported = reinterpret_cast<IsSupportedFn>(find("IsSupported"));
    e.GetArchiveInfo = reinterpret_cast<GetArchiveInfoFn>(find("GetArchiveInfo"));
    e.GetFileInfo = reinterpret_cast<GetFileInfoFn>(find("GetFileInfo"));
    e.GetFile = reinterpret_cast<GetFileFn>(find("GetFile"));
    e.ConfigurationDlg = reinterpret_cast<ConfigurationDlgFn>(find("ConfigurationDlg"));
    return e;
}

#endif
