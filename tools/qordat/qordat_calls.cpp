// qordat's calls into the plug-in's code: the host's side of the probe, the
// listing and the disk extraction. Natively they run over calls/
// platform_native.cpp; in qordat.exe over the plug-in's own Win32 side.
#include "tools/qordat/qordat_calls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/entry.h"
#include "archive/lzss.h"
#include "archive/names.h"
#include "archive/state.h"
#include "calls/calls.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "calls/platform_native.h"
#endif

namespace qordat {

const char* const kNumberingNames[3] = {"dummies", "kept", "packed"};

namespace {

// What the plug-in keeps between calls, for this run: the settings given,
// the base name the probe takes, the layout the listing detects.
PluginState state;

// The path handed to the probe. A host hands the plug-in a full Windows
// path, so the archive's file name always follows a '\', and the plug-in
// takes its base name from what follows the last one. Here the file name is
// what follows the last '/' (or '\' on Windows), and it is handed over as
// ".\NAME": the base name then comes out as under a host, also for a name
// that begins with a dot (a dot at the very start of the path would not end
// the base name).
std::string ProbePath(const std::string& path)
{
#if defined(_WIN32)
    const size_t slash = path.find_last_of("/\\:");
#else
    const size_t slash = path.rfind('/');
#endif
    return ".\\" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

size_t BlockSize(HostBlock block)
{
#if defined(_WIN32)
    return LocalSize(static_cast<HLOCAL>(block));
#else
    return NativeHostBlockSize(block);
#endif
}

}  // namespace

bool PluginProbe(const std::string& archivePath, const uint8_t* bytes)
{
    const std::string probePath = ProbePath(archivePath);
    return ProbeArchive(&state, probePath.c_str(), bytes, static_cast<int32_t>(kProbeSize)) != 0;
}

bool PluginLeavesName(const std::string& archivePath) { return HasMediaExtension(ProbePath(archivePath).c_str()); }

int PluginList(const std::string& archivePath, uint64_t offset, const ListSettings& settings,
               std::vector<ListedEntry>& entries, HeadLayout& layout)
{
    entries.clear();
    state.NumberingMode = settings.numbering;
    state.CheckMode = settings.fullScan ? 1 : 0;
    HostBlock block = nullptr;
    const int result = ListArchive(&state, archivePath.c_str(), static_cast<int64_t>(offset), 0, &block);
    if (result != RESULT_OK) return result;
    // A host reads records up to the zeroed one; the block's size bounds it too.
    const size_t capacity = BlockSize(block) / sizeof(EntryInfo);
    const EntryInfo* info = static_cast<const EntryInfo*>(HostLock(block));
    for (size_t i = 0; info && i < capacity && info[i].method[0]; i++) {
        ListedEntry entry;
        entry.name.assign(info[i].fileName, strnlen(info[i].fileName, sizeof info[i].fileName));
        entry.position = info[i].position;
        entry.stored = info[i].compressedSize;
        entry.size = info[i].fileSize;
        entries.push_back(std::move(entry));
    }
    HostUnlock(block);
    HostFree(block);
    layout = state.entryLayout == LAYOUT_KIND_SIZE   ? HeadLayout::KindSize
             : state.entryLayout == LAYOUT_KIND_ONLY ? HeadLayout::KindOnly
                                               : HeadLayout::Raw;
    return RESULT_OK;
}

int PluginExtractToDisk(const std::string& archivePath, uint64_t offset, uint64_t position, const std::string& dir)
{
    std::vector<char> destination(dir.begin(), dir.end());
    destination.push_back('\0');
    errno = 0;
    return ExtractEntry(&state, archivePath.c_str(), static_cast<int64_t>(offset), static_cast<int64_t>(position),
                        destination.data(), OUTPUT_DISK << 8);
}

uint64_t PluginStreamSize(const std::function<size_t(uint8_t* buffer, size_t room)>& next)
{
    LzssScan scan;
    LzssScanStart(&scan);
    std::vector<uint8_t> piece(ENTRY_PIECE_SIZE);
    while (const size_t n = next(piece.data(), piece.size())) LzssScanSome(&scan, piece.data(), static_cast<uint32_t>(n));
    return scan.count;
}

const char* PluginResultMeaning(int result) { return ResultMeaning(result); }

}  // namespace qordat
