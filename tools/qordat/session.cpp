#include "tools/qordat/session.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/container.h"
#include "archive/lzss.h"
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
    if (s.numbering != given.numbering) text = std::string("--numbering ") + NumberingName(s.numbering);
    if (s.fullScan != given.fullScan) text += std::string(text.empty() ? "" : " ") + "--full-scan";
    return text;
}

}  // namespace

int Session::TakeOption(int id, const char* value)
{
    int64_t n = 0;
    switch (id) {
    case kOptNumbering:
        if (NumberingOfName(value, &settings.numbering)) return 0;
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

int Session::OpenSlots()
{
    const int result = OpenArchiveReader(&reader, path.c_str(), static_cast<int64_t>(base));
    if (result == RESULT_NOT_ARCHIVE)
        return Fail(path + ": not a QOR's DAT archive (no valid count and size table at byte " +
                    std::to_string(base) + ")");
    if (result != RESULT_OK) return Fail("cannot read " + path + ": " + ResultMeaning(result));
    TableWalk walk;
    ArchiveWalkStart(&reader.archive, &walk);
    SlotPlace place;
    while (TableWalkNext(&walk, &place) && place.sizeInFile) places.push_back(place);
    return 0;
}

void Session::LookUpEverySlot()
{
    // The slots as the plug-in reads the table: what the file does not hold
    // of it reads as empty.
    entries.clear();
    TableWalk walk;
    ArchiveWalkStart(&reader.archive, &walk);
    SlotPlace place;
    while (TableWalkNext(&walk, &place)) {
        if (place.storedSize == 0 && settings.numbering != NUMBERING_WITH_DUMMIES) continue;
        if (forcedLayout) state.memory.entryLayout = Layout();
        entries.push_back(PluginRecordOfSlot(state, path, base, settings.numbering, place));
    }
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
    state.settings.NumberingMode = settings.numbering;
    state.settings.CheckMode = settings.fullScan ? 1 : 0;
    if (!PluginProbe(state, path, bytes)) {
        if (forcedLayout) {
            // Read by the user's layout all the same, named as under a host.
            PluginTakeBaseName(state, path);
        } else if (PluginLeavesName(path)) {
            return Fail(path + ": refused: files named *.BMP, *.WAV or *.PNG are left to other plug-ins (image and "
                        "sound plug-ins), as a host leaves them, and so does qordat; copy or rename it to another "
                        "name (cp " + path + " " + path.substr(0, path.rfind('.')) +
                        ".DAT) to read it as an archive");
        } else {
            return Fail(path + ": refused: not a QOR's DAT archive (no valid count and size table at byte " +
                        std::to_string(base) + ")");
        }
    }
    // The count as the file holds it, for what a cut table lacks.
    tableCount = got >= 4 ? ContainerCount(bytes) : 0;
    if (forcedLayout) {
        if (const int status = OpenSlots()) return status;
        LookUpEverySlot();
        return 0;
    }
    // The listing first: a table the probe's bytes do not show whole is
    // refused by it with the code a host gets, before qordat walks it.
    listResult = PluginList(state, path, base, settings, entries);
    if (listResult == RESULT_OK || (recordsPerSlot && listResult == RESULT_NO_RECORD)) {
        if (const int status = OpenSlots()) return status;
        if (listResult != RESULT_OK) LookUpEverySlot();
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
    std::vector<ListSettings> others;
    if (!settings.fullScan) others.push_back({settings.numbering, true});
    for (EntryNumbering numbering : {NUMBERING_WITH_DUMMIES, NUMBERING_KEEP, NUMBERING_PACKED})
        if (numbering != settings.numbering) others.push_back({numbering, settings.fullScan});
    for (const ListSettings& other : others) {
        PluginState trial = state;
        if (PluginList(trial, path, base, other, scratch) == RESULT_OK)
            return Fail(message + "; it is listed with " + SettingsText(other, settings));
    }
    return Fail(message);
}

SlotReport Session::Check(const ListedEntry& entry, bool expand)
{
    SlotReport report{};
    const size_t slot = entry.Slot();
    if (slot >= places.size()) {
        // Its size lies past the end of the file.
        ArchivePlaceOf(&reader.archive, static_cast<int32_t>(slot), &report.place);
        report.lack = SLOT_SIZE_PAST_END;
        return report;
    }
    // Expanded content is thrown away: a window of the history references
    // reach and a chunk.
    static const auto discard = [](void*, const uint8_t*, uint32_t) { return true; };
    std::vector<uint8_t> window(expand ? LZSS_RING_SIZE + ENTRY_PIECE_SIZE : 0);
    const SlotSink sink{expand ? window.data() : nullptr, static_cast<uint32_t>(window.size()),
                        expand ? +discard : nullptr, nullptr, false};
    errno = 0;
    // The size the extraction gives, which reads a slot shorter than the
    // listing's head whole.
    PluginState byLayout = state;
    byLayout.memory.entryLayout = Layout();
    uint32_t size = 0;
    if ((entry.result == RESULT_OK &&
         ExtractionSizeOfListed(&byLayout, &reader.reader, &places[slot], static_cast<uint32_t>(entry.size), &size) !=
             RESULT_OK) ||
        WalkSlot(&reader.reader, &places[slot], Layout(), size, &sink, &report) != RESULT_OK)
        report.readFailed = true;  // no buffer: nothing could be read
    if (report.readFailed && !errno) errno = ENOMEM;
    return report;
}

std::string LackText(const SlotReport& report)
{
    char text[200];
    DescribeSlotLack(&report, text, sizeof text);
    return text;
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
    const int64_t length = static_cast<int64_t>(file.Length() - base);
    const int32_t missing = TableSizesMissing(tableCount, length);
    if (!missing) return false;
    const int64_t tableEnd = 4 + 4 * static_cast<int64_t>(tableCount);
    std::fprintf(stderr, "qordat: %s: damaged: the size table is cut: the file ends %s before it does (%s missing)\n",
                 path.c_str(), Bytes(static_cast<uint64_t>(tableEnd - length)).c_str(),
                 Count(missing, "size", "sizes").c_str());
    return true;
}

}  // namespace qordat
