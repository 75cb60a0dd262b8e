// qordat unpack: every slot's content written into a folder under the name
// the plug-in gives it (dummies numbering: an empty slot is an empty *.DMY
// file), read by the layout the plug-in detects in the setting that lists
// the archive (full scans on), or by the layout the user gives, which also
// reads archives the plug-in refuses or whose layout it guesses wrong. Each
// slot goes through the plug-in's own extraction, checked by the walk that
// writes it; a slot that cannot be read is named and the others still are.
#include <cstdio>

#include "archive/state.h"
#include "tools/qordat/common.h"
#include "tools/qordat/session.h"

namespace qordat {

int CommandUnpack(int argc, char** argv)
{
    enum { kLayout = 1, kOutput, kQuiet, kSalvage };
    Session s;
    ExtractOptions o;
    o.outDir.clear();
    int32_t layout = -1;
    std::vector<OptionDef> options = {{"offset", 0, true, kOptOffset},
                                      {"layout", 0, true, kLayout},
                                      {"output", 'o', true, kOutput},
                                      {"quiet", 'q', false, kQuiet},
                                      {"salvage", 0, false, kSalvage}};
    const int parsed = ParseCommandLine(
        argc, argv, options,
        [&](int id, const char* value) {
            switch (id) {
            case kLayout:
                if (!ParseLayout(value, layout)) return Usage("--layout takes raw, kind-size or kind-only");
                return 0;
            case kOutput:
                if (!*value) return Usage("-o takes a folder");
                o.outDir = value;
                return 0;
            case kQuiet: o.quiet = true; return 0;
            case kSalvage: o.salvage = true; return 0;
            }
            return s.TakeOption(id, value);
        },
        [&](const char* argument) {
            if (!s.path.empty()) return Usage("only one archive at a time");
            return s.TakeArgument(argument);
        });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (o.outDir.empty()) return Usage("unpack needs -o DIR");
    // Every slot, numbered by its place in the table; full scans size the
    // compressed entries of unknown content.
    s.settings = {NUMBERING_WITH_DUMMIES, true};
    s.forcedLayout = layout;
    if (const int status = s.Open(true)) return status;
    // Every slot by the layout the listing left, as the extraction after a
    // listing reads them.
    s.forcedLayout = s.Layout();
    const bool tableDamaged = s.ReportTableDamage();
    std::vector<const ListedEntry*> every;
    for (const ListedEntry& entry : s.entries) every.push_back(&entry);
    return ExtractEntries(s, o, every, tableDamaged);
}

}  // namespace qordat
