#include "tools/qordat/rebuild.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "calls/calls.h"
#include "tools/qordat/common.h"

namespace qordat {
namespace {

namespace fs = std::filesystem;

}  // namespace

std::string CheckSlotContent(const PluginState& state, HeadReader* reader, const SlotPlace& place,
                             const EntryInfo& info, uint64_t expected, const std::string& otherBytes)
{
    const SlotWrite digestWrite = [](void* context, const uint8_t* bytes, uint32_t length) {
        static_cast<Digest*>(context)->Update(bytes, length);
        return true;
    };
    Digest digest;
    SlotReport report{};
    errno = 0;
    const int walked = PluginWalkContent(state, reader, place, info, digestWrite, &digest, &report);
    const int error = errno;
    if (walked != RESULT_OK || report.readFailed)
        return "cannot read it back: " +
               (walked == RESULT_OK || walked == RESULT_OUTPUT_FAILED ? SystemError(error ? error : EIO)
                                                                       : std::string(ResultMeaning(walked)));
    if (report.lack != SLOT_WHOLE || digest.Value() != expected) return otherBytes;
    return "";
}

DigestSource::DigestSource(const std::string& path, uint64_t offset, std::optional<uint64_t> length, Digest* digest,
                           std::optional<uint64_t> expected, std::string what)
    : file_(path, offset, length), digest_(digest), length_(length), expected_(expected), what_(std::move(what))
{
}

bool DigestSource::Read(uint8_t* data, size_t size, size_t* got)
{
    if (!file_.Read(data, size, got)) return false;
    digest_->Update(data, *got);
    read_ += *got;
    // The bytes are checked once they are all read: at the end of the file,
    // or at the last of the `length` asked for, since a copy of exactly that
    // many never reads again to meet the end.
    const bool all = *got == 0 || (length_ && read_ >= *length_);
    if (all && expected_ && digest_->Value() != *expected_) {
        error_ = what_ + ": the kept bytes in " + file_.Path() + " are not the ones unpacked (their digest differs)";
        return false;
    }
    return true;
}

std::string DigestSource::Error() const { return error_.empty() ? file_.Error() : error_; }

std::vector<std::string> ReadBackArchive(const std::string& written, const std::string& finalPath, uint64_t base,
                                         const ListSettings& given, EntryLayout layout,
                                         const std::vector<SlotExpected>& slots, bool offerFullScan)
{
    // The probe as a host makes it, under the final name (its base name
    // names the entries); a name the plug-in leaves to image plug-ins is
    // read as the archive it is all the same.
    std::string probeName = finalPath;
    if (PluginLeavesName(probeName)) probeName += ".dat";
    uint8_t probe[PROBE_SIZE] = {};
    if (FILE* f = std::fopen(written.c_str(), "rb")) {
        if (SeekTo(f, base)) (void)!std::fread(probe, 1, sizeof probe, f);
        std::fclose(f);
    }
    PluginState state{};
    if (!PluginProbe(state, probeName, probe)) return {"readers do not take it for an archive"};
    ListSettings settings = given;
    settings.numbering = NUMBERING_WITH_DUMMIES;  // every slot listed, in table order
    std::vector<ListedEntry> listed;
    const int result = PluginList(state, written, base, settings, listed);
    const int32_t detected = state.memory.entryLayout;
    if (result != RESULT_OK) {
        // Readers take every entry's head by the first entry's: new content
        // there that does not tell them is the likely cause, and named.
        std::string why = std::string("readers refuse it (") + ResultMeaning(result) + ")";
        const auto first = std::find_if(slots.begin(), slots.end(), [](const SlotExpected& s) { return !s.empty; });
        if (first != slots.end() && first->digest)
            why += ": the first entry decides how readers take every entry's head, and the new content of " +
                   first->what + " does not tell them";
        if (offerFullScan && !settings.fullScan) why += "; with --full-scan?";
        return {why};
    }
    std::vector<std::string> problems;
    if (detected != layout)
        problems.push_back(std::string("readers take its heads for the ") + LayoutName(detected) + " layout, not " +
                           LayoutName(layout));
    if (listed.size() != slots.size()) {
        problems.push_back("readers list " + Count(static_cast<int64_t>(listed.size()), "slot", "slots") + " of " +
                           std::to_string(slots.size()));
        return problems;
    }
    // The content as the extraction gives it to a host, by its own two
    // steps over the same state (the listing's layout, raised where a record
    // raises it): the record, then the one walk, digested on the way.
    ArchiveReader r{};
    for (size_t i = 0; i < slots.size(); i++) {
        const SlotExpected& want = slots[i];
        const ListedEntry& got = listed[i];
        if (want.empty != (got.stored == 0)) {
            problems.push_back(want.what + (want.empty ? ": readers find content in it" : ": readers find it empty"));
            continue;
        }
        if (want.size && got.size != *want.size) {
            problems.push_back(want.what + ": readers get " + Bytes(got.size) + " of its " + Bytes(*want.size));
            continue;
        }
        if (!want.digest) continue;
        if (!r.open) {
            const int opened = OpenArchiveReader(&r, written.c_str(), static_cast<int64_t>(base));
            if (opened != RESULT_OK) {
                problems.push_back(std::string("cannot read it back (") + ResultMeaning(opened) + ")");
                return problems;
            }
        }
        if (got.Slot() >= static_cast<size_t>(r.archive.count)) {
            problems.push_back(want.what + ": readers list it past the table's " +
                               Count(r.archive.count, "slot", "slots"));
            continue;
        }
        SlotPlace place;
        ArchivePlaceOf(&r.archive, static_cast<int32_t>(got.Slot()), &place);
        EntryInfo info;
        const int recorded =
            PluginExtractionRecord(state, &r.reader, place, NumberingOfPosition(static_cast<int64_t>(got.position)),
                                   &info);
        if (recorded != RESULT_OK) {
            problems.push_back(want.what + ": readers cannot extract it (" + ResultMeaning(recorded) + ")");
            continue;
        }
        const std::string problem =
            CheckSlotContent(state, &r.reader, place, info, *want.digest, "readers get other bytes than its file's");
        if (!problem.empty()) problems.push_back(want.what + ": " + problem);
    }
    CloseArchiveReader(&r);
    return problems;
}

std::vector<std::string> WalkBackArchive(const std::string& written, uint64_t base, EntryLayout layout,
                                         const std::vector<SlotExpected>& slots)
{
    ArchiveReader r{};
    const int opened = OpenArchiveReader(&r, written.c_str(), static_cast<int64_t>(base));
    if (opened != RESULT_OK) return {std::string("cannot read it back (") + ResultMeaning(opened) + ")"};
    std::vector<std::string> problems;
    const std::string how = std::string("read by the ") + LayoutName(layout) + " layout, ";
    if (r.archive.count < 0 || static_cast<size_t>(r.archive.count) != slots.size()) {
        problems.push_back("it holds " + Count(r.archive.count, "slot", "slots") + " of " +
                           std::to_string(slots.size()));
        CloseArchiveReader(&r);
        return problems;
    }
    // As unpack reads every slot: dummies numbering, full scans on, each
    // slot by the layout given, whatever an earlier record raised it to.
    PluginState state{};
    state.settings.NumberingMode = NUMBERING_WITH_DUMMIES;
    state.settings.CheckMode = 1;
    TableWalk walk;
    ArchiveWalkStart(&r.archive, &walk);
    SlotPlace place;
    for (size_t i = 0; i < slots.size() && TableWalkNext(&walk, &place); i++) {
        const SlotExpected& want = slots[i];
        if (want.empty != (place.storedSize == 0)) {
            problems.push_back(want.what + ": " + how + (want.empty ? "it holds content" : "it is empty"));
            continue;
        }
        // A slot copied without a file (unpack could not read it) has
        // nothing to compare.
        if (want.empty || (!want.size && !want.digest)) continue;
        state.memory.entryLayout = layout;
        EntryInfo info;
        const int recorded = PluginExtractionRecord(state, &r.reader, place, NUMBERING_WITH_DUMMIES, &info);
        if (recorded != RESULT_OK) {
            problems.push_back(want.what + ": " + how + "it has no record (" + ResultMeaning(recorded) + ")");
            continue;
        }
        if (want.size && info.fileSize != *want.size) {
            problems.push_back(want.what + ": " + how + "it gives " + Bytes(info.fileSize) + " of its " +
                               Bytes(*want.size));
            continue;
        }
        if (!want.digest) continue;
        const std::string problem =
            CheckSlotContent(state, &r.reader, place, info, *want.digest, how + "it gives other bytes than its file's");
        if (!problem.empty()) problems.push_back(want.what + ": " + problem);
    }
    CloseArchiveReader(&r);
    return problems;
}

EncodeOptions::EncodeOptions()
{
    lzss.level = LzssLevel::Normal;
    lzss.threads = std::max(1u, std::min(64u, std::thread::hardware_concurrency()));
}

const std::vector<OptionDef> kEncodeOptions = {
    {"fast", 0, false, kEncodeFast}, {"best", 0, false, kEncodeBest}, {"jobs", 'j', true, kEncodeJobs}};

int TakeEncodeOption(int id, const char* value, EncodeOptions& options)
{
    int64_t n = 0;
    switch (id) {
    case kEncodeFast: options.lzss.level = LzssLevel::Fast; return 0;
    case kEncodeBest: options.lzss.level = LzssLevel::Optimal; return 0;
    case kEncodeJobs:
        if (!ParseNumber(value, 1, 64, n)) return Usage("-j takes a count of threads from 1 to 64");
        options.lzss.threads = static_cast<unsigned>(n);
        return 0;
    }
    return 0;
}

bool CopyMode(const std::string& from, const std::string& to)
{
    std::error_code error;
    const fs::perms perms = fs::status(from, error).permissions();
    if (!error) fs::permissions(to, perms, fs::perm_options::replace, error);
    if (error) errno = error.value();
    return !error;
}

}  // namespace qordat
