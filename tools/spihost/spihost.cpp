// spihost: a command-line host for Susie "00AM" archive plug-ins.
//
// Loads any plug-in with LoadLibraryA/GetProcAddress and drives it the way an
// image viewer would:
//   spihost info PLUGIN                         identification texts
//   spihost probe PLUGIN FILE...                IsSupported with a handle and with 2 KiB
//   spihost list PLUGIN ARCHIVE [--offset N] [--tsv]   GetArchiveInfo, one line per entry
//   spihost extract PLUGIN ARCHIVE [NAME...] [-o DIR] [--memory|--disk]
//                                               probe, list and extract all or the named entries
//   spihost lookup PLUGIN ARCHIVE NAME [--offset N]   GetFileInfo
//   spihost config PLUGIN / spihost about PLUGIN      ConfigurationDlg function 1 / 0
// --numbering dummies|kept|packed and --full-scan run a command in those
// settings instead of the user's (see SettingsForRun).
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/spihost/host_record.h"
#include "tools/spihost/plugin_exports.h"
#include "tools/spihost/registry_settings.h"
#include "calls/calls.h"
#include "calls/words.h"

namespace {

using FileInfo = HostRecord;
using Plugin = PluginExports;

// Loads the plug-in and checks that it exports what a command needs; prints
// why not and returns false when it cannot.
bool LoadPlugin(const char* path, Plugin& plugin, const std::vector<const char*>& needed)
{
    plugin = BindExports(LoadLibraryA(path));
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
    return true;
}

int CommandInfo(const Plugin& plugin)
{
    static const char* const labels[4] = {"interface", "about", "filter", "description"};
    for (int index = 0; index < 4; index++) {
        char text[256] = {};
        int n = plugin.GetPluginInfo(index, text, sizeof text - 1);
        std::printf("%-12s %s\n", labels[index], n > 0 ? text : "(none)");
    }
    return 0;
}

// Asks IsSupported twice: with an open handle, and with the first 2 KiB.
// Returns the buffer answer, or -1 when the file cannot be opened.
int Probe(const Plugin& plugin, const char* path, bool print)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("%s: cannot open (error %lu)\n", path, GetLastError());
        return -1;
    }
    int byHandle = plugin.IsSupported(path, reinterpret_cast<DWORD_PTR>(file));
    std::vector<char> head(2048, 0);
    DWORD read = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    ReadFile(file, head.data(), 2048, &read, nullptr);
    CloseHandle(file);
    int byBuffer = plugin.IsSupported(path, reinterpret_cast<DWORD_PTR>(head.data()));
    if (print) std::printf("%s: handle %d, buffer %d\n", path, byHandle, byBuffer);
    return byBuffer;
}

// The records of a listing, copied out of the host-owned block.
int List(const Plugin& plugin, const char* archive, LONG_PTR offset, std::vector<FileInfo>& records)
{
    HLOCAL block = nullptr;
    int result = plugin.GetArchiveInfo(archive, offset, 0, &block);
    if (result != 0) return result;
    const FileInfo* info = static_cast<const FileInfo*>(LocalLock(block));
    for (; info && info->method[0]; info++) records.push_back(*info);
    LocalUnlock(block);
    LocalFree(block);
    return 0;
}

void PrintRecord(const FileInfo& info)
{
    std::printf("%-24s %10lu %10lu %8lu\n", info.fileName, (unsigned long)info.fileSize,
                (unsigned long)info.compressedSize, (unsigned long)info.position);
}

// --tsv: list prints a header line and each record's name (its bytes as they
// are), position, stored size and size, tab-separated, on a binary stdout;
// the result line goes to stderr. The same form as `qordat list --tsv`.
bool tsvListing = false;

int CommandList(const Plugin& plugin, const char* archive, LONG_PTR offset)
{
    std::vector<FileInfo> records;
    int result = List(plugin, archive, offset, records);
    if (result == 0 && tsvListing) {
        std::printf("name\tposition\tstored\tsize\n");
        for (const FileInfo& info : records)
            std::printf("%.200s\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\n", info.fileName, (uint64_t)info.position,
                        (uint64_t)info.compressedSize, (uint64_t)info.fileSize);
    } else if (result == 0) {
        std::printf("%-24s %10s %10s %8s\n", "name", "size", "stored", "position");
        for (const FileInfo& info : records) PrintRecord(info);
    }
    std::fprintf(tsvListing ? stderr : stdout, "%s: %zu entries, result %d (%s)\n", archive, records.size(), result,
                 ResultMeaning(result));
    return result == 0 ? 0 : 1;
}

int CommandLookup(const Plugin& plugin, const char* archive, const char* name, LONG_PTR offset)
{
    FileInfo info = {};
    int result = plugin.GetFileInfo(archive, offset, name, 0, &info);
    if (result == 0) PrintRecord(info);
    std::printf("%s: result %d (%s)\n", name, result, ResultMeaning(result));
    return result == 0 ? 0 : 1;
}

bool WriteWholeFile(const std::string& path, const void* bytes, size_t size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes, (DWORD)size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

// Extracts one entry; memory output is written to DIR by the host itself.
int ExtractOne(const Plugin& plugin, const char* archive, const FileInfo& info, const std::string& dir, bool memory)
{
    int result;
    if (memory) {
        HLOCAL block = nullptr;
        result = plugin.GetFile(archive, info.position, reinterpret_cast<LPSTR>(&block), 0x100, nullptr, 0);
        if (result == 0) {
            const void* bytes = block ? LocalLock(block) : nullptr;
            std::string path = dir.empty() ? info.fileName : dir + "\\" + info.fileName;
            if (!WriteWholeFile(path, bytes ? bytes : "", block ? info.fileSize : 0)) {
                std::printf("%s: cannot write %s\n", info.fileName, path.c_str());
                result = 1;
            }
            if (block) {
                LocalUnlock(block);
                LocalFree(block);
            }
        }
    } else {
        std::vector<char> destination(dir.begin(), dir.end());
        destination.push_back('\0');
        result = plugin.GetFile(archive, info.position, destination.data(), 0x000, nullptr, 0);
    }
    std::printf("%-24s %10lu  result %d (%s)\n", info.fileName, (unsigned long)info.fileSize, result,
                ResultMeaning(result));
    return result;
}

int CommandExtract(const Plugin& plugin, const char* archive, const std::vector<const char*>& names,
                   const std::string& dir, bool memory)
{
    if (Probe(plugin, archive, false) != 1) {
        std::printf("%s: not supported by the plug-in\n", archive);
        return 1;
    }
    if (!dir.empty()) CreateDirectoryA(dir.c_str(), nullptr);
    std::vector<FileInfo> records;
    int result = List(plugin, archive, 0, records);
    if (result != 0) {
        std::printf("%s: listing failed, result %d (%s)\n", archive, result, ResultMeaning(result));
        return 1;
    }
    int failures = 0;
    if (names.empty()) {
        for (const FileInfo& info : records) failures += ExtractOne(plugin, archive, info, dir, memory) != 0;
    } else {
        for (const char* name : names) {
            FileInfo info = {};
            result = plugin.GetFileInfo(archive, 0, name, 0, &info);
            if (result != 0) {
                std::printf("%s: lookup failed, result %d (%s)\n", name, result, ResultMeaning(result));
                failures++;
                continue;
            }
            failures += ExtractOne(plugin, archive, info, dir, memory) != 0;
        }
    }
    std::printf("%s: %d failed\n", archive, failures);
    return failures ? 1 : 0;
}

int CommandConfig(const Plugin& plugin, int function)
{
    int result = plugin.ConfigurationDlg(nullptr, function);
    std::printf("ConfigurationDlg(%d): %d\n", function, result);
    return 0;
}

// Hosts pass full Windows paths; so does this one (also under Wine, where
// a Unix-style relative path would otherwise reach the plug-in).
std::string FullPath(const char* path)
{
    char full[MAX_PATH * 2];
    DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full, n) : std::string(path);
}

// The plug-in's two settings for one run (--numbering, --full-scan; the
// other one at its default). The plug-in reads them from the registry when it
// loads, so they are put there before, and the user's values put back when
// spihost ends.
struct SettingsForRun {
    bool put = false;
    testing_plugin::SavedSettings saved;

    bool Put(DWORD checkMode, DWORD numberingMode)
    {
        saved = testing_plugin::ReadSettings();
        put = testing_plugin::PutSettings(checkMode, numberingMode);
        return put;
    }
    ~SettingsForRun()
    {
        if (put) testing_plugin::RestoreSettings(saved);
    }
};

int Usage()
{
    std::fprintf(stderr,
                 "usage: spihost info PLUGIN\n"
                 "       spihost probe PLUGIN FILE...\n"
                 "       spihost list PLUGIN ARCHIVE [--offset N] [--tsv]\n"
                 "       spihost extract PLUGIN ARCHIVE [NAME...] [-o DIR] [--memory|--disk]\n"
                 "       spihost lookup PLUGIN ARCHIVE NAME [--offset N]\n"
                 "       spihost config PLUGIN\n"
                 "       spihost about PLUGIN\n"
                 "options for every command: --numbering dummies|kept|packed, --full-scan: run in\n"
                 "those settings (the other at its default) instead of the user's\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return Usage();
    std::string command = argv[1];
    const char* pluginPath = argv[2];

    // Options after the plug-in; the rest are positional.
    std::vector<std::string> paths;
    std::vector<const char*> args;
    LONG_PTR offset = 0;
    std::string dir;
    bool memory = false;
    int numbering = -1;
    bool fullScan = false;
    for (int i = 3; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--offset" && i + 1 < argc) offset = std::strtol(argv[++i], nullptr, 0);
        else if (a == "--tsv") tsvListing = true;
        else if (a == "--full-scan") fullScan = true;
        else if (a == "--numbering" && i + 1 < argc) {
            EntryNumbering mode = NUMBERING_WITH_DUMMIES;
            if (!NumberingOfName(argv[++i], &mode)) return Usage();
            numbering = (int)mode;
        }
        else if (a == "-o" && i + 1 < argc) dir = argv[++i];
        else if (a == "--memory") memory = true;
        else if (a == "--disk") memory = false;
        else args.push_back(argv[i]);
    }
    if (!dir.empty()) dir = FullPath(dir.c_str());
    // Files (every argument of probe, the archive of the other commands) as full paths.
    paths.reserve(args.size());
    for (size_t i = 0; i < args.size() && (i == 0 || command == "probe"); i++) {
        paths.push_back(FullPath(args[i]));
        args[i] = paths.back().c_str();
    }

    SettingsForRun settings;
    if ((numbering >= 0 || fullScan) && !settings.Put(fullScan ? 1 : 0, numbering >= 0 ? numbering : 0)) {
        std::fprintf(stderr, "spihost: cannot write the plug-in's settings to the registry\n");
        return 1;
    }
    if (tsvListing) _setmode(_fileno(stdout), _O_BINARY);

    Plugin plugin;
    if (command == "info") {
        if (!LoadPlugin(pluginPath, plugin, {"GetPluginInfo"})) return 1;
        return CommandInfo(plugin);
    }
    if (command == "probe" && !args.empty()) {
        if (!LoadPlugin(pluginPath, plugin, {"IsSupported"})) return 1;
        int status = 0;
        for (const char* file : args) status |= Probe(plugin, file, true) < 0;
        return status;
    }
    if (command == "list" && args.size() == 1) {
        if (!LoadPlugin(pluginPath, plugin, {"IsSupported", "GetArchiveInfo"})) return 1;
        Probe(plugin, args[0], false);  // a host probes first: the probe names the entries
        return CommandList(plugin, args[0], offset);
    }
    if (command == "lookup" && args.size() == 2) {
        if (!LoadPlugin(pluginPath, plugin, {"IsSupported", "GetArchiveInfo", "GetFileInfo"})) return 1;
        std::vector<FileInfo> records;
        Probe(plugin, args[0], false);
        List(plugin, args[0], offset, records);  // the listing detects the entry layout
        return CommandLookup(plugin, args[0], args[1], offset);
    }
    if (command == "extract" && !args.empty()) {
        if (!LoadPlugin(pluginPath, plugin, {"IsSupported", "GetArchiveInfo", "GetFileInfo", "GetFile"})) return 1;
        return CommandExtract(plugin, args[0], std::vector<const char*>(args.begin() + 1, args.end()), dir, memory);
    }
    if (command == "config" || command == "about") {
        if (!LoadPlugin(pluginPath, plugin, {"ConfigurationDlg"})) return 1;
        return CommandConfig(plugin, command == "config" ? 1 : 0);
    }
    return Usage();
}
