// qordat list: the entries as the plug-in lists them for a host, and on
// stderr the damage that the size table and the file's length show (an
// entry's stored bytes past the end of the file, a table the file cuts),
// without decoding anything.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "tools/qordat/session.h"

namespace qordat {

int CommandList(int argc, char** argv)
{
    enum { kTsv = 1 };
    Session s;
    bool tsv = false;
    std::vector<OptionDef> options = kReadingOptions;
    options.push_back({"tsv", 0, false, kTsv});
    const int parsed = ParseCommandLine(
        argc, argv, options,
        [&](int id, const char* value) {
            if (id == kTsv) tsv = true;
            return s.TakeOption(id, value);
        },
        [&](const char* argument) { return s.TakeArgument(argument); });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (const int status = s.Open(false)) {
        if (s.listResult == RESULT_NO_RECORD)
            std::fprintf(stderr, "qordat: 'qordat test' and 'qordat extract' read the entries that are whole\n");
        return status;
    }
    bool allMatched = true;
    const std::vector<const ListedEntry*> chosen = s.Choose(&allMatched);
    if (tsv) {
        std::printf("name\tposition\tstored\tsize\n");
        for (const ListedEntry* e : chosen)
            std::printf("%s\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\n", e->name.c_str(), e->position, e->stored, e->size);
    } else {
        int width = 24;
        for (const ListedEntry* e : chosen) width = std::max(width, static_cast<int>(e->name.size()));
        std::printf("%-*s %10s %10s %8s\n", width, "name", "size", "stored", "position");
        for (const ListedEntry* e : chosen)
            std::printf("%-*s %10" PRIu64 " %10" PRIu64 " %8" PRIu64 "\n", width, e->name.c_str(), e->size, e->stored,
                        e->position);
        std::printf("%s: %s (numbering %s, %s)\n", s.path.c_str(),
                    Count(static_cast<int64_t>(chosen.size()), "entry", "entries").c_str(),
                    kNumberingNames[s.settings.numbering], s.settings.fullScan ? "full scan" : "no full scan");
    }
    std::fflush(stdout);
    bool damaged = s.ReportTableDamage();
    // The listing decodes nothing: only an entry the file cuts is measured
    // (its stream scanned), so that it is named with the figures test and
    // extract give. A cut table is reported once, above.
    for (const ListedEntry* e : chosen) {
        if (e->Slot() >= s.places.size() || !s.places[e->Slot()].storedMissing) continue;
        const SlotReport report = s.Check(*e, e->size, false);
        if (report.readFailed) return Fail("cannot read " + s.path + ": " + SystemError());
        std::fprintf(stderr, "qordat: %s: damaged: %s\n", e->name.c_str(), LackText(report).c_str());
        damaged = true;
    }
    return allMatched && !damaged ? kExitOk : kExitFailed;
}

}  // namespace qordat
