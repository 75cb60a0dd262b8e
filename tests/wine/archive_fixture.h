// Test support for the archive calls through the real DLL: settings put in
// the registry before the plug-in loads (it reads them once, at attach),
// archives written to temporary files, and the host's side of the calls.
#ifndef MORQUENT_TESTS_ARCHIVE_FIXTURE_H
#define MORQUENT_TESTS_ARCHIVE_FIXTURE_H

#include <gtest/gtest.h>

#include "plugin_loader.h"
#include "tools/spihost/registry_settings.h"

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/archive_builder.h"
#include "tools/spihost/host_record.h"

namespace testing_plugin {

using Record = HostRecord;
constexpr size_t kRecordSize = sizeof(Record);

// Unloads the plug-in (its state goes with it) and loads it afresh with the
// given settings.
inline void Reload(Exports& plugin, DWORD checkMode, DWORD numberingMode)
{
    if (plugin.module) FreeLibrary(plugin.module);
    PutSettings(checkMode, numberingMode);
    plugin = LoadPlugin();
}

inline std::string TempDir()
{
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    return dir;
}

inline std::string WriteArchive(const std::string& name, const std::vector<uint8_t>& bytes)
{
    return WriteTempFile(name, std::string(bytes.begin(), bytes.end()));
}

inline std::vector<uint8_t> ReadWholeFile(const std::string& path, bool* exists = nullptr)
{
    std::vector<uint8_t> bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (exists) *exists = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) return bytes;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!bytes.empty()) ReadFile(file, bytes.data(), (DWORD)bytes.size(), &read, nullptr);
    CloseHandle(file);
    return bytes;
}

// Probes the archive by its first 2 KiB (sets the base name).
inline int Probe(const Exports& plugin, const std::string& path)
{
    std::vector<uint8_t> head = FirstBytes(path);
    return plugin.IsSupported(path.c_str(), (DWORD_PTR)head.data());
}

struct Listing {
    int result = -99;
    std::vector<Record> records;
    SIZE_T blockSize = 0;
    bool gotBlock = false;
    std::vector<uint8_t> endMark;  // the record after the last one
};

inline Listing List(const Exports& plugin, const std::string& path, LONG_PTR offset = 0, unsigned flags = 0)
{
    Listing listing;
    HLOCAL block = (HLOCAL)(uintptr_t)0xBAADF00D;  // garbage a careless host might leave
    listing.result = plugin.GetArchiveInfo(path.c_str(), offset, flags, &block);
    listing.gotBlock = block != nullptr;
    if (listing.result != 0 || !block || block == (HLOCAL)(uintptr_t)0xBAADF00D) return listing;
    listing.blockSize = LocalSize(block);
    const Record* r = static_cast<const Record*>(LocalLock(block));
    for (; r->method[0]; r++) listing.records.push_back(*r);
    const uint8_t* end = reinterpret_cast<const uint8_t*>(r);
    listing.endMark.assign(end, end + sizeof(Record));
    LocalUnlock(block);
    LocalFree(block);
    return listing;
}

struct Extracted {
    int result = -99;
    bool nullHandle = false;
    std::vector<uint8_t> bytes;
};

inline Extracted ExtractToMemory(const Exports& plugin, const std::string& path, LONG_PTR position,
                                 unsigned flags = 0x100)
{
    Extracted x;
    HLOCAL block = (HLOCAL)(uintptr_t)0xBAADF00D;
    x.result = plugin.GetFile(path.c_str(), position, reinterpret_cast<LPSTR>(&block), flags, nullptr, 0);
    x.nullHandle = block == nullptr;
    if (x.result == 0 && block) {
        const uint8_t* bytes = static_cast<const uint8_t*>(LocalLock(block));
        x.bytes.assign(bytes, bytes + LocalSize(block));
        LocalUnlock(block);
        LocalFree(block);
    }
    return x;
}

}  // namespace testing_plugin

#endif
