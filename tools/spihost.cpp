// spihost: a command-line host for Susie "00AM" archive plug-ins.
//
// Loads any plug-in with LoadLibraryA/GetProcAddress and drives it the way an
// image viewer would:
//   spihost info PLUGIN                 identification texts
//   spihost probe PLUGIN FILE...        IsSupported with a handle and with 2 KiB
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using GetPluginInfoFn = int(__stdcall*)(int, LPSTR, int);
using IsSupportedFn = int(__stdcall*)(LPCSTR, DWORD_PTR);

struct Plugin {
    HMODULE module = nullptr;
    GetPluginInfoFn getPluginInfo = nullptr;
    IsSupportedFn isSupported = nullptr;
};

// Loads the plug-in and the exports a command needs; prints why not and
// returns false when it cannot.
bool LoadPlugin(const char* path, Plugin& plugin, const std::vector<const char*>& needed)
{
    plugin.module = LoadLibraryA(path);
    if (!plugin.module) {
        std::fprintf(stderr, "spihost: cannot load plug-in %s (error %lu)\n", path, GetLastError());
        return false;
    }
    for (const char* name : needed) {
        if (!GetProcAddress(plugin.module, name)) {
            std::fprintf(stderr, "spihost: %s does not export %s\n", path, name);
            return false;
        }
    }
    plugin.getPluginInfo = reinterpret_cast<GetPluginInfoFn>(GetProcAddress(plugin.module, "GetPluginInfo"));
    plugin.isSupported = reinterpret_cast<IsSupportedFn>(GetProcAddress(plugin.module, "IsSupported"));
    return true;
}

int CommandInfo(const Plugin& plugin)
{
    static const char* const labels[4] = {"interface", "about", "filter", "description"};
    for (int index = 0; index < 4; index++) {
        char text[256] = {};
        int n = plugin.getPluginInfo(index, text, sizeof text - 1);
        std::printf("%-12s %s\n", labels[index], n > 0 ? text : "(none)");
    }
    return 0;
}

int ProbeOne(const Plugin& plugin, const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("%s: cannot open (error %lu)\n", path, GetLastError());
        return 1;
    }
    int byHandle = plugin.isSupported(path, reinterpret_cast<DWORD_PTR>(file));

    std::vector<char> head(2048, 0);
    DWORD read = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    ReadFile(file, head.data(), 2048, &read, nullptr);
    CloseHandle(file);
    int byBuffer = plugin.isSupported(path, reinterpret_cast<DWORD_PTR>(head.data()));

    std::printf("%s: handle %d, buffer %d\n", path, byHandle, byBuffer);
    return 0;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: spihost info PLUGIN\n"
                 "       spihost probe PLUGIN FILE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return Usage();
    std::string command = argv[1];
    const char* pluginPath = argv[2];
    Plugin plugin;

    if (command == "info") {
        if (!LoadPlugin(pluginPath, plugin, {"GetPluginInfo"})) return 1;
        return CommandInfo(plugin);
    }
    if (command == "probe" && argc >= 4) {
        if (!LoadPlugin(pluginPath, plugin, {"IsSupported"})) return 1;
        int status = 0;
        for (int i = 3; i < argc; i++) status |= ProbeOne(plugin, argv[i]);
        return status;
    }
    return Usage();
}
