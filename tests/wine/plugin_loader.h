// Loads the built plug-in the way a host does, for tests and the benchmark that
// go through the real DLL: LoadLibraryA and GetProcAddress on
// build/win32/morquent.spi (build/win64/morquent.sph in the 64-bit build).
#ifndef MORQUENT_TESTS_PLUGIN_LOADER_H
#define MORQUENT_TESTS_PLUGIN_LOADER_H

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/spihost/plugin_exports.h"

namespace testing_plugin {

using Exports = PluginExports;

inline const char* PluginPath()
{
    const char* path = getenv("MORQUENT_PLUGIN");
#ifdef _WIN64
    return path && *path ? path : "morquent.sph";
#else
    return path && *path ? path : "morquent.spi";
#endif
}

inline Exports LoadPlugin() { return BindExports(LoadLibraryA(PluginPath())); }

// Writes `size` bytes to `path` (replacing the file) and returns the path.
inline std::string WriteBytes(const std::string& path, const void* data, size_t size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, data, (DWORD)size, &written, nullptr);
        CloseHandle(file);
    }
    return path;
}

// Writes `bytes` to a file under the test's temporary directory and returns
// its Windows path.
inline std::string WriteTempFile(const std::string& name, const std::string& bytes)
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return WriteBytes(std::string(dir) + name, bytes.data(), bytes.size());
}

// The first 2,048 bytes of a file, as a host reads them for IsSupported;
// zero past the file's end.
inline std::vector<uint8_t> FirstBytes(const std::string& path)
{
    std::vector<uint8_t> head(2048, 0);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD read = 0;
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, head.data(), (DWORD)head.size(), &read, nullptr);
        CloseHandle(file);
    }
    return head;
}

}  // namespace testing_plugin

#endif
