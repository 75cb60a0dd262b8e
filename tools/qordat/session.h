// What list, extract and test share: the archive opened as a host opens it
// (probe, then listing, in the settings given), qordat's own reading of its
// size table beside it, the entries the patterns choose, and the reasons a
// file is refused.
#ifndef MORQUENT_TOOLS_QORDAT_SESSION_H
#define MORQUENT_TOOLS_QORDAT_SESSION_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/qordat/common.h"
#include "tools/qordat/input.h"
#include "tools/qordat/plugin.h"

namespace qordat {

// The options every reading command takes (--numbering, --full-scan,
// --offset), for their option tables.
enum { kOptNumbering = 100, kOptFullScan, kOptOffset };
extern const std::vector<OptionDef> kReadingOptions;

struct Session {
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { CloseArchiveReader(&reader); }

    std::string path;
    uint64_t base = 0;  // --offset: where the count field is in the file
    ListSettings settings;
    std::vector<std::string> patterns;
    // What the plug-in keeps between a host's calls, for this archive: the
    // settings, the base name, the layout the listing detected.
    PluginState state{};
    // A layout the user gives (unpack --layout), or -1: every slot is then
    // read by it, whatever the listing detects or raises.
    std::optional<EntryLayout> forcedLayout;
    InputFile file;
    ArchiveReader reader{};         // the archive's slots, for the walks
    std::vector<SlotPlace> places;  // one per slot whose size the file holds
    int32_t tableCount = 0;         // the count field, when the file holds a valid one
    int listResult = RESULT_OK;
    std::vector<ListedEntry> entries;  // the listing's records (or, see Open)

    // Handles one of kReadingOptions; other ids are the caller's. Returns 0
    // or a usage error's status.
    int TakeOption(int id, const char* value);
    // The first argument is the archive, the others patterns.
    int TakeArgument(const char* argument);

    // Probes and lists the archive and opens its slots for the walks. With
    // `recordsPerSlot` (extract and test), a listing that fails for an entry
    // whose record cannot be built is replaced by the lookup of each slot
    // the numbering lists, so that the others can still be read; the slots
    // without a record keep their result. With forcedLayout set, the probe
    // may refuse the file and the listing is not asked: every slot is
    // looked up by that layout. Returns 0 or the exit status (reported).
    int Open(bool recordsPerSlot);

    // The layout the slots are read by.
    EntryLayout Layout() const { return forcedLayout.value_or(state.memory.entryLayout); }

    // The walk over `entry`'s slot for the content its extraction gives
    // (none for an entry without a record): measured only, or with `expand`
    // expanded (and thrown away) as extraction expands it. The report's
    // readFailed says a read failed (errno).
    SlotReport Check(const ListedEntry& entry, bool expand);

    // The entries the patterns choose, in listing order; every entry when
    // there are none. A pattern that matches nothing is reported; *allMatched
    // says whether every one matched.
    std::vector<const ListedEntry*> Choose(bool* allMatched) const;

    // Reports what the table shows wrong as a whole (stderr); true if any.
    bool ReportTableDamage() const;

private:
    int OpenSlots();
    void LookUpEverySlot();
};

// How extract and unpack write entries.
struct ExtractOptions {
    std::string outDir = ".";
    bool keep = false;
    bool quiet = false;
    bool verbose = false;
    bool salvage = false;
    // Called for each entry once its file is in place, with the name it was
    // written under (unpack's manifest).
    std::function<void(const ListedEntry& entry, const std::string& written)> onWritten;
    // Given, each entry's content is also handed here as it is written, in
    // order (unpack digests it, so that no file is read again): the entry
    // is then written by GetFile's own steps taken apart (plugin.h:
    // PluginExtractionRecord, PluginWalkContent), the same record and name,
    // the same walk, the same bytes.
    std::function<void(const ListedEntry& entry, const uint8_t* bytes, size_t length)> onContent;
};

// Writes the chosen entries into o.outDir through the plug-in's extraction:
// each checked by the walk that writes it, put in place whole or not at
// all. Returns the exit status; `failedBefore` (a pattern that matched
// nothing, a cut table) makes it 1 as well.
int ExtractEntries(Session& s, const ExtractOptions& o, const std::vector<const ListedEntry*>& chosen,
                   bool failedBefore);

// What a slot lacks, in the words every program uses ("" when whole).
std::string LackText(const SlotReport& report);

}  // namespace qordat

#endif
