// qordat list: the entries as the plug-in lists them for a host, and on
// stderr the damage that the size table and the file's length show (an
// entry's stored bytes past the end of the file, a table the file cuts),
// without decoding anything.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/qordat/session.h"

namespace qordat {
namespace {

// The columns a name takes on a terminal. Names are the archive's file name
// as its bytes came, so UTF-8 on most systems and Shift-JIS from Windows
// ones: valid UTF-8 is measured by code point (East Asian wide and
// full-width characters two columns, combining marks none); other bytes one
// column each, which is what a Shift-JIS terminal shows (a double-byte
// character two columns) and a UTF-8 one shows of bytes it cannot read.
int DisplayWidth(const std::string& name)
{
    auto wide = [](uint32_t c) {
        return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF) ||
               (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
               (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
               (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
               (c >= 0x20000 && c <= 0x3FFFD);
    };
    auto combining = [](uint32_t c) {
        return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
               (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B || c == 0x3099 ||
               c == 0x309A;
    };
    int width = 0;
    std::vector<uint32_t> points;
    for (size_t i = 0; i < name.size();) {
        const unsigned char b = static_cast<unsigned char>(name[i]);
        const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > name.size()) return static_cast<int>(name.size());  // not UTF-8: a column a byte
        uint32_t c = n == 1 ? b : b & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            const unsigned char t = static_cast<unsigned char>(name[i + k]);
            if ((t & 0xC0) != 0x80) return static_cast<int>(name.size());
            c = c << 6 | (t & 0x3F);
        }
        points.push_back(c);
        i += n;
    }
    for (uint32_t c : points) width += combining(c) ? 0 : wide(c) ? 2 : 1;
    return width;
}

// `name` padded with spaces to `width` columns.
std::string Padded(const std::string& name, int width)
{
    return name + std::string(static_cast<size_t>(std::max(0, width - DisplayWidth(name))), ' ');
}

}  // namespace

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
        for (const ListedEntry* e : chosen) width = std::max(width, DisplayWidth(e->name));
        std::printf("%-*s %10s %10s %8s\n", width, "name", "size", "stored", "position");
        for (const ListedEntry* e : chosen)
            std::printf("%s %10" PRIu64 " %10" PRIu64 " %8" PRIu64 "\n", Padded(e->name, width).c_str(), e->size,
                        e->stored, e->position);
        std::printf("%s: %s (numbering %s, %s)\n", s.path.c_str(),
                    Count(static_cast<int64_t>(chosen.size()), "entry", "entries").c_str(),
                    NumberingName(s.settings.numbering), s.settings.fullScan ? "full scan" : "no full scan");
    }
    std::fflush(stdout);
    bool damaged = s.ReportTableDamage();
    // The listing decodes nothing: only an entry the file cuts is measured
    // (its stream scanned), so that it is named with the figures test and
    // extract give. A cut table is reported once, above.
    for (const ListedEntry* e : chosen) {
        if (e->Slot() >= s.places.size() || !s.places[e->Slot()].storedMissing) continue;
        const SlotReport report = s.Check(*e, false);
        if (report.readFailed) return Fail("cannot read " + s.path + ": " + SystemError());
        std::fprintf(stderr, "qordat: %s: damaged: %s\n", e->name.c_str(), LackText(report).c_str());
        damaged = true;
    }
    return allMatched && !damaged ? kExitOk : kExitFailed;
}

}  // namespace qordat
