// What list, extract and test share: the archive opened as a host opens it
// (probe, then listing, in the settings given), qordat's own reading of its
// size table beside it, the entries the patterns choose, and the reasons a
// file is refused.
#ifndef MORQUENT_TOOLS_QORDAT_SESSION_H
#define MORQUENT_TOOLS_QORDAT_SESSION_H

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
    std::string path;
    uint64_t base = 0;  // --offset: where the count field is in the file
    ListSettings settings;
    std::vector<std::string> patterns;
    InputFile file;
    SizeTable table;
    int listResult = RESULT_OK;
    int32_t layout = LAYOUT_RAW;       // as the listing left it
    std::vector<ListedEntry> entries;  // the listing's records (or, see Open)

    // Handles one of kReadingOptions; other ids are the caller's. Returns 0
    // or a usage error's status.
    int TakeOption(int id, const char* value);
    // The first argument is the archive, the others patterns.
    int TakeArgument(const char* argument);

    // Reads the file's table, probes and lists it. With `recordsPerSlot`
    // (extract and test), a listing that fails for an entry whose record
    // cannot be built is replaced by the lookup of each slot the numbering
    // lists, so that the others can still be read; the slots without a
    // record keep their result. Returns 0 or the exit status (reported).
    int Open(bool recordsPerSlot);

    // The entries the patterns choose, in listing order; every entry when
    // there are none. A pattern that matches nothing is reported; *allMatched
    // says whether every one matched.
    std::vector<const ListedEntry*> Choose(bool* allMatched) const;

    // Reports what the table shows wrong as a whole (stderr); true if any.
    bool ReportTableDamage() const;
};

}  // namespace qordat

#endif
