// The one place where qordat calls into the plug-in's code: the probe, the
// listing and the disk extraction of calls/calls.h, with the state record
// they run under (archive/state.h), which qordat keeps for its run. qordat_extract.cpp builds `list` and
// `extract` on top of these, with its own logic for patterns, damaged
// entries, temporary files and signals.
#ifndef MORQUENT_TOOLS_QORDAT_CALLS_H
#define MORQUENT_TOOLS_QORDAT_CALLS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qordat {

// The user settings of a host's dialog, as qordat takes them on its command line.
struct ListSettings {
    uint32_t numbering = 0;  // 0 dummies, 1 kept, 2 packed (NUMBERING_*)
    bool fullScan = false;
};
extern const char* const kNumberingNames[3];

// Entry-header layouts, as the listing detects them.
enum class HeadLayout { Raw, KindSize, KindOnly };

// One record of the listing.
struct ListedEntry {
    std::string name;
    uint64_t position = 0;  // 3 x table index + numbering mode
    uint64_t stored = 0;    // the size-table value
    uint64_t size = 0;      // the content's size, as a host receives it
};

// The bytes the probe looks at: a host offers a file's first 2,048.
constexpr size_t kProbeSize = 2048;

// IsSupported over `bytes` (kProbeSize of them, zero past the file's end) of
// the file at `archivePath`; true when the plug-in takes the file. The entry
// names' base name is then taken from the path's file name.
bool PluginProbe(const std::string& archivePath, const uint8_t* bytes);
// True for the file names the plug-in leaves to other plug-ins (*.BMP, *.WAV, *.PNG).
bool PluginLeavesName(const std::string& archivePath);

// GetArchiveInfo of the archive at byte `offset` of the file, in `settings`:
// the plug-in's result code; on success the records, and the head layout it
// detected (which the extraction then works by).
int PluginList(const std::string& archivePath, uint64_t offset, const ListSettings& settings,
               std::vector<ListedEntry>& entries, HeadLayout& layout);

// GetFile to disk: the entry at `position` of the archive at byte `offset`
// of the file into a file of its name in `dir`. The plug-in's result code;
// errno tells why disk output failed (result 1).
int PluginExtractToDisk(const std::string& archivePath, uint64_t offset, uint64_t position, const std::string& dir);

// The number of content bytes that an LZSS stream decodes to (its complete
// tokens), the stream handed in by `next` piece by piece: `next` fills up
// to `room` bytes of `buffer` and returns how many, 0 at the stream's end.
uint64_t PluginStreamSize(const std::function<size_t(uint8_t* buffer, size_t room)>& next);

// What a result code of the calls means.
const char* PluginResultMeaning(int result);
constexpr int kResultOk = 0;
constexpr int kResultOutputFailed = 1;

}  // namespace qordat

#endif
