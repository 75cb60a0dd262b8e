// qordat unpack: every slot's content written into a folder under the name
// the plug-in gives it (dummies numbering: an empty slot is an empty *.DMY
// file), read by the layout the plug-in detects in the setting that lists
// the archive (full scans on), or by the layout the user gives, which also
// reads archives the plug-in refuses or whose layout it guesses wrong. Each
// slot goes through the plug-in's own extraction, its steps taken apart
// (the record GetFile names the file by, the walk that writes it and
// checks the slot), so that its content is digested as it is written; a
// slot that cannot be read is named and the others still are.
//
// Beside the files it writes what `qordat repack` needs to rebuild the
// archive byte for byte (manifest.h): qordat.manifest, one line per slot,
// and qordat.stored, the bytes a slot's file cannot give back: the stored
// streams of compressed slots (whoever encoded them), a slot whose stored
// bytes are not its head and its content, the bytes before the archive
// (--offset) and after its last slot. A plain slot is its head and its file
// again, so its bytes are not kept twice, nor read twice: the archive is
// read once, and only the stored bytes kept are read again.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#include "archive/entry.h"
#include "archive/state.h"
#include "tools/qordat/common.h"
#include "tools/qordat/digest.h"
#include "tools/qordat/manifest.h"
#include "tools/qordat/pending.h"
#include "tools/qordat/session.h"

namespace qordat {
namespace {

namespace fs = std::filesystem;

constexpr size_t kPiece = size_t(1) << 20;

// Hands `length` bytes of the archive file from `at` to `digests` and, when
// `out` is not null, writes them there. Returns "" or what failed.
std::string Pass(InputFile& file, uint64_t at, uint64_t length, std::vector<Digest*> digests, FILE* out,
                 std::vector<uint8_t>& piece)
{
    for (uint64_t done = 0; done < length;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), length - done));
        size_t got = 0;
        if (!file.ReadAt(at + done, piece.data(), n, &got)) return "cannot read: " + SystemError();
        if (got < n) return "the file ends early";
        for (Digest* d : digests) d->Update(piece.data(), n);
        if (out && std::fwrite(piece.data(), 1, n, out) != n) return "cannot write: " + SystemError();
        done += n;
    }
    return "";
}

// What unpack learns of a slot's content while it writes its file: its size,
// its digest, and the digest of the slot's head followed by it (a plain
// slot's stored bytes, when they are its head and its content).
struct Written {
    std::string name;   // the file in the folder
    uint64_t size = 0;
    Digest content, withHead;
    bool headRead = false;  // withHead began with the head
};

// How the plug-in lists the archive by `layout`: in its default settings,
// only with full scans, or not at all (it refuses the file, or detects
// another layout than the one given).
Listing ListingOf(const Session& s, EntryLayout layout)
{
    uint8_t probe[PROBE_SIZE] = {};
    if (FILE* f = std::fopen(s.path.c_str(), "rb")) {
        if (SeekTo(f, s.base)) (void)!std::fread(probe, 1, sizeof probe, f);
        std::fclose(f);
    }
    // A name left to image plug-ins is no matter: a repacked archive is
    // named anew.
    std::string name = s.path;
    if (PluginLeavesName(name)) name += ".dat";
    for (const bool fullScan : {false, true}) {
        PluginState state{};
        std::vector<ListedEntry> entries;
        if (!PluginProbe(state, name, probe)) return Listing::None;
        if (PluginList(state, s.path, s.base, {NUMBERING_WITH_DUMMIES, fullScan}, entries) == RESULT_OK &&
            state.memory.entryLayout == layout)
            return fullScan ? Listing::FullScan : Listing::Default;
    }
    return Listing::None;
}

// Writes qordat.stored and qordat.manifest into `dir` for the slots of `s`,
// `written` the file each slot's content went to, with its digests. Returns
// "" or what failed; nothing is left of either file then.
std::string WriteManifest(Session& s, const std::string& dir, const std::map<size_t, Written>& written)
{
    Manifest m;
    m.archive = fs::path(s.path).filename().string();
    m.layout = s.Layout();
    m.listing = ListingOf(s, m.layout);
    const uint32_t headSize = LayoutHeadSize(m.layout);
    const std::string storedPath = (fs::path(dir) / kStoredName).string();
    PendingFile stored;
    if (!stored.Open(storedPath)) return "cannot write " + storedPath + ": " + SystemError();
    std::vector<uint8_t> piece(kPiece);
    uint64_t at = 0;  // the end of qordat.stored

    auto keep = [&](uint64_t from, uint64_t length, Kept& kept, const char* what) -> std::string {
        if (!length) return "";
        Digest digest;
        const std::string problem = Pass(s.file, from, length, {&digest}, stored.Stream(), piece);
        if (!problem.empty()) return std::string(what) + ": " + problem;
        kept = {length, digest.Value(), at};
        at += length;
        return "";
    };
    std::string problem = keep(0, s.base, m.prefix, "the bytes before the archive");
    // The bytes after the archive begin where its slots end.
    const int64_t dataEnd = ArchiveEntriesEnd(&s.reader.archive);
    for (size_t i = 0; problem.empty() && i < s.places.size(); i++) {
        const SlotPlace& place = s.places[i];
        ManifestSlot slot;
        const auto file = written.find(i);
        if (file != written.end()) slot.file = file->second.name;
        if (place.storedSize == 0) {
            slot.empty = true;
            m.slots.push_back(slot);
            continue;
        }
        const uint32_t storedSize = static_cast<uint32_t>(place.storedSize);
        const uint64_t from = s.base + static_cast<uint64_t>(place.offset);
        uint8_t head[6] = {};
        const size_t headHeld = std::min<size_t>(headSize, storedSize);
        size_t got = 0;
        if (!s.file.ReadAt(from, head, headHeld, &got) || got < headHeld)
            return "cannot read " + s.path + ": " + SystemError();
        if (m.layout != LAYOUT_RAW) slot.kind = static_cast<int16_t>(head[0] | head[1] << 8);
        if (m.layout == LAYOUT_KIND_SIZE)
            slot.declared = static_cast<int32_t>(static_cast<uint32_t>(head[2]) | static_cast<uint32_t>(head[3]) << 8 |
                                                 static_cast<uint32_t>(head[4]) << 16 |
                                                 static_cast<uint32_t>(head[5]) << 24);
        slot.compressed = SlotPayloadOf(m.layout, slot.kind, storedSize).compressed;
        // A slot is kept unless its stored bytes are its head and its file:
        // a plain slot the file holds whole whose content is its payload,
        // no more and no less, copied by the walk that wrote the file. Its
        // stored bytes are then not read again: their digest is that of
        // the head and the content the walk handed on.
        bool mustKeep = true;
        if (file != written.end()) {
            slot.contentSize = file->second.size;
            slot.contentDigest = file->second.content.Value();
            mustKeep = slot.compressed || headHeld < headSize || !file->second.headRead || place.storedMissing ||
                       file->second.size != storedSize - headSize;
        }
        slot.storedSize = storedSize;
        if (mustKeep) {
            Digest storedDigest;
            problem = Pass(s.file, from, storedSize, {&storedDigest}, stored.Stream(), piece);
            slot.storedDigest = storedDigest.Value();
            slot.keptAt = at;
            at += storedSize;
        } else {
            slot.storedDigest = file->second.withHead.Value();
        }
        if (!problem.empty()) problem = "slot " + std::to_string(i) + ": " + problem;
        m.slots.push_back(slot);
    }
    if (problem.empty() && dataEnd >= 0 && s.base + static_cast<uint64_t>(dataEnd) < s.file.Length())
        problem = keep(s.base + static_cast<uint64_t>(dataEnd), s.file.Length() - s.base - static_cast<uint64_t>(dataEnd),
                       m.suffix, "the bytes after the archive");
    if (!problem.empty()) return s.path + ": " + problem;

    // qordat.stored only when it keeps something (an archive of plain slots
    // alone keeps nothing); one left by an earlier unpack into the folder
    // goes, so that the folder holds what this manifest names.
    if (at == 0) {
        stored.Discard();
        std::error_code ec;
        if (!fs::remove(storedPath, ec) && ec)
            return "cannot remove the " + std::string(kStoredName) + " of an earlier unpack: " + ec.message();
    }
    const std::string manifestPath = (fs::path(dir) / kManifestName).string();
    PendingFile manifest;
    if (!manifest.Open(manifestPath)) return "cannot write " + manifestPath + ": " + SystemError();
    const std::string text = FormatManifest(m);
    if (std::fwrite(text.data(), 1, text.size(), manifest.Stream()) != text.size() || (at && !stored.Commit()) ||
        !manifest.Commit())
        return "cannot write " + manifestPath + ": " + SystemError();
    return "";
}

// Why the archive cannot be rebuilt byte for byte from what unpack
// writes, or "": its table or a slot cut by the end of the file, a
// negative size.
std::string Unrebuildable(const Session& s)
{
    if (s.places.size() != static_cast<size_t>(s.reader.archive.count)) return "its size table is cut";
    for (const SlotPlace& place : s.places) {
        if (place.offset < 0) return "slot " + std::to_string(place.index) + " has a negative size";
        if (place.storedMissing) return "the file ends inside slot " + std::to_string(place.index);
    }
    return "";
}

// Removes the qordat.manifest and qordat.stored that an earlier unpack left
// in `dir` when this one writes none: they describe another archive, and
// repack would rebuild a mix of it and the files written now. Returns "" or
// what failed.
std::string RemoveEarlierManifest(const std::string& dir)
{
    for (const char* name : {kManifestName, kStoredName}) {
        std::error_code ec;
        if (!fs::remove(fs::path(dir) / name, ec) && ec)
            return std::string("cannot remove the ") + name + " of an earlier unpack: " + ec.message();
    }
    return "";
}

}  // namespace

int CommandUnpack(int argc, char** argv)
{
    enum { kLayout = 1, kOutput, kQuiet, kSalvage };
    Session s;
    ExtractOptions o;
    o.outDir.clear();
    std::optional<EntryLayout> layout;
    std::vector<OptionDef> options = {{"offset", 0, true, kOptOffset},
                                      {"layout", 0, true, kLayout},
                                      {"output", 'o', true, kOutput},
                                      {"quiet", 'q', false, kQuiet},
                                      {"salvage", 0, false, kSalvage}};
    const int parsed = ParseCommandLine(
        argc, argv, options,
        [&](int id, const char* value) {
            switch (id) {
            case kLayout: {
                EntryLayout given;
                if (!ParseLayout(value, given)) return Usage("--layout takes raw, kind-size or kind-only");
                layout = given;
                return 0;
            }
            case kOutput:
                if (!*value) return Usage("-o takes a folder");
                o.outDir = value;
                return 0;
            case kQuiet: o.quiet = true; return 0;
            case kSalvage: o.salvage = true; return 0;
            }
            return s.TakeOption(id, value);
        },
        [&](const char* argument) {
            if (!s.path.empty()) return Usage("only one archive at a time");
            return s.TakeArgument(argument);
        });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (o.outDir.empty()) return Usage("unpack needs -o DIR");
    // Every slot, numbered by its place in the table; full scans size the
    // compressed entries of unknown content.
    s.settings = {NUMBERING_WITH_DUMMIES, true};
    s.forcedLayout = layout;
    if (const int status = s.Open(true)) return status;
    // Every slot by the layout the listing left, as the extraction after a
    // listing reads them.
    s.forcedLayout = s.Layout();
    const bool tableDamaged = s.ReportTableDamage();
    std::vector<const ListedEntry*> every;
    for (const ListedEntry& entry : s.entries) every.push_back(&entry);
    // Each slot's content digested as the extraction writes it: no file is
    // read again. The digest with the head starts with the slot's head as
    // stored (the bytes the layout gives it, as many as the slot holds).
    std::map<size_t, Written> written;
    Written current;
    size_t currentSlot = SIZE_MAX;
    const uint32_t headSize = LayoutHeadSize(s.Layout());
    auto start = [&](size_t slot) {
        current = Written();
        currentSlot = slot;
        uint8_t head[6] = {};
        size_t got = 0;
        if (slot < s.places.size() && s.places[slot].offset >= 0 && s.places[slot].storedSize > 0) {
            const size_t held = std::min<size_t>(headSize, static_cast<uint32_t>(s.places[slot].storedSize));
            current.headRead =
                s.file.ReadAt(s.base + static_cast<uint64_t>(s.places[slot].offset), head, held, &got) && got == held;
            current.withHead.Update(head, held);
        }
    };
    o.onContent = [&](const ListedEntry& entry, const uint8_t* bytes, size_t length) {
        if (entry.Slot() != currentSlot) start(entry.Slot());
        current.content.Update(bytes, length);
        current.withHead.Update(bytes, length);
        current.size += length;
    };
    o.onWritten = [&](const ListedEntry& entry, const std::string& name) {
        if (entry.Slot() != currentSlot) start(entry.Slot());  // no content
        current.name = name;
        written[entry.Slot()] = current;
        currentSlot = SIZE_MAX;
    };
    const int status = ExtractEntries(s, o, every, tableDamaged);

    std::error_code ec;
    const bool folder = fs::is_directory(o.outDir, ec);
    const std::string why = Unrebuildable(s);
    if (!why.empty()) {
        std::fprintf(stderr, "qordat: %s: no %s written: %s, so repack cannot give it back\n", s.path.c_str(),
                     kManifestName, why.c_str());
        const std::string removed = folder ? RemoveEarlierManifest(o.outDir) : "";
        if (!removed.empty()) std::fprintf(stderr, "qordat: %s: %s\n", o.outDir.c_str(), removed.c_str());
        return kExitFailed;
    }
    if (!folder) return status;  // ExtractEntries said why
    const std::string problem = WriteManifest(s, o.outDir, written);
    if (!problem.empty()) {
        const std::string removed = RemoveEarlierManifest(o.outDir);
        return Fail(problem + " (no " + kManifestName + " written" + (removed.empty() ? "" : "; " + removed) + ")");
    }
    return status;
}

}  // namespace qordat
