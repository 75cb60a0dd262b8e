// qordat replace: entries of an archive replaced in place. Each named entry
// is stored as its slot was (compressed if it was, with its kind, its
// declared size following the new content); every other slot's stored
// bytes, and the bytes before and after the archive, are copied as they
// are, in large pieces, through the one archive writer. The new archive is
// written beside the old one under a temporary name, read back as a host
// reads it, given the old one's permissions and renamed over it: on any
// failure, or Ctrl-C, the archive is as it was and no temporary file is
// left. An archive reached through a symbolic link is changed where it is,
// the link left a link; one the user may not write is left alone.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "archive/bytes.h"
#include "archive/entry.h"
#include "archive/state.h"
#include "tools/qordat/common.h"
#include "tools/qordat/manifest.h"
#include "tools/qordat/pending.h"
#include "tools/qordat/rebuild.h"
#include "tools/qordat/session.h"

namespace qordat {
namespace {

namespace fs = std::filesystem;

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

struct Replacement {
    std::string entry, path;
    uint64_t size = 0;
    Digest digest;
};

}  // namespace

int CommandReplace(int argc, char** argv)
{
    enum { kQuiet = 1 };
    Session s;
    EncodeOptions encode;
    bool quiet = false;
    std::vector<std::string> pairs;
    std::vector<OptionDef> options = kReadingOptions;
    options.insert(options.end(), kEncodeOptions.begin(), kEncodeOptions.end());
    options.push_back({"quiet", 'q', false, kQuiet});
    const int parsed = ParseCommandLine(
        argc, argv, options,
        [&](int id, const char* value) {
            if (id == kQuiet) quiet = true;
            else if (id >= kEncodeFast) return TakeEncodeOption(id, value, encode);
            else return s.TakeOption(id, value);
            return 0;
        },
        [&](const char* argument) {
            if (s.path.empty()) return s.TakeArgument(argument);
            if (!*argument) return Usage("an empty argument");
            pairs.push_back(argument);
            return 0;
        });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (s.path.empty()) return Usage("no archive given");
    if (pairs.empty() || pairs.size() % 2) return Usage("replace takes ENTRY FILE pairs after the archive");

    if (const int status = s.Open(false)) return status;
    const std::string& path = s.path;
    // The rename replaces whatever name it is given: a link would become a
    // file of its own and the archive it points to stay as it was. So the
    // new archive goes beside the real file, and is renamed over that.
    std::error_code realError;
    const std::string real = fs::canonical(path, realError).string();
    if (realError) return Fail("cannot read " + path + ": " + realError.message());
    // The rename needs the folder's permission only; a read-only archive
    // (an original kept safe) is not the user's to change.
#if defined(_WIN32)
    const bool writable = _access(real.c_str(), 2) == 0;
#else
    const bool writable = access(real.c_str(), W_OK) == 0;
#endif
    if (!writable) return Fail("cannot write " + path + ": " + SystemError() + "; left as it was");
    // The archive must be whole: a copy of a damaged one would carry its
    // damage under a new date.
    const int32_t count = s.reader.archive.count;
    const EntryLayout layout = s.Layout();
    const uint64_t dataEnd = static_cast<uint64_t>(std::max<int64_t>(0, ArchiveEntriesEnd(&s.reader.archive)));
    bool damaged = s.places.size() != static_cast<size_t>(count);
    for (const SlotPlace& place : s.places)
        if (place.offset < 0 || place.storedMissing) damaged = true;
    if (damaged) {
        s.ReportTableDamage();
        return Fail(path + ": damaged (the file ends before its last slot, or its table is cut or holds a negative "
                    "size); replace rewrites whole archives only ('qordat unpack' reads what it holds)");
    }

    std::map<size_t, Replacement> chosen;  // by slot
    bool missing = false;
    for (size_t k = 0; k < pairs.size(); k += 2) {
        const ListedEntry* found = nullptr;
        for (const ListedEntry& e : s.entries)
            if (SameName(e.name, pairs[k])) found = &e;
        if (!found) {
            std::fprintf(stderr, "qordat: %s: %s: no such entry\n", path.c_str(), pairs[k].c_str());
            missing = true;
            continue;
        }
        if (chosen.count(found->Slot())) return Usage(found->name + " given twice");
        Replacement& r = chosen[found->Slot()];
        r.entry = found->name;
        r.path = pairs[k + 1];
        std::error_code ec;
        if (!fs::is_regular_file(r.path, ec)) return Fail("cannot read " + r.path + ": " + (ec ? ec.message() : "not a file") + "; " + path + " left as it was");
        r.size = fs::file_size(r.path, ec);
        if (ec) return Fail("cannot read " + r.path + ": " + ec.message());
    }
    if (missing) return Fail(path + ": left as it was");

    // What each replaced slot was: its head's fields, and so whether it is
    // stored compressed; what the format cannot hold is refused here.
    const uint64_t head = writer::HeadSize(static_cast<writer::Layout>(layout));
    std::map<size_t, writer::Store> stores;
    for (auto& [slot, r] : chosen) {
        const int32_t stored = s.places[slot].storedSize;
        uint8_t bytes[6] = {};
        size_t got = 0;
        if (stored > 0 && !s.file.ReadAt(s.base + static_cast<uint64_t>(s.places[slot].offset), bytes,
                                         static_cast<size_t>(std::min<uint64_t>(head, static_cast<uint32_t>(stored))),
                                         &got))
            return Fail("cannot read " + path + ": " + SystemError());
        uint64_t listedSize = 0;
        for (const ListedEntry& e : s.entries)
            if (e.Slot() == slot) listedSize = e.size;
        writer::Store& how = stores[slot] = writer::StoreAsSlotWas(
            static_cast<writer::Layout>(layout), S16At(bytes, got, 0), stored > 0 ? static_cast<uint32_t>(stored) : 0,
            S32At(bytes, got, 2), listedSize, r.path);
        if (r.size > INT32_MAX || (!how.compress && r.size + head > INT32_MAX))
            return Fail(r.path + ": " + Bytes(r.size) + ", too large for the format (an entry holds less than 2 GiB); " +
                        path + " left as it was");
    }

    PendingFile out;
    if (!out.Open(real)) return Fail("cannot write beside " + path + ": " + SystemError());
    writer::FileSink sink(out.Stream());
    writer::ArchiveWriter w(sink, encode.lzss);
    bool ok = true;
    if (s.base) {
        writer::FileSource prefix(real, 0, s.base);
        ok = w.Prefix(prefix);
    }
    ok = ok && w.Begin(s.places.size());
    for (size_t slot = 0; ok && slot < s.places.size(); slot++) {
        const auto r = chosen.find(slot);
        const uint32_t stored = static_cast<uint32_t>(s.places[slot].storedSize);
        if (r != chosen.end()) {
            ok = w.Content(stores[slot], std::make_unique<DigestSource>(r->second.path, 0, std::nullopt, &r->second.digest));
        } else if (stored == 0) {
            ok = w.Empty();
        } else {
            writer::FileSource copy(real, s.base + static_cast<uint64_t>(s.places[slot].offset), stored);
            ok = w.Copy(copy, stored);
        }
    }
    const uint64_t after = s.base + dataEnd;
    if (ok && after < s.file.Length()) {
        writer::FileSource suffix(real, after);
        ok = w.Suffix(suffix);
    }
    ok = ok && w.Finish();
    if (!ok) return Fail(path + ": " + w.Error() + "; left as it was");
    if (!out.Close() || !CopyMode(real, out.TempPath()))
        return Fail("cannot write beside " + path + ": " + SystemError() + "; left as it was");

    std::vector<SlotExpected> expected(s.places.size());
    for (size_t slot = 0; slot < expected.size(); slot++) {
        SlotExpected& e = expected[slot];
        e.what = "slot " + std::to_string(slot);
        const auto r = chosen.find(slot);
        if (r != chosen.end()) {
            e.what = r->second.entry + " (" + r->second.path + ")";
            e.empty = writer::HeadSize(static_cast<writer::Layout>(layout)) == 0 && r->second.size == 0;
            e.size = r->second.size;
            e.digest = r->second.digest.Value();
            continue;
        }
        e.empty = s.places[slot].storedSize == 0;
        for (const ListedEntry& listed : s.entries)
            if (listed.Slot() == slot) e.size = listed.size;
    }
    const std::vector<std::string> problems =
        ReadBackArchive(out.TempPath(), path, s.base, s.settings, layout, expected, true);
    for (size_t i = 0; i < problems.size() && i < 8; i++)
        std::fprintf(stderr, "qordat: %s: %s\n", path.c_str(), problems[i].c_str());
    if (!problems.empty())
        return Fail(path + ": left as it was: readers would not get the new entries back as they are ('qordat unpack' "
                    "and 'qordat repack' rebuild it with other heads)");
    if (!out.Commit()) return Fail("cannot replace " + path + ": " + SystemError() + "; left as it was");
    if (!quiet)
        for (const auto& [slot, r] : chosen)
            std::printf("%s: %s replaced by %s (%s)\n", path.c_str(), r.entry.c_str(), r.path.c_str(),
                        Bytes(r.size).c_str());
    return kExitOk;
}

}  // namespace qordat
