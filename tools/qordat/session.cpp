#include "tools/qordat/session.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "archive/state.h"

namespace qordat {

const std::vector<OptionDef> kReadingOptions = {
    {"numbering", 0, true, kOptNumbering},
    {"full-scan", 0, false, kOptFullScan},
    {"offset", 0, true, kOptOffset},
};

namespace {

int Fold(unsigned char c) { return std::tolower(c); }

// Shell wildcard matching without regard to (ASCII) case: '*' any run of
// bytes, '?' one byte, "[...]" one byte of a set ("[!...]" or "[^...]" one
// not in it; "a-z" ranges; a ']' first is a member). A '[' without its ']'
// is an ordinary byte. Entry names have no directories, so '/' is a byte
// like the others.
bool ClassMatches(const char*& p, unsigned char c, bool& wellFormed)
{
    const char* q = p + 1;
    const bool negate = *q == '!' || *q == '^';
    if (negate) q++;
    bool found = false;
    bool first = true;
    while (*q && (*q != ']' || first)) {
        unsigned char low = static_cast<unsigned char>(*q), high = low;
        if (q[1] == '-' && q[2] && q[2] != ']') {
            high = static_cast<unsigned char>(q[2]);
            q += 2;
        }
        if ((Fold(c) >= Fold(low) && Fold(c) <= Fold(high)) || (c >= low && c <= high)) found = true;
        q++;
        first = false;
    }
    wellFormed = *q == ']';
    if (!wellFormed) return false;
    p = q + 1;
    return found != negate;
}

bool WildcardMatch(const char* p, const char* n)
{
    const char* starP = nullptr;  // the pattern after the last '*' met
    const char* starN = nullptr;  // where that '*''s run ends for now
    while (*n) {
        if (*p == '*') {
            starP = ++p;
            starN = n;
            continue;
        }
        bool ok = false;
        const char* next = p + 1;
        if (*p == '?') {
            ok = true;
        } else if (*p == '[') {
            bool wellFormed = false;
            const char* q = p;
            const bool member = ClassMatches(q, static_cast<unsigned char>(*n), wellFormed);
            ok = wellFormed ? member : *n == '[';
            if (wellFormed) next = q;
        } else if (*p) {
            ok = Fold(static_cast<unsigned char>(*p)) == Fold(static_cast<unsigned char>(*n));
        }
        if (ok) {
            p = next;
            n++;
            continue;
        }
        if (!starP) return false;
        p = starP;
        n = ++starN;
    }
    while (*p == '*') p++;
    return !*p;
}

std::string SettingsText(const ListSettings& s, const ListSettings& given)
{
    std::string text;
    if (s.numbering != given.numbering) text = std::string("--numbering ") + kNumberingNames[s.numbering];
    if (s.fullScan != given.fullScan) text += std::string(text.empty() ? "" : " ") + "--full-scan";
    return text;
}

}  // namespace

int Session::TakeOption(int id, const char* value)
{
    int64_t n = 0;
    switch (id) {
    case kOptNumbering:
        for (uint32_t mode = 0; mode < 3; mode++) {
            if (!std::strcmp(value, kNumberingNames[mode])) {
                settings.numbering = mode;
                return 0;
            }
        }
        return Usage(std::string("--numbering takes dummies, kept or packed, not '") + value + "'");
    case kOptFullScan: settings.fullScan = true; return 0;
    case kOptOffset:
        if (!ParseNumber(value, 0, kMaxOffset, n)) return Usage("--offset takes a byte count");
        base = static_cast<uint64_t>(n);
        return 0;
    }
    return 0;
}

int Session::TakeArgument(const char* argument)
{
    if (path.empty()) {
        if (!*argument) return Usage("an empty archive name");
        path = argument;
    } else {
        patterns.push_back(argument);
    }
    return 0;
}

int Session::Open(bool recordsPerSlot)
{
    if (path.empty()) return Usage("no archive given");
    if (!file.Open(path)) return Fail("cannot read " + path + ": " + SystemError());
    if (base > file.Length())
        return Fail(path + ": --offset " + std::to_string(base) + " lies past the end of the file (" +
                    Bytes(file.Length()) + ")");
    // The probe as a host makes it: the first 2,048 bytes from the offset
    // on, zero past the end of the file.
    uint8_t bytes[PROBE_SIZE] = {};
    size_t got = 0;
    if (!file.ReadAt(base, bytes, sizeof bytes, &got)) return Fail("cannot read " + path + ": " + SystemError());
    table = ReadSizeTable(file, base);
    if (table.readFailed) return Fail("cannot read " + path + ": " + SystemError());
    if (!PluginProbe(path, bytes)) {
        if (PluginLeavesName(path))
            return Fail(path + ": refused: files named *.BMP, *.WAV or *.PNG are left to other plug-ins");
        return Fail(path + ": refused: not a QOR's DAT archive (no valid count and size table at byte " +
                    std::to_string(base) + ")");
    }
    listResult = PluginList(path, base, settings, entries, &layout);
    if (listResult == RESULT_OK) return 0;

    if (recordsPerSlot && listResult == RESULT_NO_RECORD) {
        // The slots as the plug-in reads the table: what the file does not
        // hold of it reads as empty.
        size_t packed = 0;
        for (size_t slot = 0; slot < static_cast<size_t>(table.rawCount); slot++) {
            const int32_t stored = slot < table.stored.size() ? table.stored[slot] : 0;
            if (stored == 0 && settings.numbering != NUMBERING_WITH_DUMMIES) continue;
            entries.push_back(PluginRecordOfSlot(path, base, settings.numbering, slot, packed));
            packed += stored != 0;
        }
        return 0;
    }

    // The result code stays in the message: it is what a host reports.
    const std::string meaning =
        listResult == RESULT_NO_RECORD ? "a record of an entry cannot be built" : ResultMeaning(listResult);
    std::string message = path + ": listing failed: " + meaning + " (result " + std::to_string(listResult) + ")";
    ReportTableDamage();
    // The settings change what the listing accepts (a compressed first
    // entry of unknown content is sized only by a full scan): name the one
    // setting that lists it, the scan first.
    std::vector<ListedEntry> scratch;
    int32_t ignored;
    std::vector<ListSettings> others;
    if (!settings.fullScan) others.push_back({settings.numbering, true});
    for (uint32_t numbering = 0; numbering < 3; numbering++)
        if (numbering != settings.numbering) others.push_back({numbering, settings.fullScan});
    for (const ListSettings& other : others)
        if (PluginList(path, base, other, scratch, &ignored) == RESULT_OK)
            return Fail(message + "; it is listed with " + SettingsText(other, settings));
    return Fail(message);
}

std::vector<const ListedEntry*> Session::Choose(bool* allMatched) const
{
    std::vector<const ListedEntry*> chosen;
    std::vector<bool> used(patterns.size(), false);
    for (const ListedEntry& entry : entries) {
        bool take = patterns.empty();
        for (size_t k = 0; k < patterns.size(); k++)
            if (WildcardMatch(patterns[k].c_str(), entry.name.c_str())) take = used[k] = true;
        if (take) chosen.push_back(&entry);
    }
    *allMatched = true;
    for (size_t k = 0; k < patterns.size(); k++) {
        if (used[k]) continue;
        std::fprintf(stderr, "qordat: %s: no such entry\n", patterns[k].empty() ? "''" : patterns[k].c_str());
        *allMatched = false;
    }
    return chosen;
}

bool Session::ReportTableDamage() const
{
    const std::string problem = TableProblem(table, file.Length(), base);
    if (problem.empty()) return false;
    std::fprintf(stderr, "qordat: %s: damaged: %s\n", path.c_str(), problem.c_str());
    return true;
}

}  // namespace qordat
