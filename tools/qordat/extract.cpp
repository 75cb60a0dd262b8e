// qordat extract: the entries written through the plug-in's own extraction,
// with what a person at a shell expects on top:
//
//  - entries chosen by their listed names or shell wildcards, ignoring case;
//    a pattern that matches nothing is an error of its own;
//  - every entry read and checked before it is written (qordat's reader,
//    the archive code's expansion): a damaged entry (stored bytes past the
//    end of the file, a stream that ends before the entry's size) is not
//    written unless --salvage asks for it as a host receives it (the
//    missing bytes as zeros); a read that fails is an error, not damage;
//  - every file written in a private folder inside DIR and put in place
//    once complete, under the name the extraction gave it, so that a
//    failure, Ctrl-C or SIGTERM never leaves a partial file under an
//    entry's name; -k puts it in place only where no file of that name
//    exists, in the same step as the test;
//  - an entry whose record cannot be built does not stop the others.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#define QORDAT_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define QORDAT_ISATTY(fd) isatty(fd)
#endif

#include "archive/table.h"
#include "calls/archive_file.h"
#include "tools/qordat/pending.h"
#include "tools/qordat/session.h"

namespace qordat {
namespace {

namespace fs = std::filesystem;

// Why an entry's name cannot be a file directly inside DIR, or null. Names
// are the archive's file name and a suffix, so none should be refused; this
// keeps every file inside DIR whatever a name holds.
const char* NameProblem(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") return "not a file name";
#if defined(_WIN32)
    if (name.find_first_of("/\\:") != std::string::npos) return "the name would leave the output folder";
#else
    if (name.find('/') != std::string::npos) return "the name would leave the output folder";
#endif
    return nullptr;
}

// The progress line: on a terminal, without -q, once the work has run
// about a second.
class Progress {
public:
    Progress(size_t total, bool quiet) : total_(total), start_(Clock::now())
    {
        enabled_ = !quiet && QORDAT_ISATTY(2) != 0;
    }
    void Update(size_t done, uint64_t bytes)
    {
        if (!enabled_) return;
        const auto now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - start_).count();
        if (seconds < 1 || (shown_ && now - last_ < std::chrono::milliseconds(200))) return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\r%zu/%zu, %.1f MiB, %.1f MiB/s ", done, total_, bytes / 1048576.0,
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
    bool shown_ = false, enabled_ = false;
};

struct Extractor {
    Session& s;
    const ExtractOptions& o;
    std::string tempDir;
    Progress progress;
    bool failed = false;
    size_t notWritten = 0;

    void Report(const std::string& name, const std::string& what)
    {
        progress.Clear();
        std::fprintf(stderr, "qordat: %s: %s\n", name.c_str(), what.c_str());
    }
    void NotWritten(const std::string& name, const std::string& why)
    {
        Report(name, "not written: " + why);
        failed = true;
        notWritten++;
    }

    // The extraction's result, in words: the system's reason for a write
    // that failed; the plug-in's result code under -v.
    std::string Why(int result, int error, const ListedEntry& entry) const
    {
        std::string why = result == RESULT_OUTPUT_FAILED && error ? SystemError(error)
                          : result == RESULT_NO_RECORD           ? "a record of the entry cannot be built"
                          : result == RESULT_NO_MEMORY           ? "not enough memory"
                          : result == RESULT_CANNOT_OPEN         ? "the archive cannot be opened again"
                                                                 : ResultMeaning(result);
        if (o.verbose)
            why += " (the extraction's result " + std::to_string(result) + " for its " + Bytes(entry.size) + ")";
        return why;
    }

    // The one file the extraction wrote in the private folder, or "".
    std::string WrittenName()
    {
        std::error_code error;
        std::string name;
        for (const fs::directory_entry& written : fs::directory_iterator(tempDir, error)) {
            if (!name.empty()) return "";  // more than one: not ours to judge
            name = written.path().filename().string();
        }
        return name;
    }

    // Empties the private folder after a failure.
    void ClearTempDir()
    {
        std::error_code error;
        for (const fs::directory_entry& left : fs::directory_iterator(tempDir, error)) fs::remove(left.path(), error);
        SetCleanupFiles({});
    }

    // GetFile to disk, its steps taken apart so that o.onContent sees the
    // content as it goes into the file: the extraction's record names the
    // file in the private folder, and the walk writes it. The plug-in's
    // result code; errno tells why the output failed.
    int WriteThroughSink(const ListedEntry& entry, SlotReport* report)
    {
        SlotPlace place;
        ArchivePlaceOf(&s.reader.archive, static_cast<int32_t>(entry.Slot()), &place);
        EntryInfo info;
        errno = 0;
        int result = PluginExtractionRecord(s.state, &s.reader.reader, place, NumberingOfPosition(entry.position), &info);
        if (result != RESULT_OK) return result;
        const std::string name(info.fileName, strnlen(info.fileName, sizeof info.fileName));
        if (NameProblem(name)) {
            errno = EINVAL;
            return RESULT_OUTPUT_FAILED;
        }
        const std::string path = (fs::path(tempDir) / name).string();
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) return RESULT_OUTPUT_FAILED;
        struct Out {
            FILE* file;
            const ListedEntry& entry;
            const ExtractOptions& o;
            int error = 0;
        } out{file, entry, o};
        const SlotWrite write = [](void* context, const uint8_t* bytes, uint32_t length) {
            Out* to = static_cast<Out*>(context);
            if (std::fwrite(bytes, 1, length, to->file) != length) {
                to->error = errno;
                return false;
            }
            to->o.onContent(to->entry, bytes, length);
            return true;
        };
        result = PluginWalkContent(s.state, &s.reader.reader, place, info, write, &out, report);
        // A close that fails loses the file, as a write that fails does.
        if (std::fclose(file) != 0 && result == RESULT_OK) {
            out.error = errno;
            result = RESULT_OUTPUT_FAILED;
        }
        if (result != RESULT_OK) std::remove(path.c_str());
        errno = out.error;
        return result;
    }

    // Returns the bytes written, or 0 (the problem reported).
    uint64_t One(const ListedEntry& entry)
    {
        const std::string& name = entry.name;
        if (entry.result != RESULT_OK) {
            const std::string lack = LackText(s.Check(entry, false));
            NotWritten(name, "a record of the entry cannot be built" + (lack.empty() ? lack : ": " + lack));
            return 0;
        }
        if (const char* problem = NameProblem(name)) {
            NotWritten(name, problem);
            return 0;
        }
        // The extraction names its file from its own record of the entry,
        // which may give another extension than the listing did (a full
        // scan can class the content differently): whatever it writes in
        // the private folder is what goes into place, under that name, as
        // under a host.
        std::vector<std::string> candidates{(fs::path(tempDir) / name).string()};
        const size_t dot = name.rfind('.');
        for (const char* extension : {"BMP", "WAV", "PNG", "DAT", "DMY"})
            if (dot != std::string::npos && name.compare(dot + 1, std::string::npos, extension))
                candidates.push_back((fs::path(tempDir) / (name.substr(0, dot + 1) + extension)).string());
        SetCleanupFiles(candidates);
        // Every slot of an unpack is read by the user's layout, whatever an
        // earlier record raised it to.
        if (s.forcedLayout) s.state.memory.entryLayout = s.Layout();
        SlotReport report{};
        const int result = o.onContent ? WriteThroughSink(entry, &report)
                                       : PluginExtractToDisk(s.state, s.path, s.base, entry.position, tempDir, &report);
        const int error = errno;
        if (result != RESULT_OK) {
            ClearTempDir();
            NotWritten(name, Why(result, error, entry));
            return 0;
        }
        // The walk that wrote the file measured what the slot lacks; a read
        // that failed is no damage, and its file is no entry.
        if (report.readFailed) {
            ClearTempDir();
            NotWritten(name, "cannot read " + s.path + ": " + SystemError(error ? error : EIO));
            return 0;
        }
        std::string damage;
        if (report.lack != SLOT_WHOLE) {
            damage = "damaged: " + LackText(report);
            failed = true;
            if (!o.salvage) {
                ClearTempDir();
                Report(name, damage + "; not written (--salvage writes it, the missing bytes as zeros)");
                notWritten++;
                return 0;
            }
        }
        const std::string written = WrittenName();
        if (written.empty() || NameProblem(written)) {
            ClearTempDir();
            NotWritten(name, "the extraction left no single file");
            return 0;
        }
        const std::string target = (fs::path(o.outDir) / written).string();
        if (!PutInPlace((fs::path(tempDir) / written).string(), target, !o.keep)) {
            const int moveError = errno;
            ClearTempDir();
            if (o.keep && moveError == EEXIST) {
                Report(written, "not overwritten: a file of that name exists (-k)");
                return 0;
            }
            NotWritten(name, "cannot put it in place: " + SystemError(moveError));
            return 0;
        }
        SetCleanupFiles({});
        if (o.onWritten) o.onWritten(entry, written);
        if (written != name && !o.quiet) Report(name, "written as " + written + ", the name the extraction gives it");
        if (!damage.empty()) Report(written, damage + "; written with the missing bytes as zeros (--salvage)");
        if (!o.quiet) {
            progress.Clear();
            std::printf("%-24s %10" PRIu64, name.c_str(), entry.size);
            if (o.verbose)
                std::printf("  at %" PRId64 ", stored %" PRIu64 ", %s%s", report.place.offset, entry.stored,
                            LayoutName(s.Layout()), report.payload.compressed ? ", compressed" : "");
            std::printf("\n");
            std::fflush(stdout);
        }
        return entry.size;
    }
};

}  // namespace

int CommandExtract(int argc, char** argv)
{
    enum { kOutput = 1, kKeep, kQuiet, kVerbose, kSalvage };
    Session s;
    ExtractOptions o;
    std::vector<OptionDef> options = kReadingOptions;
    options.insert(options.end(), {{"output", 'o', true, kOutput},
                                   {"keep-old-files", 'k', false, kKeep},
                                   {"quiet", 'q', false, kQuiet},
                                   {"verbose", 'v', false, kVerbose},
                                   {"salvage", 0, false, kSalvage}});
    const int parsed = ParseCommandLine(
        argc, argv, options,
        [&](int id, const char* value) {
            switch (id) {
            case kOutput:
                if (!*value) return Usage("-o takes a folder");
                o.outDir = value;
                return 0;
            case kKeep: o.keep = true; return 0;
            case kQuiet: o.quiet = true; return 0;
            case kVerbose: o.verbose = true; return 0;
            case kSalvage: o.salvage = true; return 0;
            }
            return s.TakeOption(id, value);
        },
        [&](const char* argument) { return s.TakeArgument(argument); });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (o.quiet && o.verbose) return Usage("-q and -v cannot go together");
    // A host lists before it extracts: the listing detects the entry layout
    // that the extraction works by.
    if (const int status = s.Open(true)) return status;
    bool allMatched = true;
    const std::vector<const ListedEntry*> chosen = s.Choose(&allMatched);
    const bool tableDamaged = s.ReportTableDamage();

    return ExtractEntries(s, o, chosen, !allMatched || tableDamaged);
}

int ExtractEntries(Session& s, const ExtractOptions& o, const std::vector<const ListedEntry*>& chosen,
                   bool failedBefore)
{
    if (chosen.empty()) return failedBefore ? kExitFailed : kExitOk;
    std::error_code error;
    fs::create_directories(o.outDir, error);
    if (error || !fs::is_directory(o.outDir, error)) {
        if (!error) error = std::make_error_code(std::errc::not_a_directory);
        return Fail("cannot create " + o.outDir + ": " + error.message());
    }
    // The private folder first: the progress line asks isatty, which would
    // overwrite the reason a folder could not be made.
    std::string tempDir = MakeTempDir(o.outDir);
    if (tempDir.empty()) return Fail("cannot write in " + o.outDir + ": " + SystemError());
    Extractor x{s, o, tempDir, Progress(chosen.size(), o.quiet)};
    size_t done = 0;
    uint64_t bytes = 0;
    for (const ListedEntry* entry : chosen) {
        bytes += x.One(*entry);
        x.progress.Update(++done, bytes);
    }
    x.progress.Clear();
    fs::remove_all(x.tempDir, error);
    SetCleanupDir("");
    if (x.notWritten)
        std::fprintf(stderr, "qordat: %s: %zu of %s not written\n", s.path.c_str(), x.notWritten,
                     Count(static_cast<int64_t>(chosen.size()), "entry", "entries").c_str());
    return x.failed || failedBefore ? kExitFailed : kExitOk;
}

}  // namespace qordat
