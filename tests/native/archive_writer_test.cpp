// The archive writer read back through the plug-in's calls: every head and
// level gives each entry back, with a prefix and a suffix kept; content fed
// in pieces gives the bytes of content read from a source; a copy of every
// slot as it is stored gives the file back byte for byte; compressed content
// that grows is stored plain; failures say what failed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "archive/state.h"
#include "calls/calls.h"
#include "tests/support/platform_test.h"
#include "tests/support/test_content.h"
#include "writer/archive_writer.h"

namespace {

using namespace test_content;
using writer::Layout;
namespace fs = std::filesystem;

// One slot as the tests describe it: empty, or new content stored so.
struct Slot {
    Bytes content;
    bool empty = false;
    bool compress = false;
};
Slot Plain(Bytes b) { return {std::move(b), false, false}; }
Slot Packed(Bytes b) { return {std::move(b), false, true}; }
Slot None() { return {{}, true, false}; }

const Bytes kPrefix = Cat({Str("MZ prefix of another file"), Bytes(12, 0xEE)});
const Bytes kSuffix = Str("and what follows the archive in its file");

// The archive of `slots` under `head`, between kPrefix and kSuffix; content
// read from sources, or (`fed`) fed in pieces of 777 bytes.
Bytes Write(const std::vector<Slot>& slots, Layout head, const LzssOptions& lzss, bool fed = false,
            std::vector<writer::SlotWritten>* written = nullptr)
{
    writer::MemorySink sink;
    writer::ArchiveWriter out(sink, lzss);
    EXPECT_TRUE(out.Prefix(kPrefix.data(), kPrefix.size()));
    EXPECT_TRUE(out.Begin(slots.size()));
    for (const Slot& s : slots) {
        writer::Store how;
        how.head = head;
        how.compress = s.compress;
        if (s.empty) {
            EXPECT_TRUE(out.Empty());
        } else if (fed) {
            EXPECT_TRUE(out.BeginContent(how));
            for (size_t at = 0; at < s.content.size(); at += 777)
                EXPECT_TRUE(out.Feed(s.content.data() + at, std::min<size_t>(777, s.content.size() - at)));
            EXPECT_TRUE(out.EndContent());
        } else {
            EXPECT_TRUE(out.Content(how, std::make_unique<writer::MemorySource>(s.content)));
        }
    }
    EXPECT_TRUE(out.Suffix(kSuffix.data(), kSuffix.size()));
    EXPECT_TRUE(out.Finish()) << out.Error();
    EXPECT_EQ(out.Size(), sink.bytes.size());
    if (written) *written = out.Slots();
    return sink.bytes;
}

// What the plug-in's calls give for the archive `file` holds at `offset`:
// the layout they detect, and each listed entry's content (every slot, the
// empty ones as empty), with the full scan on.
struct ReadBack {
    int code = -1;
    int32_t layout = -1;
    std::vector<Bytes> contents;
};

ReadBack ReadThroughCalls(const Bytes& file, int64_t offset)
{
    ReadBack r;
    NativeClearMemoryFiles();
    NativeAddMemoryFile("WRITTEN.DAT", file.data(), file.size());
    PluginState state = {};
    std::snprintf(state.memory.archiveBaseName, sizeof state.memory.archiveBaseName, "WRITTEN");
    state.settings.CheckMode = 1;
    state.settings.NumberingMode = NUMBERING_WITH_DUMMIES;
    HostBlock list = nullptr;
    r.code = ListArchive(&state, "WRITTEN.DAT", offset, 0, &list);
    if (r.code != RESULT_OK) return r;
    r.layout = state.memory.entryLayout;
    std::vector<EntryInfo> records;
    for (const EntryInfo* e = static_cast<const EntryInfo*>(HostLock(list)); e->method[0]; e++) records.push_back(*e);
    HostUnlock(list);
    HostFree(list);
    for (const EntryInfo& e : records) {
        HostBlock content = nullptr;
        const int code = ExtractEntry(&state, "WRITTEN.DAT", offset, e.position, reinterpret_cast<char*>(&content), 0x100);
        Bytes bytes;
        if (code == RESULT_OK && content) {
            const uint8_t* p = static_cast<const uint8_t*>(HostLock(content));
            bytes.assign(p, p + NativeHostBlockSize(content));
            HostUnlock(content);
            HostFree(content);
        }
        EXPECT_EQ(RESULT_OK, code) << e.fileName;
        EXPECT_EQ(static_cast<uint64_t>(e.fileSize), bytes.size()) << e.fileName;
        r.contents.push_back(bytes);
    }
    NativeClearMemoryFiles();
    return r;
}

LzssOptions Lzss(LzssLevel level, unsigned threads, size_t blockSize = 5000)
{
    LzssOptions o;
    o.level = level;
    o.threads = threads;
    o.blockSize = blockSize;  // small blocks: entries of several blocks, joins on every thread
    return o;
}

TEST(ArchiveWriter, EveryHeadAndLevelReadsBackThroughTheCalls)
{
    // The first entry decides the layout the listing detects: a compressed
    // bitmap whose header gives its size, under either head.
    const std::vector<Slot> headed = {Packed(Bitmap(30000, 1)), None(), Packed(Wave(12001, 2)), Plain(Text(300, 3)),
                                      Packed(Text(40000, 4)),   Packed({1, 2}), Plain({7}), Packed(Runs(9000, 5))};
    const std::vector<Slot> raw = {Plain(Bitmap(3000, 6)), None(), Plain(Wave(5000, 7)), Plain(Text(70, 8))};
    struct Row {
        const char* name;
        Layout head;
        int32_t detected;
        const std::vector<Slot>* slots;
    };
    const Row rows[] = {
        {"kind-size", Layout::KindSize, LAYOUT_KIND_SIZE, &headed},
        {"kind-only", Layout::KindOnly, LAYOUT_KIND_ONLY, &headed},
        {"raw", Layout::Raw, LAYOUT_RAW, &raw},
    };
    for (const Row& row : rows) {
        for (LzssLevel level : {LzssLevel::Fast, LzssLevel::Normal, LzssLevel::Optimal}) {
            SCOPED_TRACE(std::string(row.name) + ", level " + std::to_string(static_cast<int>(level)));
            std::vector<writer::SlotWritten> written;
            const Bytes file = Write(*row.slots, row.head, Lzss(level, 2), false, &written);
            // The prefix and the suffix come back as they were.
            ASSERT_GT(file.size(), kPrefix.size() + kSuffix.size());
            EXPECT_TRUE(std::equal(kPrefix.begin(), kPrefix.end(), file.begin()));
            EXPECT_TRUE(std::equal(kSuffix.rbegin(), kSuffix.rend(), file.rbegin()));
            const ReadBack r = ReadThroughCalls(file, static_cast<int64_t>(kPrefix.size()));
            ASSERT_EQ(RESULT_OK, r.code);
            EXPECT_EQ(row.detected, r.layout);
            ASSERT_EQ(row.slots->size(), r.contents.size());
            for (size_t i = 0; i < r.contents.size(); i++) {
                EXPECT_TRUE(r.contents[i] == (*row.slots)[i].content) << "slot " << i;
                EXPECT_EQ((*row.slots)[i].compress, written[i].compressed) << "slot " << i;
            }
            // The threads change no byte; content fed in pieces gives the same archive.
            EXPECT_TRUE(file == Write(*row.slots, row.head, Lzss(level, 1))) << "one thread gives another archive";
            EXPECT_TRUE(file == Write(*row.slots, row.head, Lzss(level, 3), true)) << "fed content gives another archive";
        }
    }
}

// A scratch folder, the current one while a test runs.
class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("writer-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Put(const std::string& name, const Bytes& bytes)
    {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    static Bytes Get(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir;
};

// A repack that changes nothing: the prefix, every slot's stored bytes and
// the suffix copied from the old file at their offsets, into a real file.
// The new file is the old one byte for byte, damaged slots included (a
// declared size that lies, a stored size past the data, a stream of junk).
TEST_F(Files, CopyingEverySlotAsStoredGivesTheFileBack)
{
    std::vector<writer::SlotWritten> slots;
    Bytes old = Write({Packed(Bitmap(20000, 9)), None(), Plain(Text(5000, 10)), Packed(Text(8000, 11)), None()},
                      Layout::KindSize, Lzss(LzssLevel::Normal, 2), false, &slots);
    // Slot 2's declared size lies: bytes 2..5 of its head.
    old[slots[2].offset + 2] ^= 0x40;
    const std::string oldPath = Put("OLD.DAT", old);

    FILE* f = std::fopen((dir / "NEW.DAT").string().c_str(), "wb");
    ASSERT_TRUE(f);
    {
        writer::FileSink sink(f);
        writer::ArchiveWriter out(sink);
        writer::FileSource prefix(oldPath, 0, kPrefix.size());
        ASSERT_TRUE(out.Prefix(prefix)) << out.Error();
        ASSERT_TRUE(out.Begin(slots.size()));
        for (const writer::SlotWritten& s : slots) {
            if (s.stored == 0) {
                ASSERT_TRUE(out.Empty());
                continue;
            }
            writer::FileSource stored(oldPath, s.offset, s.stored);
            ASSERT_TRUE(out.Copy(stored, s.stored)) << out.Error();
        }
        writer::FileSource suffix(oldPath, old.size() - kSuffix.size());
        ASSERT_TRUE(out.Suffix(suffix));
        ASSERT_TRUE(out.Finish()) << out.Error();
        EXPECT_EQ(old.size(), out.Size());
    }
    ASSERT_EQ(0, std::fclose(f));
    EXPECT_TRUE(Get((dir / "NEW.DAT").string()) == old);
}

// Compressed content that comes out larger is stored plain, its source read
// again, with kind 0; the entries after it, encoded meanwhile, are where they
// belong. Without plainIfLarger it stays compressed.
TEST_F(Files, GrowingContentIsStoredPlainWhereAllowed)
{
    const Bytes noise = Random(30000, 12), text = Text(30000, 13), bitmap = Bitmap(5000, 14);
    const std::string noisePath = Put("noise.bin", noise), textPath = Put("text.txt", text);
    for (bool allowed : {true, false}) {
        SCOPED_TRACE(allowed ? "plain if larger" : "compressed all the same");
        writer::MemorySink sink;
        writer::ArchiveWriter out(sink, Lzss(LzssLevel::Normal, 2, 4000));
        ASSERT_TRUE(out.Begin(4));
        writer::Store how;
        how.head = Layout::KindSize;
        how.compress = true;
        how.plainIfLarger = allowed;
        ASSERT_TRUE(out.Content(how, std::make_unique<writer::MemorySource>(bitmap)));
        ASSERT_TRUE(out.Content(how, std::make_unique<writer::FileSource>(noisePath)));
        ASSERT_TRUE(out.Content(how, std::make_unique<writer::FileSource>(textPath)));
        ASSERT_TRUE(out.Empty());
        ASSERT_TRUE(out.Finish()) << out.Error();
        const std::vector<writer::SlotWritten>& slots = out.Slots();
        EXPECT_EQ(allowed, slots[1].storedPlain);
        EXPECT_EQ(!allowed, slots[1].compressed);
        EXPECT_EQ(allowed ? noise.size() + 6 : slots[1].streamSize + 6, slots[1].stored);
        EXPECT_GT(slots[1].streamSize, noise.size());
        EXPECT_EQ(allowed ? 0 : 1, sink.bytes[slots[1].offset]);  // the kind
        const ReadBack r = ReadThroughCalls(sink.bytes, 0);
        ASSERT_EQ(RESULT_OK, r.code);
        ASSERT_EQ(4u, r.contents.size());
        EXPECT_TRUE(r.contents[0] == bitmap);
        EXPECT_TRUE(r.contents[1] == noise);
        EXPECT_TRUE(r.contents[2] == text);
        EXPECT_TRUE(r.contents[3].empty());
    }
}

// A sink that fails its Nth call of any kind, with a reason of its own.
class FailingSink : public writer::Sink {
public:
    explicit FailingSink(int failAt) : left(failAt) {}
    bool Write(const uint8_t* d, size_t n) override { return Ok() && inner.Write(d, n); }
    bool Rewrite(uint64_t at, const uint8_t* d, size_t n) override { return Ok() && inner.Rewrite(at, d, n); }
    bool Cut(uint64_t length) override { return Ok() && inner.Cut(length); }
    std::string Error() const override { return "the disk said no"; }
    int calls = 0;

private:
    bool Ok() { return ++calls != left; }
    int left;
    writer::MemorySink inner;
};

TEST_F(Files, FailuresSayWhatFailed)
{
    const std::string shortPath = Put("short.bin", Bytes(10, 1)), missing = (dir / "missing.bin").string();
    struct Row {
        const char* name;
        std::function<bool(writer::ArchiveWriter&)> steps;  // false where the writer refuses
        std::string error;
    };
    writer::Store compressed;
    compressed.head = Layout::KindOnly;
    compressed.compress = true;
    const Row rows[] = {
        {"copy past the end of its file",
         [&](writer::ArchiveWriter& w) {
             writer::FileSource s(shortPath, 4, 20);
             return w.Begin(1) && w.Copy(s, 20);
         },
         shortPath + ": ends 14 bytes short"},
        {"content from a file that is not there",
         [&](writer::ArchiveWriter& w) {
             return w.Begin(1) && w.Content(compressed, std::make_unique<writer::FileSource>(missing));
         },
         "cannot read " + missing + ": No such file or directory"},
        {"more slots than begun",
         [&](writer::ArchiveWriter& w) { return w.Begin(1) && w.Empty() && w.Empty(); }, "more slots than Begin was given"},
        {"finished a slot short",
         [&](writer::ArchiveWriter& w) { return w.Begin(2) && w.Empty() && w.Finish(); }, "Finish after 1 of 2 slots"},
        {"a prefix after the table",
         [&](writer::ArchiveWriter& w) { return w.Begin(1) && w.Prefix(kPrefix.data(), 3); }, "Prefix after Begin"},
        {"a slot inside a slot",
         [&](writer::ArchiveWriter& w) { return w.Begin(2) && w.BeginContent(compressed) && w.Empty(); },
         "Empty out of order"},
    };
    for (const Row& row : rows) {
        writer::MemorySink sink;
        writer::ArchiveWriter w(sink);
        EXPECT_FALSE(row.steps(w)) << row.name;
        EXPECT_EQ(row.error, w.Error()) << row.name;
        EXPECT_FALSE(w.Finish()) << row.name << ": a failed writer finished";
    }

    // Every call to the sink failing in turn: each is reported with the
    // sink's reason, and nothing is claimed written.
    const Bytes content = Text(20000, 15);
    int failAt = 1;
    for (;; failAt++) {
        FailingSink sink(failAt);
        writer::ArchiveWriter w(sink, Lzss(LzssLevel::Fast, 2, 3000));
        writer::Store how = compressed;
        writer::Store plain;
        plain.head = Layout::KindOnly;
        const bool ok = w.Prefix(kPrefix.data(), kPrefix.size()) && w.Begin(3) &&
                        w.Content(how, std::make_unique<writer::MemorySource>(content)) &&
                        w.Content(plain, std::make_unique<writer::MemorySource>(content)) && w.Empty() &&
                        w.Suffix(kSuffix.data(), kSuffix.size()) && w.Finish();
        if (sink.calls < failAt) {
            EXPECT_TRUE(ok) << w.Error();
            break;
        }
        EXPECT_FALSE(ok) << "call " << failAt;
        EXPECT_EQ("cannot write: the disk said no", w.Error()) << "call " << failAt;
    }
    EXPECT_GT(failAt, 8) << "the sink was called less often than an archive needs";
}

}  // namespace
