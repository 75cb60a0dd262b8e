// qordat test: every chosen entry read and expanded as extraction reads it,
// nothing written; each damaged entry named with what is wrong. Exit 0 when
// every entry is whole, 1 otherwise (unzip -t, 7z t, gzip -t).
#include <cinttypes>
#include <cstdio>

#include "tools/qordat/session.h"

namespace qordat {

int CommandTest(int argc, char** argv)
{
    enum { kQuiet = 1 };
    Session s;
    bool quiet = false;
    std::vector<OptionDef> options = kReadingOptions;
    options.push_back({"quiet", 'q', false, kQuiet});
    const int parsed = ParseCommandLine(
        argc, argv, options,
        [&](int id, const char* value) {
            if (id == kQuiet) quiet = true;
            return s.TakeOption(id, value);
        },
        [&](const char* argument) { return s.TakeArgument(argument); });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (const int status = s.Open(true)) return status;
    bool allMatched = true;
    const std::vector<const ListedEntry*> chosen = s.Choose(&allMatched);
    const bool tableDamaged = s.ReportTableDamage();
    size_t damaged = 0;
    for (const ListedEntry* e : chosen) {
        const SlotReport report = s.Check(*e, true);
        if (report.readFailed) return Fail("cannot read " + s.path + ": " + SystemError());
        std::fflush(stdout);
        const std::string lack = LackText(report);
        if (e->result != RESULT_OK) {
            std::fprintf(stderr, "qordat: %s: damaged: no record can be built%s\n", e->name.c_str(),
                         lack.empty() ? "" : (": " + lack).c_str());
            damaged++;
        } else if (!lack.empty()) {
            std::fprintf(stderr, "qordat: %s: damaged: %s\n", e->name.c_str(), lack.c_str());
            damaged++;
        } else if (!quiet) {
            std::printf("%-24s %10" PRIu64 "  ok\n", e->name.c_str(), e->size);
        }
    }
    if (damaged)
        std::fprintf(stderr, "qordat: %s: %zu of %s damaged\n", s.path.c_str(), damaged,
                     Count(static_cast<int64_t>(chosen.size()), "entry", "entries").c_str());
    else if (!quiet)
        std::printf("%s: %s whole\n", s.path.c_str(),
                    chosen.size() == 1 ? "the entry is" : (Count(static_cast<int64_t>(chosen.size()), "entry", "entries") + " are").c_str());
    return damaged || tableDamaged || !allMatched ? kExitFailed : kExitOk;
}

}  // namespace qordat
