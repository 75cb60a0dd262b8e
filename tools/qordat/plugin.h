// qordat's calls into the plug-in's code: the host's side of the probe, the
// listing, the lookup and the disk extraction. Natively they run over
// calls/platform_native.cpp; in qordat.exe over the plug-in's own Win32 side.
#ifndef MORQUENT_TOOLS_QORDAT_PLUGIN_H
#define MORQUENT_TOOLS_QORDAT_PLUGIN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "calls/calls.h"

namespace qordat {

// The plug-in's two settings, the ones of a host's dialog, as qordat takes
// them on its command line.
struct ListSettings {
    uint32_t numbering = NUMBERING_WITH_DUMMIES;
    bool fullScan = false;
};

// One record of the listing, or a slot whose record cannot be built.
struct ListedEntry {
    std::string name;
    uint64_t position = 0;  // 3 x table index + numbering mode
    uint64_t stored = 0;    // the size-table value
    uint64_t size = 0;      // the content's size, as a host receives it
    int result = RESULT_OK; // RESULT_NO_RECORD: no record (name is "slot N")
    size_t Slot() const { return static_cast<size_t>(position / 3); }
};

// IsSupported over `bytes` (PROBE_SIZE of them, zero past the file's end) of
// the file at `archivePath`; true when the plug-in takes the file. The entry
// names' base name is then taken from the path's file name.
bool PluginProbe(const std::string& archivePath, const uint8_t* bytes);
// True for the file names the plug-in leaves to other plug-ins (*.BMP, *.WAV, *.PNG).
bool PluginLeavesName(const std::string& archivePath);

// GetArchiveInfo of the archive at byte `offset` of the file, in `settings`:
// the plug-in's result code; on success the records. The layout it
// detected (LAYOUT_*, which the lookup and the extraction then work by) is
// left in *layout also when a record could not be built.
int PluginList(const std::string& archivePath, uint64_t offset, const ListSettings& settings,
               std::vector<ListedEntry>& entries, int32_t* layout);

// GetFileInfo of table slot `slot`, by the name the listing gives it in
// `numbering` (the lookup reads the slot's number and separator, not the
// extension): its record, or entry.result the plug-in's result code.
ListedEntry PluginRecordOfSlot(const std::string& archivePath, uint64_t offset, uint32_t numbering, size_t slot,
                               size_t packedNumber);

// GetFile to disk, without the hosts' 1 GiB bound: the entry at `position`
// into a file of its name in `dir`. The plug-in's result code; errno tells
// why disk output failed (RESULT_OUTPUT_FAILED).
int PluginExtractToDisk(const std::string& archivePath, uint64_t offset, uint64_t position, const std::string& dir);

}  // namespace qordat

#endif
