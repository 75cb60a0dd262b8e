// qordat list and qordat extract: an archive as a host sees it through the
// plug-in (qordat_calls.cpp), with what a person at a shell expects on top:
//
//  - entries chosen by their listed names or shell wildcards, ignoring case;
//    a pattern that matches nothing is an error of its own;
//  - every file written under a temporary name in a private directory inside
//    DIR and renamed into place once complete, so that a failure, Ctrl-C or
//    SIGTERM never leaves a partial file under an entry's name;
//  - damaged entries (stored bytes past the end of the file, or a stream
//    that ends before the entry's size) found from the size table, the
//    file's length and the stream itself, and not written unless --salvage
//    asks for them as a host receives them (the missing bytes as zeros).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define QORDAT_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define QORDAT_ISATTY(fd) isatty(fd)
#endif

#include "archive/bytes.h"
#include "archive/container.h"
#include "tools/qordat/qordat_calls.h"
#include "tools/qordat/qordat_cli.h"
#include "tools/qordat/qordat_temp.h"

namespace qordat {
namespace {

namespace fs = std::filesystem;

struct Arguments {
    std::string archive;
    std::vector<std::string> patterns;
    std::string outDir = ".";
    ListSettings settings;
    uint64_t offset = 0;
    bool tsv = false;
    bool keep = false;
    bool quiet = false;
    bool verbose = false;
    bool salvage = false;
};

constexpr int kHelped = -1;  // --help was given and printed

// Parses the arguments of list (`forList`) or extract. Returns 0, kHelped,
// or the exit status of a usage error (reported). Long options take their
// value as the next argument or after '='; the one-letter flags bundle
// (-qk), and -o takes its value attached (-oDIR) or as the next argument.
int ParseArguments(int argc, char** argv, bool forList, Arguments& args)
{
    bool positionalOnly = false;
    for (int i = 0; i < argc; i++) {
        std::string arg = argv[i];
        if (positionalOnly || arg.size() < 2 || arg[0] != '-') {
            if (args.archive.empty()) args.archive = arg;
            else args.patterns.push_back(arg);
            continue;
        }
        if (arg == "--") {
            positionalOnly = true;
            continue;
        }
        // The value of an option that takes one: "--opt=VALUE" or the next argument.
        std::string inlineValue;
        bool hasInline = false;
        if (arg.compare(0, 2, "--") == 0) {
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
                hasInline = true;
            }
        } else if (arg.compare(0, 2, "-o") == 0 && arg.size() > 2 && !forList) {
            inlineValue = arg.substr(2);
            arg = "-o";
            hasInline = true;
        }
        auto value = [&](const char*& out) {
            if (hasInline) out = inlineValue.c_str();
            else out = i + 1 < argc ? argv[++i] : nullptr;
            return out != nullptr;
        };
        const char* v = nullptr;
        if (arg == "-h" || arg == "--help") {
            PrintHelp(currentCommand);
            return kHelped;
        } else if (arg == "--numbering") {
            uint32_t mode = 0;
            if (!value(v)) return Usage("--numbering needs a value: dummies, kept or packed");
            while (mode < 3 && std::strcmp(v, kNumberingNames[mode])) mode++;
            if (mode == 3) return Usage(std::string("--numbering takes dummies, kept or packed, not '") + v + "'");
            args.settings.numbering = mode;
        } else if (arg == "--full-scan") {
            args.settings.fullScan = true;
        } else if (arg == "--offset") {
            if (!value(v) || !ParseOffset(v, args.offset)) return Usage("--offset takes a byte count");
        } else if (forList && arg == "--tsv") {
            args.tsv = true;
        } else if (!forList && (arg == "-o" || arg == "--output")) {
            if (!value(v) || !*v) return Usage("-o takes a directory");
            args.outDir = v;
        } else if (!forList && arg == "--keep-old-files") {
            args.keep = true;
        } else if (!forList && arg == "--quiet") {
            args.quiet = true;
        } else if (!forList && arg == "--verbose") {
            args.verbose = true;
        } else if (!forList && arg == "--salvage") {
            args.salvage = true;
        } else if (!forList && arg[1] != '-' && arg.find_first_not_of("kqv", 1) == std::string::npos) {
            for (size_t k = 1; k < arg.size(); k++) {
                if (arg[k] == 'k') args.keep = true;
                else if (arg[k] == 'q') args.quiet = true;
                else args.verbose = true;
            }
        } else {
            return Usage("unknown option '" + arg + "'");
        }
        if (hasInline && (arg == "--full-scan" || arg == "--tsv" || arg == "--keep-old-files" || arg == "--quiet" ||
                          arg == "--verbose" || arg == "--salvage"))
            return Usage(arg + " takes no value");
    }
    if (args.archive.empty()) return Usage("no archive given");
    if (args.quiet && args.verbose) return Usage("-q and -v cannot go together");
    return 0;
}

// ---- names and patterns ----

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

// The entries that the patterns choose, in listing order; every entry when
// there are none. A pattern that matches nothing is reported. Returns false
// when one did not match.
bool Choose(const std::vector<ListedEntry>& entries, const std::vector<std::string>& patterns,
            std::vector<const ListedEntry*>& chosen)
{
    std::vector<bool> used(patterns.size(), false);
    for (const ListedEntry& entry : entries) {
        bool take = patterns.empty();
        for (size_t k = 0; k < patterns.size(); k++) {
            if (WildcardMatch(patterns[k].c_str(), entry.name.c_str())) take = used[k] = true;
        }
        if (take) chosen.push_back(&entry);
    }
    bool all = true;
    for (size_t k = 0; k < patterns.size(); k++) {
        if (used[k]) continue;
        std::fprintf(stderr, "qordat: %s: no such entry\n", patterns[k].empty() ? "''" : patterns[k].c_str());
        all = false;
    }
    return all;
}

// ---- the archive file, as qordat itself reads it ----

// Reads of untrusted bytes: every read is bounded by the file's length.
class ArchiveFile {
public:
    ~ArchiveFile()
    {
        if (file_) std::fclose(file_);
    }
    bool Open(const std::string& path)
    {
        std::error_code error;
        if (fs::is_directory(path, error)) {
            errno = EISDIR;
            return false;
        }
        file_ = std::fopen(path.c_str(), "rb");
        if (!file_ || !Seek(0, SEEK_END)) return false;
#if defined(_WIN32)
        const int64_t end = _ftelli64(file_);
#else
        const int64_t end = ftello(file_);
#endif
        if (end < 0) return false;
        length_ = static_cast<uint64_t>(end);
        return true;
    }
    uint64_t Length() const { return length_; }
    // Reads up to `n` bytes at `at`; what lies past the end of the file is
    // not read. Returns how many were read.
    size_t ReadAt(uint64_t at, uint8_t* buffer, size_t n)
    {
        if (at >= length_) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, length_ - at));
        if (!Seek(at, SEEK_SET)) return 0;
        return std::fread(buffer, 1, n, file_);
    }

private:
    bool Seek(uint64_t at, int whence)
    {
#if defined(_WIN32)
        return _fseeki64(file_, static_cast<int64_t>(at), whence) == 0;
#else
        return fseeko(file_, static_cast<off_t>(at), whence) == 0;
#endif
    }
    FILE* file_ = nullptr;
    uint64_t length_ = 0;
};

// Where each slot's bytes begin (from the count field) by the size table:
// -1 from a negative size on. Empty when the count is not a valid one.
std::vector<int64_t> SlotOffsets(ArchiveFile& file, uint64_t base, std::vector<uint32_t>& stored)
{
    uint8_t four[4];
    if (file.ReadAt(base, four, 4) != 4) return {};
    const int32_t count = ContainerCount(four);
    if (count == 0) return {};
    std::vector<uint8_t> table(4 * static_cast<size_t>(count), 0);
    file.ReadAt(base + 4, table.data(), table.size());  // a cut table reads as zeros
    std::vector<int64_t> offsets(static_cast<size_t>(count));
    int64_t at = 4 + 4 * static_cast<int64_t>(count);
    stored.assign(static_cast<size_t>(count), 0);
    for (size_t i = 0; i < offsets.size(); i++) {
        const int32_t size = ReadS32(&table[4 * i]);
        offsets[i] = at;
        stored[i] = size < 0 ? 0 : static_cast<uint32_t>(size);
        if (at >= 0) at = size >= 0 ? at + size : -1;
    }
    return offsets;
}

struct Archive {
    std::string path;
    uint64_t base = 0;  // where the count field is in the file
    ArchiveFile file;
    std::vector<ListedEntry> entries;
    HeadLayout layout = HeadLayout::Raw;
    std::vector<int64_t> offsets;  // each slot's first byte, from the count field
    std::vector<uint32_t> stored;
};

const char* LayoutName(HeadLayout layout)
{
    return layout == HeadLayout::KindSize ? "kind-size" : layout == HeadLayout::KindOnly ? "kind-only" : "raw";
}

// What an entry lacks: its stored bytes that lie past the end of the file,
// and the content bytes (of the size the listing gives) that neither its
// bytes at hand nor its stream provide, which a host receives as zeros.
struct Health {
    bool known = false;  // the entry was found in the size table
    int64_t offset = 0;  // its first byte, from the count field
    bool compressed = false;
    uint64_t storedMissing = 0;
    uint64_t contentMissing = 0;
    bool Damaged() const { return storedMissing || contentMissing; }
};

// Under the listing's layout, where the content comes from: raw entries are
// their content; under kind-size a kind-1 entry is the LZSS stream from byte
// 6 and other kinds copy from byte 6; under kind-only a kind-0 entry copies
// from byte 2 and other kinds are streams from byte 2.
Health CheckEntry(Archive& a, const ListedEntry& entry)
{
    Health h;
    const uint64_t slot = entry.position / 3;
    if (slot >= a.offsets.size() || a.offsets[slot] < 0) return h;
    h.known = true;
    h.offset = a.offsets[slot];
    const uint64_t stored = a.stored[slot];
    if (stored == 0 || entry.size == 0) return h;
    const uint64_t begin = a.base + static_cast<uint64_t>(h.offset);
    const uint64_t inFile = begin < a.file.Length() ? a.file.Length() - begin : 0;
    const uint64_t available = std::min(stored, inFile);
    h.storedMissing = stored - available;

    uint64_t start = 0;
    if (a.layout != HeadLayout::Raw) {
        uint8_t kindBytes[2] = {0, 0};
        a.file.ReadAt(begin, kindBytes, std::min<uint64_t>(2, available));
        const int16_t kind = S16At(kindBytes, sizeof kindBytes, 0);
        start = a.layout == HeadLayout::KindSize ? 6 : 2;
        h.compressed = a.layout == HeadLayout::KindSize ? kind == 1 : kind != 0;
    }
    const uint64_t payload = available > start ? available - start : 0;
    uint64_t provided = payload;
    if (h.compressed) {
        uint64_t at = 0;
        provided = PluginStreamSize([&](uint8_t* buffer, size_t room) -> size_t {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(room, payload - at));
            const size_t got = n ? a.file.ReadAt(begin + start + at, buffer, n) : 0;
            at += got;
            return got;
        });
    }
    h.contentMissing = entry.size > provided ? entry.size - provided : 0;
    return h;
}

// ---- probing and listing, with the reasons a file is refused ----

// The probe as a host makes it: the first 2,048 bytes from the offset on,
// zero past the end of the file. Returns 0 or the exit status (reported).
int Probe(Arguments& args, Archive& a)
{
    a.path = args.archive;
    a.base = args.offset;
    if (!a.file.Open(args.archive)) return Fail("cannot read " + args.archive + ": " + SystemError());
    if (args.offset > a.file.Length())
        return Fail(args.archive + ": --offset " + std::to_string(args.offset) + " lies past the end of the file (" +
                    std::to_string(a.file.Length()) + " bytes)");
    uint8_t bytes[kProbeSize] = {};
    a.file.ReadAt(args.offset, bytes, sizeof bytes);
    if (PluginProbe(args.archive, bytes)) return 0;
    if (PluginLeavesName(args.archive))
        return Fail(args.archive + ": refused: files named *.BMP, *.WAV or *.PNG are left to other plug-ins");
    return Fail(args.archive + ": refused: not a QOR's DAT archive (no valid count and size table at byte " +
                std::to_string(args.offset) + ")");
}

std::string SettingsText(const ListSettings& s)
{
    std::string text = std::string("--numbering ") + kNumberingNames[s.numbering];
    return s.fullScan ? text + " --full-scan" : text;
}

// Lists the archive. On failure, reports it, and whether other settings
// would list it.
int List(Arguments& args, Archive& a)
{
    const uint64_t offset = args.offset;
    const int result = PluginList(a.path, offset, args.settings, a.entries, a.layout);
    a.offsets = SlotOffsets(a.file, a.base, a.stored);
    if (result == kResultOk) return 0;
    std::string message = args.archive + ": listing failed, result " + std::to_string(result) + " (" +
                          PluginResultMeaning(result) + ")";
    // The settings change what the listing accepts (a compressed first entry
    // of unknown content is sized only by a full scan): say which would do.
    std::vector<ListedEntry> scratch;
    HeadLayout layout;
    for (int scan = 0; scan < 2; scan++) {
        for (uint32_t numbering = 0; numbering < 3; numbering++) {
            const ListSettings other{numbering, scan == 1};
            if ((numbering == args.settings.numbering && other.fullScan == args.settings.fullScan) ||
                PluginList(a.path, offset, other, scratch, layout) != kResultOk)
                continue;
            return Fail(message + "; it is listed with " + SettingsText(other));
        }
    }
    return Fail(message);
}

// ---- extract ----

// Why an entry's name cannot be a file directly inside DIR, or null. Names
// are the archive's file name and a suffix, so none should be refused; this
// keeps every file inside DIR whatever a name holds.
const char* NameProblem(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") return "not a file name";
#if defined(_WIN32)
    if (name.find_first_of("/\\:") != std::string::npos) return "the name would leave the output directory";
#else
    if (name.find('/') != std::string::npos) return "the name would leave the output directory";
#endif
    return nullptr;
}

// The progress line: on a terminal, once the work has run about a second.
class Progress {
public:
    explicit Progress(size_t total) : total_(total), start_(Clock::now()), shown_(false)
    {
        enabled_ = QORDAT_ISATTY(2) != 0;
    }
    void Update(size_t done, uint64_t bytes)
    {
        if (!enabled_) return;
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - start_).count();
        if (seconds < 1 || (shown_ && now - last_ < std::chrono::milliseconds(200))) return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\r%zu/%zu entries, %.1f MiB, %.1f MiB/s ", done, total_, bytes / 1048576.0,
                     bytes / 1048576.0 / seconds);
        std::fflush(stderr);
    }
    // Clears the line, before a message or at the end.
    void Clear()
    {
        if (!shown_) return;
        std::fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    size_t total_;
    Clock::time_point start_, last_;
    bool shown_, enabled_;
};

}  // namespace

int CommandList(int argc, char** argv)
{
    Arguments args;
    if (const int status = ParseArguments(argc, argv, true, args)) return status == kHelped ? 0 : status;
    Archive a;
    if (const int status = Probe(args, a)) return status;
    if (const int status = List(args, a)) return status;
    std::vector<const ListedEntry*> chosen;
    const bool allMatched = Choose(a.entries, args.patterns, chosen);
    if (args.tsv) {
        std::printf("name\tposition\tcompressed\tsize\n");
        for (const ListedEntry* e : chosen)
            std::printf("%s\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\n", e->name.c_str(), e->position, e->stored, e->size);
    } else {
        int width = 24;
        for (const ListedEntry* e : chosen) width = std::max(width, static_cast<int>(e->name.size()));
        std::printf("%-*s %10s %10s %8s\n", width, "name", "size", "stored", "position");
        for (const ListedEntry* e : chosen)
            std::printf("%-*s %10" PRIu64 " %10" PRIu64 " %8" PRIu64 "\n", width, e->name.c_str(), e->size, e->stored,
                        e->position);
        std::printf("%s: %zu entries (numbering %s, %s)\n", args.archive.c_str(), chosen.size(),
                    kNumberingNames[args.settings.numbering], args.settings.fullScan ? "full scan" : "no full scan");
    }
    return allMatched ? kExitOk : kExitFailed;
}

int CommandExtract(int argc, char** argv)
{
    Arguments args;
    if (const int status = ParseArguments(argc, argv, false, args)) return status == kHelped ? 0 : status;
    Archive a;
    if (const int status = Probe(args, a)) return status;
    // A host lists before it extracts: the listing detects the entry layout
    // that the extraction works by.
    if (const int status = List(args, a)) return status;
    std::vector<const ListedEntry*> chosen;
    bool failed = !Choose(a.entries, args.patterns, chosen);
    if (chosen.empty()) return failed ? kExitFailed : kExitOk;

    std::error_code error;
    fs::create_directories(args.outDir, error);
    if (error || !fs::is_directory(args.outDir, error)) {
        if (!error) error = std::make_error_code(std::errc::not_a_directory);
        return Fail("cannot create " + args.outDir + ": " + error.message());
    }
    const std::string tempDir = MakeTempDir(args.outDir);
    if (tempDir.empty()) return Fail("cannot write in " + args.outDir + ": " + SystemError());
    InstallCleanupHandlers();
    SetCleanupDir(tempDir);

    Progress progress(chosen.size());
    auto report = [&](const std::string& name, const std::string& what) {
        progress.Clear();
        std::fprintf(stderr, "qordat: %s: %s\n", name.c_str(), what.c_str());
    };
    size_t done = 0, notWritten = 0;
    uint64_t bytes = 0;
    for (const ListedEntry* entry : chosen) {
        done++;
        const std::string& name = entry->name;
        const fs::path target = fs::path(args.outDir) / name;  // as listed
        if (const char* problem = NameProblem(name)) {
            report(name, std::string("not written: ") + problem);
            failed = true;
            notWritten++;
            continue;
        }
        if (args.keep && (fs::exists(fs::symlink_status(target, error)))) {
            report(name, "not overwritten: a file of that name exists (-k)");
            continue;
        }
        const Health health = CheckEntry(a, *entry);
        std::string damage;
        if (health.Damaged()) {
            const uint64_t missing = health.contentMissing ? health.contentMissing : health.storedMissing;
            damage = "damaged: " + std::to_string(missing) + " bytes missing (";
            damage += health.storedMissing ? "the archive ends " + std::to_string(health.storedMissing) +
                                                 " bytes before the entry does"
                                           : "its stream ends before its size";
            damage += ")";
            failed = true;
            if (!args.salvage) {
                report(name, damage + "; not written (--salvage writes it, the missing bytes as zeros)");
                notWritten++;
                continue;
            }
        }
        // The extraction names its file from its own record of the entry,
        // which may give another extension than the listing did (a full
        // scan can class the content differently): whatever it writes in
        // the private folder is what goes into place, as under a host.
        std::vector<std::string> candidates{(fs::path(tempDir) / name).string()};
        const size_t dot = name.rfind('.');
        for (const char* extension : {"BMP", "WAV", "PNG", "DAT", "DMY"})
            if (dot != std::string::npos && name.compare(dot + 1, std::string::npos, extension))
                candidates.push_back((fs::path(tempDir) / (name.substr(0, dot + 1) + extension)).string());
        SetCleanupFiles(candidates);
        const int result = PluginExtractToDisk(a.path, args.offset, entry->position, tempDir);
        const int extractError = errno;
        std::string problem, writtenName;
        if (result != kResultOk) {
            problem = "the plug-in's extraction of its " + std::to_string(entry->size) + " bytes failed, result " +
                      std::to_string(result) + " (" + PluginResultMeaning(result) + ")";
            if (result == kResultOutputFailed && extractError) problem += ": " + std::string(std::strerror(extractError));
        } else {
            for (const fs::directory_entry& written : fs::directory_iterator(tempDir, error)) {
                if (!writtenName.empty()) {
                    writtenName.clear();  // more than one: not ours to judge
                    break;
                }
                writtenName = written.path().filename().string();
            }
            if (writtenName.empty() || NameProblem(writtenName)) {
                problem = "the plug-in's extraction left no single file";
            } else {
                fs::rename(fs::path(tempDir) / writtenName, fs::path(args.outDir) / writtenName, error);
                if (error) problem = "cannot put it in place: " + error.message();
            }
        }
        if (!problem.empty()) {
            fs::remove_all(tempDir, error);
            fs::create_directory(tempDir, error);
            SetCleanupFile("");
            report(name, "not written: " + problem);
            failed = true;
            notWritten++;
            continue;
        }
        SetCleanupFile("");
        if (writtenName != name && !args.quiet)
            report(name, "written as " + writtenName + ", the name the extraction gives it");
        bytes += entry->size;
        if (!damage.empty()) report(name, damage + "; written with the missing bytes as zeros (--salvage)");
        if (!args.quiet) {
            progress.Clear();
            std::printf("%-24s %10" PRIu64, name.c_str(), entry->size);
            if (args.verbose && health.known)
                std::printf("  at %" PRId64 ", stored %" PRIu64 ", %s%s", health.offset, entry->stored,
                            LayoutName(a.layout), health.compressed ? ", compressed" : "");
            std::printf("\n");
            std::fflush(stdout);
        }
        progress.Update(done, bytes);
    }
    progress.Clear();
    fs::remove_all(tempDir, error);
    SetCleanupDir("");
    if (notWritten)
        std::fprintf(stderr, "qordat: %s: %zu of %zu entries not written\n", args.archive.c_str(), notWritten,
                     chosen.size());
    return failed ? kExitFailed : kExitOk;
}

}  // namespace qordat
