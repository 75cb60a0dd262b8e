// The host's side of the plug-in's calls, for qordat.
#include "tools/qordat/plugin.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/entry.h"
#include "archive/lzss.h"
#include "archive/names.h"
#include "archive/state.h"
#include "calls/archive_file.h"
#include "calls/calls.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "calls/platform_native.h"
#endif

namespace qordat {
namespace {

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

bool PluginProbe(PluginState& state, const std::string& archivePath, const uint8_t* bytes)
{
    const std::string probePath = ProbePath(archivePath);
    return ProbeArchive(&state, probePath.c_str(), bytes, static_cast<int32_t>(PROBE_SIZE)) != 0;
}

bool PluginLeavesName(const std::string& archivePath) { return HasMediaExtension(ProbePath(archivePath).c_str()); }

void PluginTakeBaseName(PluginState& state, const std::string& archivePath)
{
    DeriveBaseName(ProbePath(archivePath).c_str(), state.memory.archiveBaseName, sizeof state.memory.archiveBaseName);
}

int PluginList(PluginState& state, const std::string& archivePath, uint64_t offset, const ListSettings& settings,
               std::vector<ListedEntry>& entries)
{
    entries.clear();
    state.settings.NumberingMode = settings.numbering;
    state.settings.CheckMode = settings.fullScan ? 1 : 0;
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
    return RESULT_OK;
}

ListedEntry PluginRecordOfSlot(PluginState& state, const std::string& archivePath, uint64_t offset,
                               EntryNumbering numbering, const SlotPlace& place)
{
    char name[32];
    std::snprintf(name, sizeof name, "%c%03d.DAT", NUMBERING_SEPARATORS[numbering],
                  static_cast<int>(SlotNumber(&place, numbering)));
    EntryInfo info;
    std::memset(&info, 0, sizeof info);
    ListedEntry entry;
    entry.position = static_cast<uint64_t>(EntryPosition(place.index, numbering));
    entry.stored = place.storedSize > 0 ? static_cast<uint32_t>(place.storedSize) : 0;
    entry.result = FindEntry(&state, archivePath.c_str(), static_cast<int64_t>(offset), name, 0, &info);
    if (entry.result != RESULT_OK) {
        entry.name = "slot " + std::to_string(place.index);
        return entry;
    }
    entry.name.assign(info.fileName, strnlen(info.fileName, sizeof info.fileName));
    entry.stored = info.compressedSize;
    entry.size = info.fileSize;
    return entry;
}

int PluginExtractToDisk(PluginState& state, const std::string& archivePath, uint64_t offset, uint64_t position,
                        const std::string& dir, SlotReport* report)
{
    std::vector<char> destination(dir.begin(), dir.end());
    destination.push_back('\0');
    errno = 0;
    return ExtractEntryUpTo(&state, archivePath.c_str(), static_cast<int64_t>(offset), static_cast<int64_t>(position),
                            destination.data(), OUTPUT_DISK << 8, UINT64_MAX, report);
}

int PluginExtractionRecord(PluginState& state, HeadReader* reader, const SlotPlace& place, EntryNumbering numbering,
                           EntryInfo* info)
{
    std::memset(info, 0, sizeof *info);
    return ExtractionRecord(&state, reader, &place, numbering, info);
}

int PluginWalkContent(const PluginState& state, HeadReader* reader, const SlotPlace& place, const EntryInfo& info,
                      SlotWrite write, void* context, SlotReport* report)
{
    // The window keeps the history references reach before a chunk of new
    // content; its size changes how often `write` is called, never what it
    // gets.
    const uint32_t contentSize = ExtractionContentSize(&place, &info);
    constexpr uint32_t kChunk = 1u << 20;
    std::vector<uint8_t> window(std::max<uint32_t>(1, std::min<uint32_t>(contentSize, LZSS_RING_SIZE + kChunk)));
    return ExtractionWalk(&state, reader, &place, &info, window.data(), static_cast<uint32_t>(window.size()), write,
                          context, report);
}

}  // namespace qordat
