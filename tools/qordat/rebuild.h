// What repack and replace share: sources for the writer that take the
// digest of what they hand on (and check stored bytes against theirs), and
// the read-back of a rebuilt archive as a host reads it before it is put in
// place.
#ifndef MORQUENT_TOOLS_QORDAT_REBUILD_H
#define MORQUENT_TOOLS_QORDAT_REBUILD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/qordat/digest.h"
#include "tools/qordat/common.h"
#include "tools/qordat/plugin.h"
#include "writer/archive_writer.h"

namespace qordat {

// A file's bytes (from `offset`, `length` of them or to its end) for the
// writer, their digest taken on the way into *digest (kept by the caller:
// the writer may drop the source). With `expected`, the bytes must have that
// digest: a read that ends on others fails, naming `what`, so that an
// archive is never built from kept bytes that changed.
class DigestSource : public writer::Source {
public:
    DigestSource(const std::string& path, uint64_t offset, std::optional<uint64_t> length, Digest* digest,
                 std::optional<uint64_t> expected = {}, std::string what = "");
    bool Read(uint8_t* data, size_t size, size_t* got) override;
    std::string Error() const override;

private:
    writer::FileSource file_;
    Digest* digest_;
    std::optional<uint64_t> length_, expected_;
    uint64_t read_ = 0;
    std::string what_, error_;
};

// What the read-back expects of one slot.
struct SlotExpected {
    std::string what;                 // the slot in messages ("slot 3 (title.bmp)")
    bool empty = false;
    std::optional<uint64_t> size;     // the content's size a host gets
    std::optional<uint64_t> digest;   // extract it and compare the content
};

// Reads the archive just written at `written` (to be named `finalPath`,
// whose file name gives the entries' names) back as a host does: the probe,
// the listing in `settings` at byte `base`, the layout it detects, the size
// of every slot, and the content of those with a digest as the plug-in's
// extraction gives it (its own two steps, PluginExtractionRecord and then
// the one walk, PluginWalkContent, over the listing's state), digested as
// it comes: nothing is written, so the read-back needs no room on the disk
// and leaves nothing behind. Returns one line per problem; a refusal names
// the first entry when its content is new (it decides how every head is
// read), and asks "with --full-scan?" where `offerFullScan` (the command
// takes it).
std::vector<std::string> ReadBackArchive(const std::string& written, const std::string& finalPath, uint64_t base,
                                         const ListSettings& settings, EntryLayout layout,
                                         const std::vector<SlotExpected>& slots, bool offerFullScan);

// Reads the archive just written at `written` back as `qordat unpack
// --layout` reads it, for an archive the plug-in does not list by `layout`
// (it refuses it, or takes its heads for another layout): every slot's
// record and content by the calls' own steps (PluginExtractionRecord, then
// the one walk, PluginWalkContent), the size and digest compared with
// what is expected. Returns one line per problem.
std::vector<std::string> WalkBackArchive(const std::string& written, uint64_t base, EntryLayout layout,
                                         const std::vector<SlotExpected>& slots);

// The content of the slot at `place` whose record is `info` (the
// extraction's, PluginExtractionRecord) as the extraction's one walk hands
// it to a host, by state.memory.entryLayout, digested as it comes and
// written nowhere: a read-back needs no room on the disk and leaves nothing
// behind. "" when the walk gives it whole with the digest `expected`;
// otherwise the problem: "cannot read it back: ..." for a read that failed
// (an I/O error, not damage), or `otherBytes`.
std::string CheckSlotContent(const PluginState& state, HeadReader* reader, const SlotPlace& place,
                             const EntryInfo& info, uint64_t expected, const std::string& otherBytes);

// The writer's options for new content: the encoder's level and threads.
struct EncodeOptions {
    LzssOptions lzss;
    EncodeOptions();
};
// Takes --fast, --best and -j N (ids from kEncodeFast on) into `options`.
enum { kEncodeFast = 200, kEncodeBest, kEncodeJobs };
extern const std::vector<OptionDef> kEncodeOptions;
int TakeEncodeOption(int id, const char* value, EncodeOptions& options);

// Copies the permission bits of `from` onto `to` (an archive rewritten in
// place keeps them); false with errno set.
bool CopyMode(const std::string& from, const std::string& to);

}  // namespace qordat

#endif
