// qordat list and qordat extract: an archive as a host sees it through the
// plug-in, without Windows. The host's part (reading the probe's bytes,
// walking the listing's block, choosing where files go) is here; everything
// else is the plug-in's own code in calls/, run over the native seam.
#include "tools/qordat_calls.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "archive/entry.h"
#include "archive/names.h"
#include "archive/state.h"
#include "calls/calls.h"
#include "calls/platform_native.h"
#include "calls/calls.h"

namespace qordat {
namespace {

const char* const NUMBERING_NAMES[3] = {"dummies", "kept", "packed"};

struct Arguments {
    std::string archive;
    std::vector<std::string> names;  // extract: the entries asked for
    std::string outDir;
    uint32_t numbering = NUMBERING_WITH_DUMMIES;
    bool fullScan = false;
    size_t offset = 0;
    bool tsv = false;
};

// Parses the arguments of list (`forList`) or extract. Returns 0, or the
// exit status of a usage error (reported).
int ParseArguments(int argc, char** argv, bool forList, Arguments& args)
{
    bool positionalOnly = false;
    for (int i = 0; i < argc; i++) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (positionalOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            if (args.archive.empty()) args.archive = arg;
            else if (forList) return Usage("list takes one archive");
            else args.names.push_back(arg);
        } else if (arg == "--") {
            positionalOnly = true;
        } else if (arg == "--numbering") {
            uint32_t mode = 0;
            while (mode < 3 && !(value && !std::strcmp(value, NUMBERING_NAMES[mode]))) mode++;
            if (mode == 3) return Usage("--numbering takes dummies, kept or packed");
            args.numbering = mode;
            i++;
        } else if (arg == "--full-scan") {
            args.fullScan = true;
        } else if (forList && arg == "--offset") {
            if (!ParseCount(value, args.offset)) return Usage("--offset takes a byte count");
            i++;
        } else if (forList && arg == "--tsv") {
            args.tsv = true;
        } else if (!forList && arg == "-o") {
            if (!value || !*value) return Usage("-o takes a directory");
            args.outDir = value;
            i++;
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (args.archive.empty()) return Usage("no archive given");
    if (!forList && args.outDir.empty()) return Usage("extract needs -o DIR");
    return 0;
}

// The path handed to the probe. A host hands the plug-in a full Windows
// path, so the archive's file name always follows a '\', and the plug-in
// takes its base name from what follows the last one. Here the file name is
// what follows the last '/', and it is handed over as ".\NAME": the base
// name then comes out as under a host, also for a name that begins with a
// dot (a dot at the very start of the path would not end the base name).
std::string ProbePath(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return ".\\" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

// Probes the archive as a host does: the first 2,048 bytes from the offset
// on, zero past the end of the file. Returns 0 when the plug-in takes the
// file (the base name of its entries is then set), else 1 (reported).
// What the plug-in keeps between calls, for this run: the settings given,
// the base name the probe takes, the layout the listing detects.
PluginState state;

int Probe(const Arguments& args)
{
    uint8_t bytes[PROBE_SIZE] = {};
    FILE* file = std::fopen(args.archive.c_str(), "rb");
    if (!file) return Fail("cannot read " + args.archive + ": " + std::strerror(errno));
    bool read = fseeko(file, static_cast<off_t>(args.offset), SEEK_SET) == 0;
    if (read) {
        std::fread(bytes, 1, sizeof bytes, file);
        read = !std::ferror(file);
    }
    const int error = errno;
    std::fclose(file);
    if (!read) return Fail("cannot read " + args.archive + ": " + std::strerror(error));

    const std::string probePath = ProbePath(args.archive);
    if (ProbeArchive(&state, probePath.c_str(), bytes, PROBE_SIZE)) return 0;
    if (HasMediaExtension(probePath.c_str()))
        return Fail(args.archive + ": refused: files named *.BMP, *.WAV or *.PNG are left to other plug-ins");
    return Fail(args.archive + ": refused: not a QOR's DAT archive (no valid count and size table at byte " +
                std::to_string(args.offset) + ")");
}

// The listing's records, copied out of the block it hands over.
int List(const Arguments& args, std::vector<EntryInfo>& records)
{
    state.NumberingMode = args.numbering;
    state.CheckMode = args.fullScan ? 1 : 0;
    HostBlock block = nullptr;
    const int result = ListArchive(&state, args.archive.c_str(), static_cast<int64_t>(args.offset), 0, &block);
    if (result != RESULT_OK) return result;
    // A host reads records up to the zeroed one; the block's size bounds it too.
    const size_t capacity = NativeHostBlockSize(block) / sizeof(EntryInfo);
    const EntryInfo* info = static_cast<const EntryInfo*>(HostLock(block));
    for (size_t i = 0; info && i < capacity && info[i].method[0]; i++) records.push_back(info[i]);
    HostUnlock(block);
    HostFree(block);
    return RESULT_OK;
}

size_t NameLength(const EntryInfo& info) { return strnlen(info.fileName, sizeof info.fileName); }

int ListFailed(const std::string& archive, int result)
{
    return Fail(archive + ": listing failed, result " + std::to_string(result) + " (" + ResultMeaning(result) + ")");
}

void PrintTable(const Arguments& args, const std::vector<EntryInfo>& records)
{
    int width = 24;
    for (const EntryInfo& info : records) width = std::max(width, static_cast<int>(NameLength(info)));
    std::printf("%-*s %10s %10s %8s\n", width, "name", "size", "stored", "position");
    for (const EntryInfo& info : records) {
        std::fwrite(info.fileName, 1, NameLength(info), stdout);
        std::printf("%*s %10" PRIu64 " %10" PRIu64 " %8" PRIu64 "\n", width - static_cast<int>(NameLength(info)), "",
                    static_cast<uint64_t>(info.fileSize), static_cast<uint64_t>(info.compressedSize),
                    static_cast<uint64_t>(info.position));
    }
    std::printf("%s: %zu entries (numbering %s, %s)\n", args.archive.c_str(), records.size(),
                NUMBERING_NAMES[args.numbering], args.fullScan ? "full scan" : "no full scan");
}

// Why the entry name cannot be written as a file directly inside `dir`, or
// null when it can. Names are the archive's file name and a suffix, and a
// file name holds no '/', so no name should ever be refused; this is what
// keeps every file inside DIR whatever a name holds. A symbolic link of the
// entry's name in DIR is not followed either.
const char* OutputProblem(const std::string& dir, const char* name)
{
    if (!*name || !std::strcmp(name, ".") || !std::strcmp(name, ".."))
        return "not a file name";
    if (std::strchr(name, '/')) return "the name holds a '/' and would leave the output directory";
    std::error_code error;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(std::filesystem::path(dir) / name, error)))
        return "a symbolic link of that name is in the output directory (not followed)";
    return nullptr;
}

// Writes one entry into the output directory through the plug-in's disk
// output; one line of result. Returns true when the file was written.
bool ExtractOne(const Arguments& args, const EntryInfo& info)
{
    if (const char* problem = OutputProblem(args.outDir, info.fileName)) {
        std::printf("%.200s: not written: %s\n", info.fileName, problem);
        return false;
    }
    std::vector<char> destination(args.outDir.begin(), args.outDir.end());
    destination.push_back('\0');
    const int result = ExtractEntry(&state, args.archive.c_str(), static_cast<int64_t>(info.position), destination.data(), 0);
    std::printf("%-24.200s %10" PRIu64 "  result %d (%s)\n", info.fileName, static_cast<uint64_t>(info.fileSize),
                result, ResultMeaning(result));
    return result == RESULT_OK;
}

}  // namespace

int CommandList(int argc, char** argv)
{
    Arguments args;
    if (const int status = ParseArguments(argc, argv, true, args)) return status;
    if (const int status = Probe(args)) return status;
    std::vector<EntryInfo> records;
    const int result = List(args, records);
    if (result != RESULT_OK) return ListFailed(args.archive, result);
    if (!args.tsv) {
        PrintTable(args, records);
        return 0;
    }
    std::printf("name\tposition\tcompressed\tsize\n");
    for (const EntryInfo& info : records) {
        std::fwrite(info.fileName, 1, NameLength(info), stdout);
        std::printf("\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\n", static_cast<uint64_t>(info.position),
                    static_cast<uint64_t>(info.compressedSize), static_cast<uint64_t>(info.fileSize));
    }
    return 0;
}

int CommandExtract(int argc, char** argv)
{
    Arguments args;
    if (const int status = ParseArguments(argc, argv, false, args)) return status;
    if (const int status = Probe(args)) return status;
    std::error_code error;
    std::filesystem::create_directories(args.outDir, error);
    if (error) return Fail("cannot create " + args.outDir + ": " + error.message());
    // A host lists before it extracts: the listing detects the entry layout
    // that the extraction works by.
    std::vector<EntryInfo> records;
    const int result = List(args, records);
    if (result != RESULT_OK) return ListFailed(args.archive, result);

    size_t written = 0, failed = 0;
    if (args.names.empty()) {
        for (const EntryInfo& info : records) (ExtractOne(args, info) ? written : failed)++;
    }
    for (const std::string& name : args.names) {
        // Found as GetFileInfo finds it: the name's separator picks the numbering.
        EntryInfo info = {};
        const int found = FindEntry(&state, args.archive.c_str(), 0, name.c_str(), 0, &info);
        if (found != RESULT_OK) {
            std::printf("%s: lookup failed, result %d (%s)\n", name.c_str(), found, ResultMeaning(found));
            failed++;
            continue;
        }
        (ExtractOne(args, info) ? written : failed)++;
    }
    std::printf("%s: %zu written, %zu failed\n", args.archive.c_str(), written, failed);
    return failed ? 1 : 0;
}

}  // namespace qordat
