// qordat repack: an archive rebuilt from a folder that `qordat unpack` wrote,
// by its manifest (manifest.h), through the one archive writer.
//
// Each slot whose file and head fields are what was unpacked is copied as
// it was stored: its kept stored bytes from qordat.stored (a compressed
// slot's stream, as whoever encoded it wrote it), or, for a plain slot whose
// stored bytes are its head and its content, the head and the file again.
// A changed file is stored as its slot was: compressed if it was, with its
// kind, its declared size following the content. The bytes kept from
// before and after the archive frame it again.
//
// The folder stands alone: the stored bytes come from qordat.stored, not
// from the archive unpacked, which may since have been moved, deleted or
// replaced by this very repack (the usual loop repacks over it). Every kept
// range is checked against its digest as it is copied. Everything is read
// and written in pieces, in slot order: memory stays the writer's.
//
// Nothing is written before every line of the manifest is read and every
// file found; the archive is written under a temporary name, read back as
// a host reads it, and only then put in place.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/state.h"
#include "tools/qordat/common.h"
#include "tools/qordat/manifest.h"
#include "tools/qordat/pending.h"
#include "tools/qordat/rebuild.h"

namespace qordat {
namespace {

namespace fs = std::filesystem;

enum class Action { Empty, Copy, Store };

struct Planned {
    Action action = Action::Empty;
    std::string path;     // the file in the folder
    uint64_t size = 0;    // its size
    bool verified = false;  // its digest was taken and is the one unpacked
    Digest digest;        // of the content written (Store)
    bool changed = false;
};

// The kept head fields of a slot: kind and declared size, from the first
// bytes of its kept stored bytes. False when they cannot be read.
bool KeptHead(const std::string& stored, uint64_t at, uint64_t storedSize, EntryLayout layout, int16_t& kind,
              int32_t& declared)
{
    const uint64_t head = writer::HeadSize(static_cast<writer::Layout>(layout));
    uint8_t bytes[6] = {};
    FILE* f = std::fopen(stored.c_str(), "rb");
    if (!f) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(head, storedSize));
    const bool ok = SeekTo(f, at) && std::fread(bytes, 1, want, f) == want;
    std::fclose(f);
    kind = S16At(bytes, sizeof bytes, 0);
    declared = S32At(bytes, sizeof bytes, 2);
    return ok;
}

std::string SlotName(size_t i, const ManifestSlot& s)
{
    return "slot " + std::to_string(i) + (s.file.empty() ? "" : " (" + s.file + ")");
}


// A folder without a manifest (from `qordat extract`): its files taken as
// slots by the numbers in their names, as the plug-in names entries:
// BASE, a separator (~, - or _ by numbering), a number, '.', an extension.
struct NumberedFile {
    std::string name, path;
    std::string base;
    char separator = 0;
    uint64_t number = 0;
    bool empty = false;  // an empty *.DMY file: an empty slot
    uint64_t size = 0;
};

// Takes `name` apart as the plug-in makes entry names; false for any other.
bool ParseEntryName(const std::string& name, NumberedFile& file)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return false;
    size_t digits = dot;
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') digits--;
    // At least one digit, at most what a count could need and then some.
    if (digits == dot || dot - digits > 9 || digits == 0) return false;
    const char separator = name[digits - 1];
    if (separator != '~' && separator != '-' && separator != '_') return false;
    file.name = name;
    file.base = name.substr(0, digits - 1);
    file.separator = separator;
    file.number = std::stoull(name.substr(digits, dot - digits));
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    file.empty = extension == "DMY";  // an empty slot when it is empty too
    return true;
}

// "A, B and C", at most `shown` of them and how many more.
std::string Names(const std::vector<std::string>& names, size_t shown = 4)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < shown; i++)
        text += (i == 0 ? "" : i + 1 == names.size() || i + 1 == shown ? " and " : ", ") + names[i];
    if (names.size() > shown) text += " (and " + std::to_string(names.size() - shown) + " more)";
    return text;
}

// The archive rebuilt from the numbered files of `dir`, in the order of
// their numbers, as pack would write them (every file stored plain, under
// `layout`), and read back as a host reads it before it is put in place.
int RepackByNumbers(const std::string& dir, const std::string& outPath, EntryLayout layout, bool layoutGiven,
                    const EncodeOptions& encode, bool quiet, bool verbose, bool force)
{
    std::error_code ec;
    std::vector<NumberedFile> files;
    std::vector<std::string> others;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError, same;
        if (name.empty() || name[0] == '.' || !it->is_regular_file(typeError)) continue;
        if (fs::equivalent(it->path(), outPath, same)) continue;
        NumberedFile file;
        if (!ParseEntryName(name, file)) {
            others.push_back(name);
            continue;
        }
        file.path = it->path().string();
        file.size = fs::file_size(it->path(), typeError);
        if (typeError) return Fail("cannot read " + file.path + ": " + typeError.message() + "; nothing written");
        file.empty = file.empty && file.size == 0;
        files.push_back(file);
    }
    if (ec) return Fail("cannot read the folder " + dir + ": " + ec.message());
    if (files.empty())
        return Fail(dir + " has no " + kManifestName + " and no files named as entries (SCENE~000.BMP): repack "
                    "rebuilds folders that 'qordat unpack ARCHIVE -o " + dir + "' wrote (it keeps each slot's head, "
                    "kind and stored bytes) or 'qordat extract' wrote; 'qordat pack OUT.DAT FILE...' builds a new "
                    "archive from files");
    std::sort(others.begin(), others.end());
    if (!others.empty())
        return Fail(dir + ": " + Names(others) + ": not named as the plug-in names entries (BASE~NNN.EXT), in a "
                    "folder without a " + kManifestName + " whose files are taken by their numbers; move " +
                    (others.size() == 1 ? "it" : "them") + " out; nothing written");
    // Numbers compared as numbers: SCENE~1000 comes after SCENE~999.
    std::sort(files.begin(), files.end(), [](const NumberedFile& a, const NumberedFile& b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });
    std::vector<std::string> problems;
    for (const NumberedFile& f : files)
        if (f.base != files[0].base || f.separator != files[0].separator) {
            problems.push_back(files[0].name + " and " + f.name +
                               ": names of two archives or two numberings (a folder holds one archive's entries)");
            break;
        }
    for (size_t i = 0; i < files.size(); i++) {
        const uint64_t expected = i == 0 ? 0 : files[i - 1].number + 1;
        if (i > 0 && files[i].number == files[i - 1].number) {
            std::vector<std::string> same{files[i - 1].name};
            for (; i < files.size() && files[i].number == files[i - 1].number; i++) same.push_back(files[i].name);
            i--;
            problems.push_back(Names(same, 8) + ": the same number, " + std::to_string(files[i].number));
        } else if (files[i].number > expected) {
            const uint64_t last = files[i].number - 1;
            problems.push_back("no file numbered " +
                               (last == expected ? std::to_string(expected)
                                                 : std::to_string(expected) + " to " + std::to_string(last)) +
                               (i == 0 ? ": before " + files[i].name
                                       : ": between " + files[i - 1].name + " and " + files[i].name));
        }
    }
    if (!problems.empty()) {
        for (size_t i = 0; i < problems.size() && i < 8; i++)
            std::fprintf(stderr, "qordat: %s: %s\n", dir.c_str(), problems[i].c_str());
        std::string hint;
        if (files[0].separator == '-')
            hint = " (names with '-' leave empty slots out: 'qordat extract' without --numbering, or 'qordat "
                   "unpack', keeps them as *.DMY files)";
        else if (files[0].separator == '_')
            hint = " (names with '_' number the entries without their empty slots)";
        return Fail(dir + ": its files' numbers are not the slots 0, 1, 2, ... each once" + hint +
                    "; nothing written");
    }
    if (files.size() > MAX_ENTRY_COUNT)
        return Fail(dir + ": " + std::to_string(files.size()) + " files; an archive holds at most " +
                    std::to_string(MAX_ENTRY_COUNT) + " slots; nothing written");
    if (const int status = CheckReplaceable(outPath, 0, force)) return status;
    const uint64_t head = writer::HeadSize(static_cast<writer::Layout>(layout));
    for (const NumberedFile& f : files) {
        // Readers refuse an entry whose head stands for no content: an
        // empty slot is what holds nothing (under raw, 0 bytes are one).
        if (f.size == 0 && !f.empty && layout != LAYOUT_RAW)
            return Fail(f.path + ": an empty file, which readers refuse as an entry in the " + LayoutName(layout) +
                        " layout; name it *.DMY for an empty slot; nothing written");
        if (f.size > INT32_MAX || f.size + head > INT32_MAX)
            return Fail(f.path + ": " + Bytes(f.size) +
                        ", too large for the format (a slot holds less than 2 GiB); nothing written");
    }

    PendingFile out;
    if (!out.Open(outPath)) return Fail("cannot write " + outPath + ": " + SystemError());
    writer::FileSink sink(out.Stream());
    writer::ArchiveWriter w(sink, encode.lzss);
    std::vector<Digest> digests(files.size());
    bool ok = w.Begin(files.size());
    size_t empty = 0;
    for (size_t i = 0; ok && i < files.size(); i++) {
        const NumberedFile& f = files[i];
        if (f.empty) {
            ok = w.Empty();
            empty++;
        } else {
            writer::Store how;
            how.name = f.path;
            how.head = static_cast<writer::Layout>(layout);
            ok = w.Content(how, std::make_unique<DigestSource>(f.path, 0, std::nullopt, &digests[i]));
        }
        if (ok && verbose) std::printf("slot %zu: %s%s\n", i, f.name.c_str(), f.empty ? " (empty)" : "");
    }
    ok = ok && w.Finish();
    if (!ok) return Fail(outPath + ": " + w.Error() + "; nothing written");
    if (!out.Close()) return Fail("cannot write " + outPath + ": " + SystemError());

    std::vector<SlotExpected> expected(files.size());
    for (size_t i = 0; i < files.size(); i++) {
        SlotExpected& e = expected[i];
        e.what = "slot " + std::to_string(i) + " (" + files[i].name + ")";
        e.empty = files[i].empty || (layout == LAYOUT_RAW && files[i].size == 0);
        if (e.empty) continue;
        e.size = files[i].size;
        e.digest = digests[i].Value();
    }
    const std::vector<std::string> back =
        ReadBackArchive(out.TempPath(), outPath, 0, ListSettings(), layout, expected, false);
    for (size_t i = 0; i < back.size() && i < 8; i++)
        std::fprintf(stderr, "qordat: %s: %s\n", outPath.c_str(), back[i].c_str());
    if (back.size() > 8) std::fprintf(stderr, "qordat: %s: and %zu more like these\n", outPath.c_str(), back.size() - 8);
    if (!back.empty())
        return Fail(outPath + ": not written: readers would not get the folder's files back in the " +
                    LayoutName(layout) + " layout (--layout raw, kind-size or kind-only chooses the heads)");
    if (!out.Commit()) return Fail("cannot write " + outPath + ": " + SystemError());
    if (!quiet)
        std::printf("%s: %s from the numbers in %s's file names (%zu empty), stored plain in the %s layout%s\n",
                    outPath.c_str(), Count(static_cast<int64_t>(files.size()), "slot", "slots").c_str(), dir.c_str(),
                    empty, LayoutName(layout), layoutGiven ? "" : " (pack's default; --layout chooses another)");
    return kExitOk;
}

// Names on stderr the files of `dir` that the manifest does not use: the
// archive is what the manifest says, so a file put in the folder without
// a line for it is left out, and would be without a word. Hidden files,
// qordat's own, `outPath`, and the empty *.DMY files unpack writes for
// empty slots are not named; at most a handful, then how many more.
void WarnUnused(const std::string& dir, const std::string& outPath, const Manifest& m)
{
    std::set<std::string> used{kManifestName, kStoredName};
    for (const ManifestSlot& s : m.slots)
        if (!s.file.empty()) used.insert(s.file);
    std::vector<std::string> unused;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError, same;
        if (name.empty() || name[0] == '.' || used.count(name) || !it->is_regular_file(typeError)) continue;
        if (fs::equivalent(it->path(), outPath, same)) continue;
        NumberedFile file;
        if (ParseEntryName(name, file) && file.empty && it->file_size(typeError) == 0) continue;
        unused.push_back(name);
    }
    std::sort(unused.begin(), unused.end());
    const std::string stem = fs::path(m.archive).stem().string();
    const size_t shown = std::min<size_t>(unused.size(), 5);
    for (size_t i = 0; i < shown; i++) {
        const std::string& name = unused[i];
        // A file under the name of a slot's: what its line says instead.
        std::string why = "(to add it as a slot, append a line for it)";
        NumberedFile file;
        if (ParseEntryName(name, file) && file.base == stem && file.number < m.slots.size()) {
            const size_t slot = static_cast<size_t>(file.number);
            const ManifestSlot& s = m.slots[slot];
            if (s.empty)
                why = "(slot " + std::to_string(slot) + " is empty there)";
            else if (s.file.empty())
                why = "(slot " + std::to_string(slot) + "'s file field is '-': its kept bytes are copied; put " +
                      name + " there to store this file)";
        }
        std::fprintf(stderr, "qordat: %s: not in %s, left out %s\n", (fs::path(dir) / name).string().c_str(),
                     kManifestName, why.c_str());
    }
    if (unused.size() > shown)
        std::fprintf(stderr, "qordat: %s: and %zu more files not in %s, left out\n", dir.c_str(),
                     unused.size() - shown, kManifestName);
}

}  // namespace

int CommandRepack(int argc, char** argv)
{
    enum { kQuiet = 1, kVerbose, kLayout, kForce };
    std::vector<OptionDef> options = kEncodeOptions;
    options.insert(options.end(), {{"quiet", 'q', false, kQuiet}, {"verbose", 'v', false, kVerbose},
                                   {"layout", 0, true, kLayout}, {"force", 'f', false, kForce}});
    EncodeOptions encode;
    bool quiet = false, verbose = false, force = false;
    std::optional<EntryLayout> layout;
    std::vector<std::string> arguments;
    const int parsed = ParseCommandLine(
        argc, argv, options,
        [&](int id, const char* value) {
            if (id == kQuiet) quiet = true;
            else if (id == kVerbose) verbose = true;
            else if (id == kForce) force = true;
            else if (id == kLayout) {
                EntryLayout given;
                if (!ParseLayout(value, given)) return Usage("--layout takes raw, kind-size or kind-only");
                layout = given;
            }
            else if (id != kLayout) return TakeEncodeOption(id, value, encode);
            return 0;
        },
        [&](const char* argument) {
            if (!*argument) return Usage("an empty argument");
            if (arguments.size() == 2) return Usage("repack takes a folder and an archive to write");
            arguments.push_back(argument);
            return 0;
        });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (arguments.size() < 2) return Usage(arguments.empty() ? "no folder given" : "no archive to write given");
    if (quiet && verbose) return Usage("-q and -v cannot go together");
    const std::string dir = arguments[0], outPath = arguments[1];
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return Fail(dir + ": not a folder");
    const std::string manifestPath = (fs::path(dir) / kManifestName).string();
    const std::string storedPath = (fs::path(dir) / kStoredName).string();
    if (!fs::exists(manifestPath, ec))
        return RepackByNumbers(dir, outPath, layout.value_or(LAYOUT_RAW), layout.has_value(), encode, quiet, verbose,
                               force);
    if (layout)
        return Usage("--layout is for a folder without a manifest: " + manifestPath + " gives the layout");
    Manifest m;
    const std::string problem = ReadManifest(manifestPath, m);
    if (!problem.empty()) return Fail(problem + "; nothing written");
    // The usual loop writes over the archive unpacked, which may sit
    // inside another file: its table is where the kept prefix ends.
    if (const int status = CheckReplaceable(outPath, m.prefix.size, force)) return status;
    WarnUnused(dir, outPath, m);

    // Every file found and every choice made before a byte is written.
    const uint64_t head = writer::HeadSize(static_cast<writer::Layout>(m.layout));
    std::vector<Planned> plan(m.slots.size());
    for (size_t i = 0; i < m.slots.size(); i++) {
        const ManifestSlot& s = m.slots[i];
        Planned& p = plan[i];
        if (s.empty) continue;
        const std::string where = manifestPath + ":" + std::to_string(s.line) + ": ";
        if (s.file.empty()) {  // no file: the kept stored bytes as they are
            p.action = Action::Copy;
            continue;
        }
        p.path = (fs::path(dir) / s.file).string();
        const fs::file_status status = fs::status(p.path, ec);
        if (ec || !fs::is_regular_file(status))
            return Fail(where + s.file + ": " + (ec ? ec.message() : "not a file") + " in " + dir + "; nothing written");
        p.size = fs::file_size(p.path, ec);
        if (ec) return Fail(where + s.file + ": " + ec.message() + "; nothing written");
        if (p.size > INT32_MAX || (!s.compressed && p.size + head > INT32_MAX))
            return Fail(where + s.file + ": " + Bytes(p.size) +
                        ", too large for the format (a slot holds less than 2 GiB); nothing written");
        p.action = Action::Store;
        // A slot whose stored bytes are kept is copied when its file and its
        // head fields are what was unpacked.
        if (!s.keptAt || !s.contentSize || *s.contentSize != p.size) continue;
        int16_t kind = 0;
        int32_t declared = 0;
        if (!KeptHead(storedPath, *s.keptAt, *s.storedSize, m.layout, kind, declared))
            return Fail("cannot read " + storedPath + ": " + SystemError() + "; nothing written");
        if (m.layout != LAYOUT_RAW && kind != s.kind) continue;
        if (m.layout == LAYOUT_KIND_SIZE && (!s.declared || declared != *s.declared)) continue;
        uint64_t digest = 0;
        if (!DigestOfFile(p.path, digest)) return Fail("cannot read " + p.path + ": " + SystemError() + "; nothing written");
        if (digest == s.contentDigest) p.action = Action::Copy;
    }

    PendingFile out;
    if (!out.Open(outPath)) return Fail("cannot write " + outPath + ": " + SystemError());
    writer::FileSink sink(out.Stream());
    writer::ArchiveWriter w(sink, encode.lzss);
    auto kept = [&](const Kept& k, const char* what, auto write) {
        if (!k.size) return true;
        Digest digest;
        DigestSource source(storedPath, k.at, k.size, &digest, k.digest, what);
        return write(source);
    };
    bool ok = kept(m.prefix, "the bytes before the archive", [&](writer::Source& s) { return w.Prefix(s); }) &&
              w.Begin(m.slots.size());
    size_t copied = 0, stored = 0;
    for (size_t i = 0; ok && i < m.slots.size(); i++) {
        const ManifestSlot& s = m.slots[i];
        Planned& p = plan[i];
        if (p.action == Action::Empty) {
            ok = w.Empty();
        } else if (p.action == Action::Copy) {
            Digest digest;
            DigestSource source(storedPath, *s.keptAt, *s.storedSize, &digest, s.storedDigest, SlotName(i, s));
            ok = w.Copy(source, *s.storedSize);
            copied++;
        } else {
            // Stored as the slot was; a slot added by hand is stored by the
            // storage its line names.
            writer::Store how = writer::StoreAsSlotWas(static_cast<writer::Layout>(m.layout), s.kind, UINT32_MAX,
                                                       s.declared, s.contentSize, s.file);
            how.compress = s.compressed;
            ok = w.Content(how, std::make_unique<DigestSource>(p.path, 0, std::nullopt, &p.digest));
            p.changed = !s.contentSize || *s.contentSize != p.size || p.digest.Value() != s.contentDigest;
            stored++;
            if (ok && verbose)
                std::printf("%s: %s, stored %s\n", SlotName(i, s).c_str(), p.changed ? "changed" : "unchanged",
                            s.compressed ? "compressed" : "plain");
        }
    }
    ok = ok && kept(m.suffix, "the bytes after the archive", [&](writer::Source& s) { return w.Suffix(s); }) &&
         w.Finish();
    if (!ok) return Fail(outPath + ": " + w.Error() + "; nothing written");
    if (!out.Close()) return Fail("cannot write " + outPath + ": " + SystemError());

    // Read back as a host reads it, where the plug-in lists the archive;
    // where it does not, as unpack --layout reads it, through the same
    // walk, every slot stored from a file compared with its file.
    const bool listed = m.listing != Listing::None;
    std::vector<SlotExpected> expected(m.slots.size());
    for (size_t i = 0; i < m.slots.size(); i++) {
        const ManifestSlot& s = m.slots[i];
        SlotExpected& e = expected[i];
        e.what = SlotName(i, s);
        e.empty = s.empty;
        if (s.empty) continue;
        if (plan[i].action == Action::Copy) {
            e.size = s.contentSize;
        } else if (plan[i].changed || !listed) {
            e.size = plan[i].size;
            e.digest = plan[i].digest.Value();
        } else {
            e.size = s.contentSize;
        }
    }
    std::vector<std::string> problems;
    if (listed) {
        ListSettings settings;
        settings.fullScan = m.listing == Listing::FullScan;
        problems = ReadBackArchive(out.TempPath(), outPath, m.prefix.size, settings, m.layout, expected, false);
    } else {
        problems = WalkBackArchive(out.TempPath(), m.prefix.size, m.layout, expected);
    }
    for (size_t i = 0; i < problems.size() && i < 8; i++)
        std::fprintf(stderr, "qordat: %s: %s\n", outPath.c_str(), problems[i].c_str());
    if (problems.size() > 8)
        std::fprintf(stderr, "qordat: %s: and %zu more like these\n", outPath.c_str(), problems.size() - 8);
    if (!problems.empty())
        return Fail(outPath + ": not written: " +
                    (listed ? std::string("readers")
                            : std::string("'qordat unpack --layout ") + LayoutName(m.layout) + "'") +
                    " would not get the folder's files back");
    if (!out.Commit()) return Fail("cannot write " + outPath + ": " + SystemError());
    if (!quiet) {
        size_t changed = 0;
        for (const Planned& p : plan) changed += p.changed;
        std::printf("%s: %s: %zu copied as stored, %zu stored from their files (%zu changed or new)\n",
                    outPath.c_str(), Count(static_cast<int64_t>(m.slots.size()), "slot", "slots").c_str(), copied,
                    stored, changed);
    }
    return kExitOk;
}

}  // namespace qordat
