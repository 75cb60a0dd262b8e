// qordat: lists, extracts, builds and inspects QOR's DAT archives.
//
//   qordat list ARCHIVE [PATTERN...]            (qordat_extract.cpp)
//   qordat extract ARCHIVE [PATTERN...] [-o DIR]
//   qordat pack OUT.DAT ENTRY...                (qordat_pack.cpp)
//   qordat dump ARCHIVE
//   qordat unpack ARCHIVE --layout L -o DIR
//
// `list` and `extract` run the plug-in's own calls (qordat_calls.cpp).
// `dump` and `unpack` read the file themselves and treat it as hostile:
// every field is checked against the file's length before use.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/lzss.h"
#include "tools/archive_writer.h"
#include "tools/lzss_encoder.h"
#include "tools/qordat_temp.h"
#include "tools/qordat_cli.h"

#ifndef QORDAT_VERSION
#define QORDAT_VERSION "unknown"
#endif

namespace qordat {

const char* currentCommand = nullptr;

namespace {

struct CommandHelp {
    const char* name;
    const char* text;
};

const char kOverview[] =
    "usage: qordat COMMAND [OPTION...] ARGUMENT...\n"
    "Lists, extracts and builds QOR's DAT game-data archives with the code of\n"
    "the morquent plug-in: the names, sizes and bytes are the ones a host gets.\n"
    "\n"
    "commands:\n"
    "  list ARCHIVE [PATTERN...]               the entries: name, size, stored size, position\n"
    "  extract ARCHIVE [PATTERN...] [-o DIR]   write the entries into DIR (default: here)\n"
    "  pack OUT.DAT ENTRY...                   build an archive from files\n"
    "  dump ARCHIVE                            the count, size table and entry heads, raw\n"
    "  unpack ARCHIVE --layout L -o DIR        every slot, read by qordat's own reader\n"
    "\n"
    "'qordat COMMAND --help' shows a command's options, 'man qordat' the details.\n"
    "--version prints the version. Exit status: 0 done, 1 something failed\n"
    "(reported on stderr), 2 usage error.\n";

const CommandHelp kHelp[] = {
    {"list",
     "usage: qordat list ARCHIVE [PATTERN...] [OPTION...]\n"
     "Lists the entries as the plug-in lists them for a host: name, content size,\n"
     "stored size and position (3 x slot + numbering). PATTERNs choose entries by\n"
     "name or shell wildcard (*, ?, [...]), ignoring case.\n"
     "\n"
     "  --numbering dummies|kept|packed  how empty slots are listed and entries\n"
     "                     numbered (default dummies: empty slots as *.DMY)\n"
     "  --full-scan        size compressed entries of unknown content by reading\n"
     "                     them whole (needed by some archives; slower)\n"
     "  --offset N         the archive begins N bytes into the file\n"
     "  --tsv              a header line, then name, position, stored size and\n"
     "                     size of each entry, tab-separated\n"
     "\n"
     "  qordat list SCENE.DAT\n"
     "  qordat list SCENE.DAT '*.wav' --numbering packed --tsv\n"},
    {"extract",
     "usage: qordat extract ARCHIVE [PATTERN...] [-o DIR] [OPTION...]\n"
     "Writes the entries (all, or those the PATTERNs choose: names from the\n"
     "listing or shell wildcards *, ?, [...], ignoring case) into DIR under their\n"
     "listed names, through the plug-in's own extraction. Existing files are\n"
     "replaced. Each file is written under a temporary name and renamed into\n"
     "place when complete. A damaged entry (the archive ends inside it, or its\n"
     "stream ends short) is reported and not written.\n"
     "\n"
     "  -o, --output DIR   where the files go (default: the current folder)\n"
     "  -k, --keep-old-files  leave existing files alone (each is reported)\n"
     "  -q, --quiet        print only errors\n"
     "  -v, --verbose      also each entry's offset, stored size and layout\n"
     "  --salvage          write damaged entries too, as a host receives them (the\n"
     "                     missing bytes as zeros); still reported, exit status 1\n"
     "  --numbering dummies|kept|packed, --full-scan, --offset N  as for list\n"
     "\n"
     "Exit status: 0 every entry written, 1 an entry failed or was damaged or a\n"
     "pattern matched nothing (the others are still written), 2 usage error.\n"
     "\n"
     "  qordat extract SCENE.DAT -o scene\n"
     "  qordat extract SCENE.DAT '*.bmp' scene~002.wav\n"},
    {"pack",
     "usage: qordat pack OUT.DAT [OPTION...] ENTRY...\n"
     "Builds an archive of the ENTRYs in order: each a file, or --empty for an\n"
     "empty slot. Files are read and written in pieces (compressed on the fly),\n"
     "so memory stays small whatever their size.\n"
     "\n"
     "  --layout raw|kind-size|kind-only  entry heads: none (default), kind and\n"
     "                     declared size, or kind only\n"
     "  --compress         store every entry LZSS-compressed (not with raw), or\n"
     "                     plain where compression would make it larger\n"
     "  --plain, --compressed  store the next ENTRY plain, or compressed even if\n"
     "                     that makes it larger\n"
     "  --fast             compress faster (lazy matching over hash chains): about\n"
     "                     a tenth larger on text\n"
     "  --best             the smallest output the format allows (the default)\n"
     "  -j N               compress on N threads (default: every core); the\n"
     "                     output does not depend on N\n"
     "  -v                 say how each file was stored and its sizes\n"
     "  --repeat N         add the next ENTRY N times (1 to 65536)\n"
     "  --                 every later argument is a file\n"
     "\n"
     "For test archives (damaged on purpose):\n"
     "  --kind K           kind field of the next ENTRY\n"
     "  --declared N       declared size of the next ENTRY (kind-size layout)\n"
     "  --stored-size N    size-table value of the next ENTRY\n"
     "  --count N          count field to write\n"
     "  --offset N         N bytes (0xEE) before the archive\n"
     "  --truncate N       cut the file to N bytes\n"
     "Numbers may be decimal or 0x-hex; 32-bit fields take negative values or\n"
     "their unsigned form (0xFFFFFFFF).\n"
     "\n"
     "  qordat pack SCENE.DAT --layout kind-size --compressed title.bmp --empty chime.wav\n"},
    {"dump",
     "usage: qordat dump ARCHIVE [--offset N]\n"
     "Prints the count, the size table, each entry's offset and the raw kind and\n"
     "declared-size fields at its start, and where the file is cut.\n"
     "\n"
     "  qordat dump SCENE.DAT\n"},
    {"unpack",
     "usage: qordat unpack ARCHIVE --layout raw|kind-size|kind-only -o DIR [--offset N]\n"
     "Writes each non-empty slot's content to DIR/NNN.bin, read by qordat's own\n"
     "reader under the layout given: for archives the plug-in refuses or whose\n"
     "layout it guesses wrong.\n"
     "\n"
     "  qordat unpack SCENE.DAT --layout kind-size -o slots\n"},
};

}  // namespace

void PrintHelp(const char* command)
{
    for (const CommandHelp& help : kHelp) {
        if (command && !std::strcmp(command, help.name)) {
            std::fputs(help.text, stdout);
            return;
        }
    }
    std::fputs(kOverview, stdout);
}

int Usage(const std::string& problem)
{
    if (currentCommand)
        std::fprintf(stderr, "qordat: %s: %s (see 'qordat %s --help')\n", currentCommand, problem.c_str(),
                     currentCommand);
    else
        std::fprintf(stderr, "qordat: %s (see 'qordat --help')\n", problem.c_str());
    return kExitUsage;
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "qordat: %s\n", message.c_str());
    return kExitFailed;
}

std::string SystemError() { return std::strerror(errno); }

bool ParseOffset(const char* text, uint64_t& value)
{
    if (!text || !*text || *text == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > (1ull << 62)) return false;
    value = v;
    return true;
}

// Parses a whole argument as an integer in [low, high]: decimal, or hex with
// a 0x prefix, optionally negative.
bool ParseInteger(const char* text, long long low, long long high, long long& value)
{
    if (!text || !*text) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = v;
    return true;
}

// A 32-bit field: any signed value, or the unsigned form of its bit pattern.
bool ParseField32(const char* text, int32_t& value)
{
    long long v;
    if (!ParseInteger(text, INT32_MIN, UINT32_MAX, v)) return false;
    value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

bool ParseField16(const char* text, int16_t& value)
{
    long long v;
    if (!ParseInteger(text, INT16_MIN, UINT16_MAX, v)) return false;
    value = static_cast<int16_t>(static_cast<uint16_t>(v));
    return true;
}

bool ParseCount(const char* text, size_t& value)
{
    long long v;
    if (!ParseInteger(text, 0, INT32_MAX, v)) return false;
    value = static_cast<size_t>(v);
    return true;
}

}  // namespace qordat

namespace {

using qordat::Fail;
using qordat::ParseCount;
using qordat::ParseField16;
using qordat::ParseField32;
using qordat::Usage;

bool ParseLayout(const char* text, qordat::Layout& layout)
{
    if (!text) return false;
    if (!std::strcmp(text, "raw")) layout = qordat::Layout::Raw;
    else if (!std::strcmp(text, "kind-size")) layout = qordat::Layout::KindSize;
    else if (!std::strcmp(text, "kind-only")) layout = qordat::Layout::KindOnly;
    else return false;
    return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes.clear();
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    qordat::PendingFile file;
    if (!file.Open(path)) return false;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.Stream()) != bytes.size()) return false;
    return file.Commit();
}

// True when the arguments ask for help (before a "--").
bool WantsHelp(int argc, char** argv)
{
    for (int i = 0; i < argc && std::strcmp(argv[i], "--"); i++)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
    return false;
}

// ---- pack ----

// One slot to write: a file or an empty slot, with the modifiers given before it.
struct PackEntry {
    std::string path;  // "" for an empty slot
    bool compress = false;
    bool mayStorePlain = false;  // --compress chose compression: stored plain if that is smaller
    std::optional<int16_t> kind;
    std::optional<int32_t> declared;
    std::optional<int32_t> stored;
};

struct PendingEntry {
    std::optional<bool> compress;
    std::optional<int16_t> kind;
    std::optional<int32_t> declared;
    std::optional<int32_t> stored;
    size_t repeat = 1;
    bool Any() const { return compress || kind || declared || stored || repeat != 1; }
};

bool SeekTo(FILE* f, uint64_t at)
{
#if defined(_WIN32)
    return _fseeki64(f, static_cast<int64_t>(at), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
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

void PutLe(uint8_t* out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// How pack compresses: the encoder's level and threads, and whether each
// entry's storage is reported (-v).
struct PackCompression {
    LzssOptions lzss;
    bool verbose = false;
};

// Writes the archive to `out` in one pass over the entries, each read and
// written (or compressed) in pieces: the count and a size table of zeros
// first, then each entry with its head, and at the end the real table (and
// each head's kind and declared size) over the placeholders. Compressed
// entries go through one encoder pipeline, so the blocks of an entry, and of
// the entries after it, are encoded on every thread at once while the oldest
// is written. Memory stays a few MiB per thread whatever the sizes. Returns
// "" or what failed.
std::string WriteArchive(FILE* out, const std::vector<PackEntry>& entries, qordat::Layout layout,
                         const qordat::Options& options, const PackCompression& compression)
{
    auto writeError = [] { return std::string("cannot write: ") + std::strerror(errno); };
    std::vector<uint8_t> buffer(1 << 20);
    std::vector<uint8_t> stream;
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    for (size_t left = options.leadingBytes; left;) {
        const size_t n = std::min(left, buffer.size());
        if (std::fwrite(buffer.data(), 1, n, out) != n) return writeError();
        left -= n;
    }
    const uint64_t base = options.leadingBytes;
    std::vector<uint8_t> table(4 + 4 * entries.size(), 0);
    if (std::fwrite(table.data(), 1, table.size(), out) != table.size()) return writeError();
    uint64_t at = base + table.size();  // where the next entry to be written begins
    const size_t headSize = layout == qordat::Layout::Raw ? 0 : layout == qordat::Layout::KindSize ? 6 : 2;
    bool rewritten = false;  // an entry was stored plain over its longer stream

    // Copies the file of `entry` to `out` as it is; its length in `content`.
    auto copyPlain = [&](const PackEntry& entry, uint64_t& content) -> std::string {
        FILE* in = std::fopen(entry.path.c_str(), "rb");
        if (!in) return "cannot read " + entry.path + ": " + std::strerror(errno);
        content = 0;
        size_t n;
        bool written = true;
        while (written && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
            content += n;
            written = std::fwrite(buffer.data(), 1, n, out) == n;
        }
        const bool readFailed = std::ferror(in);
        const int readError = errno;
        std::fclose(in);
        if (readFailed) return "cannot read " + entry.path + ": " + std::strerror(readError);
        return written ? "" : writeError();
    };
    // The entry written from `at` is complete (`payload` bytes after its
    // head): its head's fields and its size in the table, `at` past it.
    auto finishEntry = [&](size_t i, int16_t kind, uint64_t content, uint64_t payload) -> std::string {
        const PackEntry& entry = entries[i];
        const uint64_t storedLength = headSize + payload;
        if (storedLength > INT32_MAX || content > INT32_MAX)
            return entry.path + ": too large for the format (an entry holds at most 2 GiB)";
        if (headSize) {
            uint8_t head[6];
            PutLe(head, static_cast<uint16_t>(entry.kind.value_or(kind)), 2);
            PutLe(head + 2, static_cast<uint32_t>(entry.declared.value_or(static_cast<int32_t>(content))), 4);
            if (!SeekTo(out, at) || std::fwrite(head, 1, headSize, out) != headSize) return writeError();
        }
        if (!SeekTo(out, at + storedLength)) return writeError();
        PutLe(&table[4 + 4 * i], static_cast<uint32_t>(entry.stored.value_or(static_cast<int32_t>(storedLength))), 4);
        at += storedLength;
        return "";
    };

    // Compressed entries whose streams are in the pipeline, oldest first; the
    // oldest is the one being written, from `at`.
    struct Streamed {
        size_t index;
        uint64_t content = 0;  // known once its file is read
        uint64_t payload = 0;  // stream bytes written so far
        bool begun = false;    // its head's room written
    };
    std::deque<Streamed> streamed;
    LzssPipeline pipeline(compression.lzss);
    // Writes the oldest block the pipeline has ready (with `wait`, once it is
    // encoded); at a stream's end, stores that entry plain instead when its
    // stream came out larger and --compress chose it. Sets `took` when it
    // wrote something.
    auto takeOne = [&](bool wait, bool& took) -> std::string {
        stream.clear();
        const LzssPipeline::Took what = pipeline.Take(stream, wait);
        took = what != LzssPipeline::Took::Nothing;
        if (!took) return "";
        Streamed& s = streamed.front();
        if (!s.begun) {
            const uint8_t room[6] = {};
            if (std::fwrite(room, 1, headSize, out) != headSize) return writeError();
            s.begun = true;
        }
        if (std::fwrite(stream.data(), 1, stream.size(), out) != stream.size()) return writeError();
        s.payload += stream.size();
        if (what != LzssPipeline::Took::StreamEnd) return "";
        const PackEntry& entry = entries[s.index];
        int16_t kind = 1;
        if (entry.mayStorePlain && s.payload > s.content) {
            uint64_t content = 0;
            if (!SeekTo(out, at + headSize)) return writeError();
            const std::string problem = copyPlain(entry, content);
            if (!problem.empty()) return problem;
            if (content != s.content) return entry.path + ": changed while it was packed";
            rewritten = true;
            kind = 0;
            if (compression.verbose)
                std::printf("%s: stored plain, %" PRIu64 " bytes (compressed: %" PRIu64 ")\n", entry.path.c_str(),
                            s.content, s.payload);
            s.payload = s.content;
        } else if (compression.verbose) {
            std::printf("%s: compressed, %" PRIu64 " -> %" PRIu64 " bytes\n", entry.path.c_str(), s.content,
                        s.payload);
        }
        const std::string problem = finishEntry(s.index, kind, s.content, s.payload);
        streamed.pop_front();
        return problem;
    };
    auto takeAll = [&]() -> std::string {
        bool took = true;
        while (!streamed.empty()) {
            const std::string problem = takeOne(true, took);
            if (!problem.empty()) return problem;
        }
        return "";
    };

    for (size_t i = 0; i < entries.size(); i++) {
        const PackEntry& entry = entries[i];
        if (entry.path.empty()) {  // an empty slot: stores nothing
            PutLe(&table[4 + 4 * i], static_cast<uint32_t>(entry.stored.value_or(0)), 4);
            continue;
        }
        if (!entry.compress) {  // written in place, after every entry before it
            std::string problem = takeAll();
            const uint8_t room[6] = {};
            if (problem.empty() && std::fwrite(room, 1, headSize, out) != headSize) problem = writeError();
            uint64_t content = 0;
            if (problem.empty()) problem = copyPlain(entry, content);
            if (problem.empty()) problem = finishEntry(i, 0, content, content);
            if (!problem.empty()) return problem;
            if (compression.verbose) std::printf("%s: plain, %" PRIu64 " bytes\n", entry.path.c_str(), content);
            continue;
        }
        FILE* in = std::fopen(entry.path.c_str(), "rb");
        if (!in) return "cannot read " + entry.path + ": " + std::strerror(errno);
        streamed.push_back(Streamed{i});
        uint64_t content = 0;
        size_t n;
        std::string problem;
        while (problem.empty() && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
            content += n;
            pipeline.Add(buffer.data(), n);
            // Written as soon as encoded; waited for only at the memory bound.
            for (bool took = true; problem.empty() && took;) problem = takeOne(pipeline.Full(), took);
        }
        const bool readFailed = std::ferror(in);
        const int readError = errno;
        std::fclose(in);
        if (readFailed) return "cannot read " + entry.path + ": " + std::strerror(readError);
        if (!problem.empty()) return problem;
        pipeline.EndStream();
        streamed.back().content = content;
    }
    const std::string problem = takeAll();
    if (!problem.empty()) return problem;
    if (rewritten && !CutAt(out, at)) return writeError();
    PutLe(table.data(), static_cast<uint32_t>(options.count.value_or(static_cast<int32_t>(entries.size()))), 4);
    if (!SeekTo(out, base) || std::fwrite(table.data(), 1, table.size(), out) != table.size()) return writeError();
    if (options.truncate && *options.truncate < at && !CutAt(out, *options.truncate)) return writeError();
    return "";
}

int Pack(int argc, char** argv)
{
    if (WantsHelp(argc, argv)) {
        qordat::PrintHelp("pack");
        return 0;
    }
    if (argc < 1) return Usage("no output file given");
    const std::string outPath = argv[0];
    qordat::Options options;
    bool compressAll = false;
    PackCompression compression;
    compression.lzss.threads = std::max(1u, std::min(64u, std::thread::hardware_concurrency()));
    std::vector<PackEntry> entries;
    std::vector<std::optional<bool>> compressOverride;
    PendingEntry pending;
    bool pathsOnly = false;

    auto addEntry = [&](const std::string& path) {
        PackEntry entry;
        entry.path = path;
        entry.kind = pending.kind;
        entry.declared = pending.declared;
        entry.stored = pending.stored;
        for (size_t n = 0; n < pending.repeat; n++) {
            compressOverride.push_back(pending.compress);
            entries.push_back(entry);
        }
        pending = PendingEntry();
    };

    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (pathsOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg.empty()) return Usage("an empty file name");
            addEntry(arg);
            continue;
        }
        if (arg == "--") {
            pathsOnly = true;
        } else if (arg == "--empty") {
            addEntry("");
        } else if (arg == "--compress") {
            compressAll = true;
        } else if (arg == "--fast" || arg == "--best") {
            compression.lzss.level = arg == "--fast" ? LzssLevel::Fast : LzssLevel::Optimal;
        } else if (arg == "-v" || arg == "--verbose") {
            compression.verbose = true;
        } else if (arg == "-j" || arg == "--jobs" || arg.compare(0, 2, "-j") == 0) {
            const char* text = arg.size() > 2 && arg[1] == 'j' ? arg.c_str() + 2 : value;
            size_t n;
            if (!ParseCount(text, n) || n < 1 || n > 64) return Usage("-j takes a count of threads from 1 to 64");
            compression.lzss.threads = static_cast<unsigned>(n);
            if (text == value) i++;
        } else if (arg == "--plain" || arg == "--compressed") {
            pending.compress = arg == "--compressed";
        } else if (arg == "--layout") {
            if (!ParseLayout(value, options.layout)) return Usage("--layout takes raw, kind-size or kind-only");
            i++;
        } else if (arg == "--offset" || arg == "--truncate") {
            size_t n;
            if (!ParseCount(value, n)) return Usage(arg + " takes a byte count");
            if (arg == "--offset") options.leadingBytes = n;
            else options.truncate = n;
            i++;
        } else if (arg == "--count" || arg == "--declared" || arg == "--stored-size") {
            int32_t n;
            if (!ParseField32(value, n)) return Usage(arg + " takes a 32-bit integer");
            if (arg == "--count") options.count = n;
            else if (arg == "--declared") pending.declared = n;
            else pending.stored = n;
            i++;
        } else if (arg == "--repeat") {
            // Thousands of slots in one archive, without a command line of
            // thousands of arguments (Windows caps it at 32,767 characters).
            if (!ParseCount(value, pending.repeat) || pending.repeat < 1 || pending.repeat > 0x10000)
                return Usage("--repeat takes a count from 1 to 65536");
            i++;
        } else if (arg == "--kind") {
            int16_t k;
            if (!ParseField16(value, k)) return Usage("--kind takes a 16-bit integer");
            pending.kind = k;
            i++;
        } else {
            return Usage("unknown option '" + arg + "'");
        }
    }
    if (pending.Any()) return Usage("entry modifiers after the last entry");
    if (entries.empty()) return Usage("no ENTRY given (a file or --empty)");

    for (size_t i = 0; i < entries.size(); i++) {
        PackEntry& entry = entries[i];
        entry.compress = !entry.path.empty() && compressOverride[i].value_or(compressAll);
        entry.mayStorePlain = entry.compress && !compressOverride[i];
        if (options.layout == qordat::Layout::Raw && !entry.path.empty() &&
            (entry.compress || entry.kind || entry.declared))
            return Fail("entry " + std::to_string(i) +
                        ": the raw layout has no head, so no kind, declared size or compression");
        if (options.layout == qordat::Layout::KindOnly && entry.declared)
            return Fail("entry " + std::to_string(i) + ": the kind-only layout has no declared size");
    }

    qordat::InstallCleanupHandlers();
    qordat::PendingFile out;
    if (!out.Open(outPath)) return Fail("cannot write " + outPath + ": " + qordat::SystemError());
    const std::string problem = WriteArchive(out.Stream(), entries, options.layout, options, compression);
    if (!problem.empty()) return Fail(outPath + ": " + problem);
    if (!out.Commit()) return Fail("cannot write " + outPath + ": " + qordat::SystemError());
    return 0;
}

// ---- reading a (possibly hostile) archive ----

struct Slot {
    int32_t stored = 0;
    int64_t offset = -1;  // from the archive's first byte; -1 after a negative size
};

struct Container {
    const uint8_t* bytes = nullptr;  // the archive, from its first byte to the file's end
    size_t length = 0;
    uint32_t rawCount = 0;
    bool countValid = false;
    std::vector<Slot> slots;  // the slots whose size lies wholly inside the file
    int64_t dataEnd = -1;     // where the last entry ends; -1 if unknown
};

// Reads the count and as much of the size table as the file holds. Never
// reads outside [bytes, bytes + length).
Container ReadContainer(const uint8_t* bytes, size_t length)
{
    Container c;
    c.bytes = bytes;
    c.length = length;
    if (length < 4) return c;
    c.rawCount = static_cast<uint32_t>(S32At(bytes, length, 0));
    c.countValid = ContainerCount(bytes) != 0;
    if (!c.countValid) return c;
    const int64_t tableEnd = 4 + 4 * static_cast<int64_t>(c.rawCount);
    int64_t offset = tableEnd;
    for (uint32_t i = 0; i < c.rawCount && 4 + 4 * static_cast<size_t>(i) + 4 <= length; i++) {
        Slot slot;
        slot.stored = S32At(bytes, length, 4 + 4 * static_cast<size_t>(i));
        slot.offset = offset;
        if (offset >= 0) offset = slot.stored >= 0 ? offset + slot.stored : -1;
        c.slots.push_back(slot);
    }
    if (c.slots.size() == c.rawCount) c.dataEnd = offset;
    return c;
}

// The entry's bytes that lie inside the file, from `skip` bytes into it.
std::vector<uint8_t> EntryBytes(const Container& c, const Slot& slot, size_t skip, bool& cut)
{
    cut = false;
    if (slot.offset < 0 || slot.stored < 0) return {};
    const uint64_t begin = static_cast<uint64_t>(slot.offset);
    uint64_t end = begin + static_cast<uint32_t>(slot.stored);
    if (end > c.length) {
        end = c.length;
        cut = true;
    }
    if (begin + skip >= end) return {};
    return std::vector<uint8_t>(c.bytes + begin + skip, c.bytes + end);
}

// Parses the arguments of dump and unpack and reads the archive file.
// Returns 0 on success, otherwise the exit code (the problem is reported).
int ReadArchiveArgs(int argc, char** argv, std::vector<uint8_t>& file, size_t& offset, std::string& path,
                    std::optional<qordat::Layout>* layout, std::string* outDir)
{
    if (WantsHelp(argc, argv)) {
        qordat::PrintHelp(qordat::currentCommand);
        return -1;
    }
    for (int i = 0; i < argc; i++) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--offset") {
            if (!ParseCount(value, offset)) return Usage("--offset takes a byte count");
            i++;
        } else if (layout && arg == "--layout") {
            qordat::Layout l;
            if (!ParseLayout(value, l)) return Usage("--layout takes raw, kind-size or kind-only");
            *layout = l;
            i++;
        } else if (outDir && arg == "-o") {
            if (!value) return Usage("-o takes a directory");
            *outDir = value;
            i++;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            return Usage("unknown option '" + arg + "'");
        } else if (path.empty()) {
            path = arg;
        } else {
            return Usage("only one archive at a time");
        }
    }
    if (path.empty()) return Usage("no archive given");
    if (layout && !*layout) return Usage("unpack needs --layout");
    if (outDir && outDir->empty()) return Usage("unpack needs -o DIR");
    if (!ReadFile(path, file)) return Fail("cannot read " + path + ": " + std::strerror(errno));
    if (offset > file.size())
        return Fail("offset " + std::to_string(offset) + " lies past the end of " + path + " (" +
                    std::to_string(file.size()) + " bytes)");
    return 0;
}

// ---- dump ----

int Dump(int argc, char** argv)
{
    std::vector<uint8_t> file;
    size_t base = 0;
    std::string path;
    if (const int status = ReadArchiveArgs(argc, argv, file, base, path, nullptr, nullptr))
        return status < 0 ? 0 : status;
    const Container c = ReadContainer(file.data() + base, file.size() - base);

    std::printf("file:     %s, %zu bytes; archive at file offset %zu (offsets below count from there)\n",
                path.c_str(), file.size(), base);
    if (c.length < 4) {
        std::printf("count:    none (only %zu bytes)\n", c.length);
        return 0;
    }
    std::printf("count:    %" PRId32 " (0x%08" PRIX32 ")%s\n", static_cast<int32_t>(c.rawCount), c.rawCount,
                c.countValid ? "" : "  INVALID: not 1 to 8191 in its encoded form; no table shown");
    if (!c.countValid) return 0;
    std::printf("table:    %" PRIu32 " slots at 4..%" PRIu64 "\n", c.rawCount, 3 + 4 * static_cast<uint64_t>(c.rawCount));
    std::printf("%6s %12s %12s %8s %12s  %s\n", "slot", "stored", "offset", "kind", "declared", "first bytes / notes");
    for (size_t i = 0; i < c.slots.size(); i++) {
        const Slot& slot = c.slots[i];
        std::printf("%6zu %12" PRId32, i, slot.stored);
        if (slot.offset < 0) {
            std::printf(" %12s  offset unknown after a negative size\n", "?");
            continue;
        }
        std::printf(" %12" PRId64, slot.offset);
        if (slot.stored < 0) {
            std::printf("  NEGATIVE size\n");
            continue;
        }
        if (slot.stored == 0) {
            std::printf("  empty\n");
            continue;
        }
        // Raw head fields as the plug-in reads them, whatever the layout;
        // "-" where the file ends before the field does.
        const uint64_t at = static_cast<uint64_t>(slot.offset);
        if (at + 2 <= c.length) std::printf(" %8d", static_cast<int>(S16At(c.bytes, c.length, at)));
        else std::printf(" %8s", "-");
        if (at + 6 <= c.length) std::printf(" %12" PRId32, S32At(c.bytes, c.length, at + 2));
        else std::printf(" %12s", "-");
        std::printf(" ");
        bool cut = false;
        const std::vector<uint8_t> bytes = EntryBytes(c, slot, 0, cut);
        for (size_t k = 0; k < bytes.size() && k < 8; k++) std::printf(" %02x", bytes[k]);
        if (cut) std::printf("  CUT: file ends %" PRIu64 " bytes early", at + static_cast<uint32_t>(slot.stored) - c.length);
        std::printf("\n");
    }
    if (c.slots.size() < c.rawCount) {
        std::printf("table cut: the file ends inside slot %zu\n", c.slots.size());
    } else if (c.dataEnd >= 0) {
        const int64_t extra = static_cast<int64_t>(c.length) - c.dataEnd;
        std::printf("end:      entries end at %" PRId64, c.dataEnd);
        if (extra == 0) std::printf(", the end of the file\n");
        else if (extra > 0) std::printf("; %" PRId64 " more bytes follow in the file\n", extra);
        else std::printf("; the file is %" PRId64 " bytes short\n", -extra);
    }
    return 0;
}

// ---- unpack ----

int Unpack(int argc, char** argv)
{
    std::vector<uint8_t> file;
    size_t base = 0;
    std::string path, outDir;
    std::optional<qordat::Layout> layout;
    if (const int status = ReadArchiveArgs(argc, argv, file, base, path, &layout, &outDir))
        return status < 0 ? 0 : status;
    const Container c = ReadContainer(file.data() + base, file.size() - base);
    if (!c.countValid) return Fail(path + " is not a QOR's DAT archive (bad count)");

    std::error_code error;
    std::filesystem::create_directories(outDir, error);
    if (error) return Fail("cannot create " + outDir + ": " + error.message());
    qordat::InstallCleanupHandlers();

    int problems = 0;
    for (size_t i = 0; i < c.slots.size(); i++) {
        const Slot& slot = c.slots[i];
        if (slot.stored == 0) continue;
        if (slot.stored < 0 || slot.offset < 0) {
            std::fprintf(stderr, "qordat: slot %zu: negative size, stopping\n", i);
            problems++;
            break;
        }
        const uint64_t at = static_cast<uint64_t>(slot.offset);
        const size_t head = *layout == qordat::Layout::Raw ? 0 : *layout == qordat::Layout::KindSize ? 6 : 2;
        if (at + head > c.length) {
            std::fprintf(stderr, "qordat: slot %zu: the file ends before the entry's payload\n", i);
            problems++;
            continue;
        }
        bool cut = false;
        std::vector<uint8_t> payload = EntryBytes(c, slot, head, cut);
        const int kind = head == 0 ? 0 : S16At(c.bytes, c.length, static_cast<size_t>(at));
        const int32_t declared = head == 6 ? S32At(c.bytes, c.length, static_cast<size_t>(at) + 2) : -1;
        if (cut) {
            std::fprintf(stderr, "qordat: slot %zu: the file ends inside the entry\n", i);
            problems++;
        }

        std::vector<uint8_t> content;
        if (kind == 0 || kind == 8) {  // plain payload (kind 8 taken as plain under both heads)
            content = std::move(payload);
            if (*layout == qordat::Layout::KindSize && kind == 0 && declared >= 0 &&
                static_cast<uint32_t>(declared) < content.size())
                content.resize(static_cast<uint32_t>(declared));
        } else if (kind == 1) {
            // Expand no more than the stream holds, whatever the head declares.
            const int32_t available = LzssDecodedSize(payload.data(), static_cast<uint32_t>(payload.size()));
            int32_t size = available > 0 ? available : 0;
            if (*layout == qordat::Layout::KindSize) {
                if (declared < 0 || declared > available) {
                    std::fprintf(stderr, "qordat: slot %zu: declared size %" PRId32 ", stream holds %" PRId32 "\n", i,
                                 declared, available);
                    problems++;
                }
                if (declared >= 0 && declared < size) size = declared;
            }
            content.resize(static_cast<size_t>(size));
            LzssDecode(payload.data(), static_cast<uint32_t>(payload.size()), content.data(), static_cast<uint32_t>(size));
        } else {
            std::fprintf(stderr, "qordat: slot %zu: unknown kind %d, skipped\n", i, kind);
            problems++;
            continue;
        }
        char name[32];
        std::snprintf(name, sizeof name, "%03zu.bin", i);
        const std::string outPath = (std::filesystem::path(outDir) / name).string();
        if (!WriteFile(outPath, content)) return Fail("cannot write " + outPath + ": " + qordat::SystemError());
    }
    if (c.slots.size() < c.rawCount) {
        std::fprintf(stderr, "qordat: the file ends inside the size table\n");
        problems++;
    }
    return problems ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        qordat::Usage("no command given");
        return qordat::kExitUsage;
    }
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        qordat::PrintHelp(argc > 2 && command == "help" ? argv[2] : nullptr);
        return 0;
    }
    if (command == "--version" || command == "-V") {
        std::printf("qordat " QORDAT_VERSION " (morquent)\n");
        return 0;
    }
    static const struct {
        const char* name;
        int (*run)(int, char**);
    } kCommands[] = {{"list", qordat::CommandList}, {"extract", qordat::CommandExtract}, {"pack", Pack},
                     {"dump", Dump},                {"unpack", Unpack}};
    for (const auto& c : kCommands) {
        if (command != c.name) continue;
        qordat::currentCommand = c.name;
        return c.run(argc - 2, argv + 2);
    }
    if (!command.empty() && command[0] == '-') return qordat::Usage("unknown option '" + command + "'");
    return qordat::Usage("unknown command '" + command + "'");
}
