// qordat pack: an archive from files, in one pass over them, each read and
// written (or compressed) in pieces; then read back through the plug-in's
// calls, in bounded memory, and compared with its inputs (the layout a
// reader detects, every size, every byte). Where a reader would get
// something else the archive is not kept (--force keeps it), and the
// message says the way out.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "archive/container.h"
#include "archive/state.h"
#include "tools/qordat/common.h"
#include "tools/qordat/manifest.h"
#include "tools/qordat/pending.h"
#include "tools/qordat/plugin.h"
#include "tools/qordat/rebuild.h"
#include "writer/archive_writer.h"
#include "writer/lzss_encoder.h"

namespace qordat {
namespace {

namespace fs = std::filesystem;

// One slot to write: a file or an empty slot, with the modifiers given before it.
struct PackEntry {
    std::string path;  // "" for an empty slot
    bool compress = false;
    bool mayStorePlain = false;  // --compress chose compression: stored plain if that is smaller
    std::optional<bool> compressGiven;  // --plain or --compressed before it
    std::optional<int16_t> kind;
    std::optional<int32_t> declared;
    std::optional<int32_t> stored;
    bool folder = false;        // a folder: its files in natural order, each with these modifiers
    uint64_t content = 0;       // its size, once written
    uint64_t storedBytes = 0;   // its stored size, once written
    bool storedPlain = false;   // compression made it larger: stored plain
    bool storedCompressed = false;  // stored as a stream, once written
};

struct PackOptions {
    EntryLayout layout = LAYOUT_RAW;
    bool compressAll = false;
    bool force = false;
    std::optional<int32_t> count;
    std::optional<uint64_t> truncate;
    uint64_t leadingBytes = 0;
    LzssOptions lzss;      // the encoder's level and threads
    bool verbose = false;  // say how each entry was stored (-v)
    bool quiet = false;    // no summary line (-q)
    bool Damaging() const { return count || truncate; }
};

// Names in natural order: runs of digits compared as numbers (MANY~101
// before MANY~1000; of equal numbers, the one of fewer leading zeros
// first), everything else byte by byte.
bool NaturalLess(const std::string& a, const std::string& b)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (!digit(a[i]) || !digit(b[j])) {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            i++, j++;
            continue;
        }
        const size_t a0 = i, b0 = j;
        while (i < a.size() && digit(a[i])) i++;
        while (j < b.size() && digit(b[j])) j++;
        size_t x = a0, y = b0;  // the numbers without their leading zeros
        while (x + 1 < i && a[x] == '0') x++;
        while (y + 1 < j && b[y] == '0') y++;
        if (i - x != j - y) return i - x < j - y;
        if (const int c = a.compare(x, i - x, b, y, j - y)) return c < 0;
        if (i - a0 != j - b0) return i - a0 < j - b0;
    }
    return a.size() - i < b.size() - j;
}

// The files of folder `dir` (not its folders, nor its hidden files), in
// natural order of their names; `skip` (the output) left out. "" or what
// failed.
std::string FolderFiles(const std::string& dir, const std::string& skip, std::vector<std::string>& files)
{
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        if (name.empty() || name[0] == '.' || !it->is_regular_file(typeError)) continue;
        std::error_code same;
        if (!skip.empty() && fs::equivalent(it->path(), skip, same)) continue;
        names.push_back(name);
    }
    if (error) return "cannot read the folder " + dir + ": " + error.message();
    std::sort(names.begin(), names.end(), NaturalLess);
    for (const std::string& name : names) files.push_back((fs::path(dir) / name).string());
    return "";
}


bool CutAt(FILE* f, uint64_t length)
{
    if (std::fflush(f) != 0) return false;
#if defined(_WIN32)
    return _chsize_s(_fileno(f), static_cast<int64_t>(length)) == 0;
#else
    return ftruncate(fileno(f), static_cast<off_t>(length)) == 0;
#endif
}

// Writes the archive to `out` through the archive writer, in one pass over
// the entries, each read and written (or compressed) in pieces; compressed
// entries go through the writer's one encoder pipeline, so the blocks of an
// entry, and of the entries after it, are encoded on every thread at once
// while the oldest is written. Memory stays a few MiB per thread whatever
// the sizes. Sets each entry's content size and how it was stored. Returns
// "" or what failed, with the system's reason for that very call.
std::string WriteArchive(FILE* out, std::vector<PackEntry>& entries, const PackOptions& options, uint64_t* size)
{
    writer::FileSink sink(out);
    writer::ArchiveWriter archive(sink, options.lzss);
    const std::vector<uint8_t> leading(static_cast<size_t>(std::min<uint64_t>(options.leadingBytes, 1 << 20)), 0xEE);
    bool ok = true;
    for (uint64_t left = options.leadingBytes; ok && left;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, leading.size()));
        ok = archive.Prefix(leading.data(), n);
        left -= n;
    }
    ok = ok && archive.Begin(entries.size(), options.count);
    for (size_t i = 0; ok && i < entries.size(); i++) {
        const PackEntry& entry = entries[i];
        if (entry.path.empty()) {  // an empty slot: stores nothing
            ok = archive.Empty(entry.stored);
            continue;
        }
        writer::Store how;
        how.name = entry.path;
        how.head = static_cast<writer::Layout>(options.layout);
        how.compress = entry.compress;
        how.plainIfLarger = entry.mayStorePlain;
        how.kind = entry.kind;
        how.declaredSize = entry.declared;
        how.storedSize = entry.stored;
        ok = archive.Content(how, std::make_unique<writer::FileSource>(entry.path));
    }
    ok = ok && archive.Finish();
    if (!ok) return archive.Error();
    const std::vector<writer::SlotWritten>& slots = archive.Slots();
    for (size_t i = 0; i < entries.size(); i++) {
        PackEntry& entry = entries[i];
        const writer::SlotWritten& slot = slots[i];
        entry.content = slot.content;
        entry.storedPlain = slot.storedPlain;
        entry.storedBytes = slot.stored;
        entry.storedCompressed = slot.compressed;
        if (!options.verbose || entry.path.empty()) continue;
        if (slot.storedPlain)
            std::printf("%s: stored plain, %" PRIu64 " bytes (compressed: %" PRIu64 ")\n", entry.path.c_str(),
                        slot.content, slot.streamSize);
        else if (slot.compressed)
            std::printf("%s: compressed, %" PRIu64 " -> %" PRIu64 " bytes\n", entry.path.c_str(), slot.content,
                        slot.streamSize);
        else
            std::printf("%s: plain, %" PRIu64 " bytes\n", entry.path.c_str(), slot.content);
    }
    *size = archive.Size();
    if (options.truncate && *options.truncate < archive.Size()) {
        if (!CutAt(out, *options.truncate)) return "cannot write: " + SystemError();
        *size = *options.truncate;
    }
    return "";
}

// The layouts to suggest instead of `layout`: the two others.
std::string OtherLayouts(EntryLayout layout)
{
    std::string both;
    for (int32_t other : {LAYOUT_KIND_SIZE, LAYOUT_KIND_ONLY, LAYOUT_RAW})
        if (other != layout) both += std::string(both.empty() ? "" : " or ") + LayoutName(other);
    return both;
}

// Reads the archive written at `written` back as a host would (probe,
// listing in the default settings, then every entry as the extraction gives
// it, compared with its file). Returns what a reader
// would get otherwise, one line each, with the way out.
std::vector<std::string> ReadBack(const std::string& written, const std::string& outPath,
                                  const std::vector<PackEntry>& entries, const PackOptions& options)
{
    std::vector<std::string> problems;
    std::string layoutHint = "another --layout (" + OtherLayouts(options.layout) + ")";
    uint8_t probe[PROBE_SIZE] = {};
    if (FILE* f = std::fopen(written.c_str(), "rb")) {
        if (SeekTo(f, options.leadingBytes)) (void)!std::fread(probe, 1, sizeof probe, f);
        std::fclose(f);
    }
    PluginState state{};  // what a host's plug-in keeps while it reads the archive back
    if (!PluginProbe(state, outPath, probe)) {
        if (PluginLeavesName(outPath))
            return {"hosts leave files named *.BMP, *.WAV or *.PNG to other plug-ins; name it otherwise"};
        return {"readers do not take it for an archive"};
    }
    std::vector<ListedEntry> listed;
    ListSettings settings;
    int result = PluginList(state, written, options.leadingBytes, settings, listed);
    if (result != RESULT_OK) {
        settings.fullScan = true;
        result = PluginList(state, written, options.leadingBytes, settings, listed);
        if (result != RESULT_OK)
            return {std::string("readers refuse it (") + ResultMeaning(result) + "); try " + layoutHint +
                    (std::any_of(entries.begin(), entries.end(), [](const PackEntry& e) { return e.storedCompressed; })
                         ? ", or --plain for its compressed entries"
                         : "")};
        // The first entry decides: a compressed one of content the readers
        // cannot size by its head alone is sized by the scan only.
        std::string way = "--force keeps it as it is";
        for (size_t i = 0; i < entries.size(); i++) {
            if (entries[i].path.empty()) continue;
            if (entries[i].storedCompressed)
                way = "entry " + std::to_string(i) + " (" + entries[i].path + ") is compressed and comes first: "
                      "store it --plain, or put another entry first (--force keeps it as it is)";
            break;
        }
        problems.push_back("readers list it only with the full scan (qordat --full-scan; the plug-in's setting "
                           "'*.ANM *.SNL wo kaitou kanou ni suru', make *.ANM *.SNL extractable); " + way);
    }
    const EntryLayout layout = state.memory.entryLayout;
    if (layout != options.layout) {
        // Heads that readers take for another layout read right when
        // written in that one.
        layoutHint = std::string("--layout ") + LayoutName(layout);
        problems.push_back(std::string("readers take its entries' heads for the ") + LayoutName(layout) +
                           " layout; try " + layoutHint);
    }
    if (listed.size() != entries.size()) {
        problems.push_back("readers list " + Count(static_cast<int64_t>(listed.size()), "entry", "entries") +
                           " of " + std::to_string(entries.size()));
        return problems;
    }
    // Every entry as the extraction gives it to a host (its record, then the
    // one walk), digested on the way against its file's digest: nothing is
    // written, so the read-back needs no room on the disk.
    ArchiveReader r{};
    const int opened = OpenArchiveReader(&r, written.c_str(), static_cast<int64_t>(options.leadingBytes));
    if (opened != RESULT_OK) return {std::string("cannot read it back (") + ResultMeaning(opened) + ")"};
    for (size_t i = 0; i < entries.size(); i++) {
        const PackEntry& entry = entries[i];
        if (entry.path.empty()) continue;
        const std::string what = "entry " + std::to_string(i) + " (" + entry.path + "): ";
        const std::string way = entry.storedCompressed ? "store it --plain, or try " + layoutHint : "try " + layoutHint;
        if (listed[i].size != entry.content) {
            problems.push_back(what + "readers get " + Bytes(listed[i].size) + " of its " + Bytes(entry.content) +
                               "; " + way);
            continue;
        }
        uint64_t digest = 0;
        if (!DigestOfFile(entry.path, digest)) {
            problems.push_back(what + "cannot read it again: " + SystemError());
            continue;
        }
        if (listed[i].Slot() >= static_cast<size_t>(r.archive.count)) {
            problems.push_back(what + "readers list it past the table's " + Count(r.archive.count, "slot", "slots"));
            continue;
        }
        SlotPlace place;
        ArchivePlaceOf(&r.archive, static_cast<int32_t>(listed[i].Slot()), &place);
        EntryInfo info;
        const int got = PluginExtractionRecord(state, &r.reader, place,
                                               NumberingOfPosition(static_cast<int64_t>(listed[i].position)), &info);
        const std::string problem =
            got != RESULT_OK ? "readers cannot extract it (" + std::string(ResultMeaning(got)) + "); " + way
                             : CheckSlotContent(state, &r.reader, place, info, digest, "readers get other bytes; " + way);
        if (!problem.empty()) problems.push_back(what + problem);
    }
    CloseArchiveReader(&r);
    return problems;
}

}  // namespace

int CommandPack(int argc, char** argv)
{
    enum { kEmpty = 1, kCompress, kPlain, kCompressed, kLayout, kOffset, kTruncate, kCount, kDeclared, kStored,
           kRepeat, kKind, kForce, kFast, kBest, kJobs, kVerbose, kQuiet };
    const std::vector<OptionDef> definitions = {
        {"empty", 0, false, kEmpty},       {"compress", 0, false, kCompress},   {"plain", 0, false, kPlain},
        {"compressed", 0, false, kCompressed}, {"layout", 0, true, kLayout},   {"offset", 0, true, kOffset},
        {"truncate", 0, true, kTruncate},  {"count", 0, true, kCount},         {"declared", 0, true, kDeclared},
        {"stored-size", 0, true, kStored}, {"repeat", 0, true, kRepeat},       {"kind", 0, true, kKind},
        {"force", 'f', false, kForce},     {"fast", 0, false, kFast},          {"best", 0, false, kBest},
        {"jobs", 'j', true, kJobs},        {"verbose", 'v', false, kVerbose},  {"quiet", 'q', false, kQuiet}};
    std::string outPath;
    PackOptions options;
    options.lzss.threads = std::max(1u, std::min(64u, std::thread::hardware_concurrency()));
    options.lzss.level = LzssLevel::Normal;
    std::vector<PackEntry> entries;
    PackEntry pending;
    int64_t repeat = 1;
    bool pendingAny = false;
    auto addEntry = [&](const std::string& path) {
        pending.path = path;
        std::error_code error;
        if (!path.empty() && fs::is_directory(path, error)) pending.folder = true;  // its files, once OUT is known
        for (int64_t n = 0; n < repeat; n++) entries.push_back(pending);
        pending = PackEntry();
        repeat = 1;
        pendingAny = false;
        return 0;
    };
    const int parsed = ParseCommandLine(
        argc, argv, definitions,
        [&](int id, const char* value) {
            int64_t n = 0;
            switch (id) {
            case kEmpty: return addEntry("");  // --repeat and --stored-size apply to it too
            case kCompress: options.compressAll = true; return 0;
            case kForce: options.force = true; return 0;
            case kFast:
            case kBest: options.lzss.level = id == kFast ? LzssLevel::Fast : LzssLevel::Optimal; return 0;
            case kVerbose: options.verbose = true; return 0;
            case kQuiet: options.quiet = true; return 0;
            case kJobs:
                if (!ParseNumber(value, 1, 64, n)) return Usage("-j takes a count of threads from 1 to 64");
                options.lzss.threads = static_cast<unsigned>(n);
                return 0;
            case kPlain:
            case kCompressed: pending.compressGiven = id == kCompressed; break;
            case kLayout:
                if (!ParseLayout(value, options.layout)) return Usage("--layout takes raw, kind-size or kind-only");
                return 0;
            case kOffset:
            case kTruncate:
                if (!ParseNumber(value, 0, kMaxOffset, n)) return Usage(std::string(id == kOffset ? "--offset" : "--truncate") + " takes a byte count");
                if (id == kOffset) options.leadingBytes = static_cast<uint64_t>(n);
                else options.truncate = static_cast<uint64_t>(n);
                return 0;
            case kCount:
            case kDeclared:
            case kStored:
                // A 32-bit field: any signed value, or the unsigned form of its bit pattern.
                if (!ParseNumber(value, INT32_MIN, UINT32_MAX, n)) return Usage("a 32-bit field takes -2147483648 to 0xFFFFFFFF");
                if (id == kCount) {
                    options.count = static_cast<int32_t>(static_cast<uint32_t>(n));
                    return 0;
                }
                (id == kDeclared ? pending.declared : pending.stored) = static_cast<int32_t>(static_cast<uint32_t>(n));
                break;
            case kRepeat:
                // Thousands of slots in one archive, without a command line of
                // thousands of arguments (Windows caps it at 32,767 characters).
                if (!ParseNumber(value, 1, 0x10000, repeat)) return Usage("--repeat takes a count from 1 to 65536");
                break;
            case kKind:
                if (!ParseNumber(value, INT16_MIN, UINT16_MAX, n)) return Usage("--kind takes a 16-bit integer");
                pending.kind = static_cast<int16_t>(static_cast<uint16_t>(n));
                break;
            }
            pendingAny = true;
            return 0;
        },
        [&](const char* argument) {
            if (!*argument) return Usage("an empty file name");
            if (outPath.empty()) {
                outPath = argument;
                return 0;
            }
            return addEntry(argument);
        });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (outPath.empty()) return Usage("no output file given");
    if (pendingAny) return Usage("entry modifiers after the last entry");
    if (entries.empty()) return Usage("no ENTRY given (a file, a folder or --empty)");
    if (std::any_of(entries.begin(), entries.end(), [](const PackEntry& e) { return e.folder; })) {
        std::vector<PackEntry> expanded;
        for (const PackEntry& entry : entries) {
            if (!entry.folder) {
                expanded.push_back(entry);
                continue;
            }
            // A folder unpack wrote holds its manifest and kept bytes, which
            // would go in as entries: repack is what rebuilds its archive.
            std::error_code unpacked;
            for (const char* own : {kManifestName, kStoredName})
                if (!options.force && fs::exists(fs::path(entry.path) / own, unpacked))
                    return Fail(entry.path + ": a folder that 'qordat unpack' wrote (it holds " + own + "); 'qordat "
                                "repack " + entry.path + " " + outPath + "' rebuilds its archive (--force packs every file in it, " +
                                own + " too)");
            std::vector<std::string> files;
            const std::string problem = FolderFiles(entry.path, outPath, files);
            if (!problem.empty()) return Fail(problem);
            if (files.empty()) return Fail(entry.path + ": a folder without files");
            for (const std::string& file : files) {
                expanded.push_back(entry);
                expanded.back().path = file;
                expanded.back().folder = false;
            }
        }
        entries.swap(expanded);
    }

    if (const int status = CheckReplaceable(outPath, options.leadingBytes, options.force)) return status;
    const bool damaging = options.Damaging() ||
        std::any_of(entries.begin(), entries.end(), [](const PackEntry& e) { return e.kind || e.declared || e.stored; });

    // What the format cannot hold is refused before anything is written.
    // (--force writes such a count for test archives: readers refuse them.)
    if (entries.size() > MAX_ENTRY_COUNT && !options.force)
        return Fail(outPath + ": " + std::to_string(entries.size()) + " entries; an archive holds at most " +
                    std::to_string(MAX_ENTRY_COUNT) + " (--force writes one that readers refuse)");
    for (size_t i = 0; i < entries.size(); i++) {
        PackEntry& entry = entries[i];
        entry.compress = !entry.path.empty() && entry.compressGiven.value_or(options.compressAll);
        entry.mayStorePlain = entry.compress && !entry.compressGiven;
        if (options.layout == LAYOUT_RAW && !entry.path.empty() && (entry.compress || entry.kind || entry.declared))
            return Usage("entry " + std::to_string(i) +
                         ": the raw layout has no head, so no kind, declared size or compression");
        if (options.layout == LAYOUT_KIND_ONLY && entry.declared)
            return Usage("entry " + std::to_string(i) + ": the kind-only layout has no declared size");
        if (entry.path.empty()) continue;
        std::error_code error;
        const uint64_t size = fs::file_size(entry.path, error);
        if (error) return Fail("cannot read " + entry.path + ": " + error.message());
        // Readers refuse an entry whose head stands for no content; an empty
        // slot is what holds nothing. (Under raw, 0 bytes are an empty slot.)
        if (size == 0 && options.layout != LAYOUT_RAW && !options.force)
            return Fail("entry " + std::to_string(i) + " (" + entry.path + "): an empty file, which readers refuse "
                        "as an entry; give --empty for an empty slot instead (--force writes it as it is)");
        if (size > INT32_MAX || (!entry.compress && size + writer::HeadSize(static_cast<writer::Layout>(options.layout)) > INT32_MAX))
            return Fail(entry.path + ": " + Bytes(size) + ", too large for the format (an entry holds less than 2 GiB)");
    }

    PendingFile out;
    if (!out.Open(outPath)) return Fail("cannot write " + outPath + ": " + SystemError());
    uint64_t archiveSize = 0;
    const std::string problem = WriteArchive(out.Stream(), entries, options, &archiveSize);
    if (!problem.empty()) return Fail(outPath + ": " + problem);
    // Closed before it is read back: a Windows reader cannot open a file
    // that is open for writing.
    if (!out.Close()) return Fail(outPath + ": cannot write: " + SystemError());
    if (!damaging) {
        const std::vector<std::string> problems = ReadBack(out.TempPath(), outPath, entries, options);
        const size_t shown = std::min<size_t>(problems.size(), 8);
        for (size_t i = 0; i < shown; i++) std::fprintf(stderr, "qordat: %s: %s\n", outPath.c_str(), problems[i].c_str());
        if (problems.size() > shown)
            std::fprintf(stderr, "qordat: %s: and %zu more like these\n", outPath.c_str(), problems.size() - shown);
        if (!problems.empty() && !options.force)
            return Fail(outPath + ": not written (--force keeps it as it is; 'qordat unpack --layout " +
                        LayoutName(options.layout) + "' reads it)");
        if (!problems.empty()) std::fprintf(stderr, "qordat: %s: kept as it is (--force)\n", outPath.c_str());
    }
    if (!out.Commit()) return Fail("cannot write " + outPath + ": " + SystemError());
    if (!options.quiet) {
        size_t empty = 0, compressed = 0;
        uint64_t content = 0;
        for (const PackEntry& entry : entries) {
            empty += entry.path.empty();
            compressed += entry.storedCompressed;
            content += entry.content;
        }
        std::string line = outPath + ": " + Count(static_cast<int64_t>(entries.size()), "entry", "entries");
        if (empty) line += " (" + std::to_string(empty) + " empty)";
        line += ", " + Bytes(archiveSize) + " (content " + Bytes(content) + "), " + std::to_string(compressed) +
                " compressed";
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

}  // namespace qordat
