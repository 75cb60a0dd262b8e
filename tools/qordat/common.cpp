#include "tools/qordat/common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <getopt.h>

#include "archive/container.h"
#include "archive/state.h"
#include "calls/calls.h"

namespace qordat {

const char* currentCommand = nullptr;

int Usage(const std::string& problem)
{
    if (currentCommand)
        std::fprintf(stderr, "qordat: %s: %s (see 'qordat %s --help')\n", currentCommand, problem.c_str(),
                     currentCommand);
    else
        std::fprintf(stderr, "qordat: %s (see 'qordat --help')\n", problem.c_str());
    return kExitUsage;
}

bool SeekTo(FILE* f, uint64_t at)
{
#if defined(_WIN32)
    return _fseeki64(f, static_cast<int64_t>(at), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "qordat: %s\n", message.c_str());
    return kExitFailed;
}

std::string SystemError() { return std::strerror(errno); }
std::string SystemError(int error) { return std::strerror(error); }

std::string Count(int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Bytes(uint64_t n) { return Count(static_cast<int64_t>(n), "byte", "bytes"); }

bool ParseNumber(const char* text, int64_t low, int64_t high, int64_t& value)
{
    if (!text || !*text || (*text == '-' && low >= 0)) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = v;
    return true;
}

bool ParseLayout(const char* text, EntryLayout& layout) { return LayoutOfName(text, &layout); }

int ParseCommandLine(int argc, char** argv, const std::vector<OptionDef>& options,
                     const std::function<int(int id, const char* value)>& onOption,
                     const std::function<int(const char* argument)>& onArgument)
{
    constexpr int kHelpId = -2;
    // "-": arguments come back in order as option 1; ":": a missing value
    // comes back as ':' with no message of getopt's own.
    std::string letters = "-:h";
    std::vector<option> longs;
    for (const OptionDef& def : options) {
        longs.push_back({def.name, def.takesValue ? required_argument : no_argument, nullptr,
                         def.letter ? def.letter : 0x100 + def.id});
        if (def.letter) letters += std::string(1, def.letter) + (def.takesValue ? ":" : "");
    }
    longs.push_back({"help", no_argument, nullptr, kHelpId});
    longs.push_back({nullptr, 0, nullptr, 0});

    // getopt_long reads argv from index 1: argv[0] is the command's name.
    opterr = 0;
    optind = 0;  // a fresh scan (glibc and mingw re-initialise on 0)
    auto find = [&](int code) -> const OptionDef* {
        for (const OptionDef& def : options)
            if ((def.letter && code == def.letter) || code == 0x100 + def.id) return &def;
        return nullptr;
    };
    int code;
    while ((code = getopt_long(argc, argv, letters.c_str(), longs.data(), nullptr)) != -1) {
        const char* seen = argv[optind - 1];
        int status = 0;
        if (code == 1) {
            status = onArgument(optarg);
        } else if (code == 'h' || code == kHelpId) {
            PrintHelp(currentCommand);
            return kHelped;
        } else if (code == ':') {
            return Usage(std::string(seen) + " needs a value");
        } else if (code == '?') {
            const char* eq = std::strchr(seen, '=');
            if (!std::strncmp(seen, "--", 2) && eq) return Usage(std::string(seen, eq) + " takes no value");
            if (optopt && std::strncmp(seen, "--", 2))
                return Usage(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
            return Usage("unknown option '" + std::string(seen) + "'");
        } else if (const OptionDef* option = find(code)) {
            status = onOption(option->id, option->takesValue ? optarg : nullptr);
        }
        if (status) return status;
    }
    for (int i = optind; i < argc; i++)  // after "--"
        if (const int status = onArgument(argv[i])) return status;
    return 0;
}

// Whether the file at `path` holds what begins a QOR's DAT archive (a valid
// count and size table) at byte 0 or at `offset`. False with errno set when
// it cannot be read.
static bool LooksLikeArchive(const std::string& path, uint64_t offset, bool* readable)
{
    *readable = false;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bool archive = false;
    *readable = true;
    for (const uint64_t at : {uint64_t(0), offset}) {
        uint8_t bytes[PROBE_SIZE] = {};
        size_t got = 0;
        if (SeekTo(f, at)) got = std::fread(bytes, 1, sizeof bytes, f);
        if (std::ferror(f)) {
            const int error = errno;
            *readable = false;
            std::fclose(f);
            errno = error;
            return false;
        }
        archive = archive || ValidateContainer(nullptr, bytes, static_cast<int32_t>(got), VALIDATE_PROBE);
    }
    std::fclose(f);
    return archive;
}

// An existing OUT is replaced only when it is an archive (a file packed
// before, say): anything else is kept unless --force, as gzip keeps a file
// it would overwrite.
int CheckReplaceable(const std::string& outPath, uint64_t offset, bool force)
{
    std::error_code outError;
    const std::filesystem::file_status outStatus = std::filesystem::status(outPath, outError);
    if (std::filesystem::is_directory(outStatus)) return Fail(outPath + ": is a folder; name the archive to write");
    if (!std::filesystem::exists(outStatus) || force) return 0;
    bool readable = false;
    if (LooksLikeArchive(outPath, offset, &readable)) return 0;
    if (!readable)
        return Fail("cannot read " + outPath + ": " + SystemError() +
                    "; it is not replaced unless it is an archive (--force replaces it)");
    return Fail(outPath + ": exists and is not a QOR's DAT archive; not replaced (--force replaces it)");
}

}  // namespace qordat
