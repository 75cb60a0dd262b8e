// qordat's calls into the plug-in's code: the host's side of the probe, the
// listing, the lookup and the disk extraction. Natively they run over
// calls/platform_native.cpp; in qordat.exe over the plug-in's own Win32 side.
// Each takes the PluginState that the plug-in would keep between a host's
// calls (the settings, the base name the probe takes, the layout the listing
// detects): the caller keeps it for one archive's run.
#ifndef MORQUENT_TOOLS_QORDAT_PLUGIN_H
#define MORQUENT_TOOLS_QORDAT_PLUGIN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/table.h"
#include "calls/calls.h"
#include "calls/walk.h"

namespace qordat {

// The plug-in's two settings, the ones of a host's dialog, as qordat takes
// them on its command line.
struct ListSettings {
    EntryNumbering numbering = NUMBERING_WITH_DUMMIES;
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
bool PluginProbe(PluginState& state, const std::string& archivePath, const uint8_t* bytes);
// True for the file names the plug-in leaves to other plug-ins (*.BMP, *.WAV, *.PNG).
bool PluginLeavesName(const std::string& archivePath);

// The base name the probe would take from `archivePath`, for an archive
// read by a layout the user gives although the probe refuses it.
void PluginTakeBaseName(PluginState& state, const std::string& archivePath);

// GetArchiveInfo of the archive at byte `offset` of the file, in `settings`
// (which go into `state`): the plug-in's result code; on success the
// records. The layout it detected (LAYOUT_*, which the lookup and the
// extraction then work by) is left in state.memory.entryLayout also when a record
// could not be built.
int PluginList(PluginState& state, const std::string& archivePath, uint64_t offset, const ListSettings& settings,
               std::vector<ListedEntry>& entries);

// GetFileInfo of table slot `slot`, by the name the listing gives it in
// `numbering` (the lookup reads the slot's number and separator, not the
// extension): its record, or entry.result the plug-in's result code.
ListedEntry PluginRecordOfSlot(PluginState& state, const std::string& archivePath, uint64_t offset,
                               EntryNumbering numbering, const SlotPlace& place);

// GetFile to disk, without the hosts' 1 GiB bound: the entry at `position`
// into a file of its name in `dir`, and in *report what the walk that wrote
// it found the file to lack. The plug-in's result code; errno tells why
// disk output failed (RESULT_OUTPUT_FAILED).
int PluginExtractToDisk(PluginState& state, const std::string& archivePath, uint64_t offset, uint64_t position,
                        const std::string& dir, SlotReport* report);

// GetFile's own two steps for one slot (calls/calls.h: ExtractionRecord and
// ExtractionWalk), so that the content can go to a sink of qordat's (unpack
// digests it as it writes it; repack reads back archives the plug-in
// refuses). What GetFile does between them (a file of the record's name, a
// content limit for hosts) is the caller's.
//
// The record the extraction builds for the slot at `place`, read through
// `reader` by state.memory.entryLayout (which the record may raise, as in the
// extraction), named in `numbering`. RESULT_OK, RESULT_NO_MEMORY or
// RESULT_NO_RECORD.
int PluginExtractionRecord(PluginState& state, HeadReader* reader, const SlotPlace& place, EntryNumbering numbering,
                           EntryInfo* info);

// The content of the slot at `place` whose record is `info`, by
// state.memory.entryLayout, handed to `write` in pieces as a host gets it (the
// stored bytes the file lacks as zeros), *report filled. RESULT_OK,
// RESULT_NO_MEMORY or RESULT_OUTPUT_FAILED (`write` refused bytes).
int PluginWalkContent(const PluginState& state, HeadReader* reader, const SlotPlace& place, const EntryInfo& info,
                      SlotWrite write, void* context, SlotReport* report);

}  // namespace qordat

#endif
