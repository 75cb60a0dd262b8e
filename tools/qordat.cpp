// qordat: builds, inspects, lists and extracts QOR's DAT archives.
//
//   qordat pack OUT.DAT [--layout raw|kind-size|kind-only] [--compress]
//                       [--offset N] [--count N] [--truncate N] ENTRY...
//   qordat dump ARCHIVE [--offset N]
//   qordat list ARCHIVE [--numbering M] [--full-scan] [--offset N] [--tsv]
//   qordat extract ARCHIVE [NAME...] -o DIR [--numbering M] [--full-scan]
//   qordat unpack ARCHIVE --layout L -o DIR [--offset N]
//
// See kUsage for the details. `list` and `extract` run the plug-in's own
// calls (qordat_calls.cpp; native builds only). `dump` and `unpack` read the
// file themselves and treat it as hostile: every field is checked against
// the file's length before use.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/lzss.h"
#include "tools/archive_writer.h"
#include "tools/qordat_calls.h"

namespace qordat {

const char kUsage[] =
    "usage:\n"
    "  qordat list ARCHIVE [--numbering dummies|kept|packed] [--full-scan]\n"
    "                      [--offset N] [--tsv]\n"
    "      lists the archive as the plug-in lists it for a host: probe, then\n"
    "      listing, in the settings given (default: dummies, no full scan).\n"
    "      list and extract run the plug-in's code natively (Linux, macOS);\n"
    "      on Windows, spihost does the same with morquent.spi.\n"
    "      --numbering: dummies lists empty slots as *.DMY; kept leaves them\n"
    "      out and keeps the slot numbers; packed numbers the others 0, 1, 2...\n"
    "      --full-scan lets compressed entries of unknown content be read\n"
    "      whole to find their size. --offset N: the archive begins N bytes\n"
    "      into the file (the probe looks there). --tsv: a header line, then\n"
    "      name, position, stored size and size of each entry, tab-separated.\n"
    "        qordat list SCENE.DAT\n"
    "        qordat list SCENE.DAT --numbering packed --tsv\n"
    "  qordat extract ARCHIVE [NAME...] -o DIR [--numbering M] [--full-scan]\n"
    "      writes every entry (or the NAMEd ones, found as a host's lookup\n"
    "      finds them) into DIR under the plug-in's names, through the\n"
    "      plug-in's own extraction; one line per entry. Exit status 0 when\n"
    "      every entry was written, 1 otherwise.\n"
    "        qordat extract SCENE.DAT -o scene\n"
    "        qordat extract SCENE.DAT SCENE~002.WAV SCENE~004.DAT -o scene\n"
    "  qordat pack OUT.DAT [--layout raw|kind-size|kind-only] [--compress]\n"
    "                      [--offset N] [--count N] [--truncate N] ENTRY...\n"
    "      ENTRY is a file path or --empty (an empty slot). These modifiers\n"
    "      apply to the next ENTRY only:\n"
    "        --plain / --compressed   store it plain (kind 0) or LZSS-compressed\n"
    "                                 (kind 1), whatever --compress says\n"
    "        --kind K                 kind field to write\n"
    "        --declared N             declared size to write (kind-size layout)\n"
    "        --stored-size N          size-table value to write\n"
    "        --repeat N               add the ENTRY N times (N >= 1), each with\n"
    "                                 the modifiers before it\n"
    "      --offset N puts N bytes (0xEE) before the archive, --count N writes N\n"
    "      as the count, --truncate N cuts the file to N bytes. Numbers may be\n"
    "      decimal or 0x-hex; 32-bit fields take negative values or their\n"
    "      unsigned form (0xFFFFFFFF). `--` makes every later argument a path.\n"
    "        qordat pack SCENE.DAT --layout kind-size --compressed title.bmp --empty chime.wav\n"
    "  qordat dump ARCHIVE [--offset N]\n"
    "      prints the count, the size table, each entry's offset and the raw\n"
    "      kind and declared-size fields at its start.\n"
    "        qordat dump SCENE.DAT\n"
    "  qordat unpack ARCHIVE --layout L -o DIR [--offset N]\n"
    "      writes each non-empty entry's content to DIR/NNN.bin, read by\n"
    "      qordat's own reader under the layout given: for archives the\n"
    "      plug-in refuses or whose layout it guesses wrong (a kind-only\n"
    "      archive whose first entry is plain text reads as kind-size).\n"
    "        qordat unpack SCENE.DAT --layout kind-size -o slots\n";

int Usage(const char* problem)
{
    std::fprintf(stderr, "qordat: %s\n%s", problem, kUsage);
    return 2;
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "qordat: %s\n", message.c_str());
    return 1;
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
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

// ---- pack ----

struct PendingEntry {
    std::optional<bool> compress;
    std::optional<int16_t> kind;
    std::optional<int32_t> declared;
    std::optional<int32_t> stored;
    size_t repeat = 1;
    bool Any() const { return compress || kind || declared || stored || repeat != 1; }
};

int Pack(int argc, char** argv)
{
    if (argc < 1) return Usage("pack needs an output file");
    const std::string outPath = argv[0];
    qordat::Options options;
    bool compressAll = false;
    std::vector<qordat::Entry> entries;
    std::vector<std::optional<bool>> compressOverride;
    PendingEntry pending;
    bool pathsOnly = false;

    auto addEntry = [&](qordat::Entry entry) {
        entry.kind = pending.kind;
        entry.declaredSize = pending.declared;
        entry.storedSize = pending.stored;
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
            qordat::Entry entry;
            if (!ReadFile(arg, entry.content)) return Fail("cannot read " + arg + ": " + std::strerror(errno));
            addEntry(std::move(entry));
            continue;
        }
        if (arg == "--") {
            pathsOnly = true;
        } else if (arg == "--empty") {
            addEntry(qordat::Empty());
        } else if (arg == "--compress") {
            compressAll = true;
        } else if (arg == "--plain" || arg == "--compressed") {
            pending.compress = arg == "--compressed";
        } else if (arg == "--layout") {
            if (!ParseLayout(value, options.layout)) return Usage("--layout takes raw, kind-size or kind-only");
            i++;
        } else if (arg == "--offset" || arg == "--truncate") {
            size_t n;
            if (!ParseCount(value, n)) return Usage((arg + " takes a byte count").c_str());
            if (arg == "--offset") options.leadingBytes = n;
            else options.truncate = n;
            i++;
        } else if (arg == "--count" || arg == "--declared" || arg == "--stored-size") {
            int32_t n;
            if (!ParseField32(value, n)) return Usage((arg + " takes a 32-bit integer").c_str());
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
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (pending.Any()) return Usage("entry modifiers after the last entry");
    if (entries.empty()) return Usage("pack needs at least one ENTRY (a file or --empty)");

    for (size_t i = 0; i < entries.size(); i++) {
        qordat::Entry& entry = entries[i];
        entry.compress = compressOverride[i].value_or(compressAll);
        if (options.layout == qordat::Layout::Raw && !entry.empty && (entry.compress || entry.kind || entry.declaredSize))
            return Fail("entry " + std::to_string(i) +
                        ": the raw layout has no head, so no kind, declared size or compression");
        if (options.layout == qordat::Layout::KindOnly && entry.declaredSize)
            return Fail("entry " + std::to_string(i) + ": the kind-only layout has no declared size");
    }

    if (!WriteFile(outPath, qordat::BuildArchive(entries, options)))
        return Fail("cannot write " + outPath + ": " + std::strerror(errno));
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
            return Usage(("unknown option " + arg).c_str());
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
    if (const int status = ReadArchiveArgs(argc, argv, file, base, path, nullptr, nullptr)) return status;
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
    if (const int status = ReadArchiveArgs(argc, argv, file, base, path, &layout, &outDir)) return status;
    const Container c = ReadContainer(file.data() + base, file.size() - base);
    if (!c.countValid) return Fail(path + " is not a QOR's DAT archive (bad count)");

    std::error_code error;
    std::filesystem::create_directories(outDir, error);
    if (error) return Fail("cannot create " + outDir + ": " + error.message());

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
        if (!WriteFile(outPath, content)) return Fail("cannot write " + outPath);
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
    if (argc < 2) return Usage("no command");
    const std::string command = argv[1];
    if (command == "pack") return Pack(argc - 2, argv + 2);
    if (command == "dump") return Dump(argc - 2, argv + 2);
    if (command == "unpack") return Unpack(argc - 2, argv + 2);
#if defined(QORDAT_PLUGIN_CALLS)
    if (command == "list") return qordat::CommandList(argc - 2, argv + 2);
    if (command == "extract") return qordat::CommandExtract(argc - 2, argv + 2);
#else
    if (command == "list" || command == "extract")
        return Fail(command + " runs the plug-in's code natively; on Windows, spihost does it with morquent.spi");
#endif
    if (command == "-h" || command == "--help") {
        std::printf("%s", qordat::kUsage);
        return 0;
    }
    return Usage(("unknown command " + command).c_str());
}
