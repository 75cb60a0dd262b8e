// What the entries of a listed archive lack (calls/damage.h), against
// archives whose damage the test knows: whole ones of every layout, cut in
// the table, in a plain entry or inside a stream, sizes past the end, an
// archive at an offset; and the check's own failures, with nothing left open.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/state.h"
#include "calls/calls.h"
#include "calls/damage.h"
#include "tests/support/platform_test.h"
#include "tests/support/test_content.h"
#include "tests/support/archive_builder.h"

namespace {

using namespace test_content;

// The listing's records and their damage, in the state the listing leaves.
struct Checked {
    int listResult = -1, checkResult = -1;
    std::vector<EntryInfo> records;
    std::vector<SlotReport> damage;
};

Checked ListAndCheck(const Bytes& file, int64_t offset, uint32_t numbering = NUMBERING_WITH_DUMMIES)
{
    Checked c;
    NativeAddMemoryFile("DAMAGE.DAT", file.data(), file.size());
    PluginState state{};
    state.settings.NumberingMode = static_cast<EntryNumbering>(numbering);
    HostBlock block = nullptr;
    c.listResult = ListArchive(&state, "DAMAGE.DAT", offset, 0, &block);
    if (c.listResult == RESULT_OK) {
        const EntryInfo* info = static_cast<const EntryInfo*>(HostLock(block));
        for (size_t i = 0; info[i].method[0]; i++) c.records.push_back(info[i]);
        HostUnlock(block);
        HostFree(block);
        c.damage.resize(c.records.size());
        c.checkResult = CheckEntriesDamage(&state, "DAMAGE.DAT", offset, c.records.data(),
                                           static_cast<int32_t>(c.records.size()), c.damage.data());
    }
    NativeClearMemoryFiles();
    return c;
}

// Bytes missing in a number the test does not pin down (a cut stream's
// expansion): more than none.
constexpr uint64_t kSome = UINT64_MAX;

struct Expected {
    uint64_t storedMissing, contentMissing;
    bool compressed;
    int64_t contentSize = -1;  // what the extraction gives; -1: the record's size
};

struct Case {
    const char* what;
    std::vector<test_archive::Entry> entries;
    test_archive::Options options;
    std::vector<Expected> expected;  // per listed record (dummies numbering)
};

test_archive::Entry Sized(test_archive::Entry e, int32_t stored)
{
    e.storedSize = stored;
    return e;
}

// Stored lengths the cases cut at: kind-size heads are 6 bytes.
const Bytes kBitmap = Bitmap(400), kWave = Wave(300), kText = Text(200);

TEST(Damage, TableOfArchives)
{
    using test_archive::Compressed, test_archive::Empty, test_archive::Plain, test_archive::Stored, test_archive::Layout;
    const size_t table2 = 4 + 4 * 2;  // count and two sizes
    const std::vector<Case> cases = {
        {"whole, raw", {Plain(kBitmap), Plain(kWave)}, {Layout::Raw, {}, {}, 0}, {{0, 0, false}, {0, 0, false}}},
        {"whole, kind-size, compressed and an empty slot",
         {Compressed(kBitmap), Empty(), Plain(kWave)},
         {Layout::KindSize, {}, {}, 0},
         {{0, 0, true}, {0, 0, false}, {0, 0, false}}},
        {"whole, kind-only", {Compressed(kBitmap), Plain(kWave)}, {Layout::KindOnly, {}, {}, 0},
         {{0, 0, true}, {0, 0, false}}},
        {"at an offset, the last plain entry cut by 50 bytes",
         {Plain(kBitmap), Plain(kWave)},
         {Layout::Raw, {}, 100 + 4 + 8 + 400 + 250, 100},
         {{0, 0, false}, {50, 50, false}}},
        {"a plain entry's size past the end", {Plain(kBitmap), Sized(Plain(kWave), 1000)},
         {Layout::Raw, {}, {}, 0}, {{0, 0, false}, {700, 700, false}}},
        {"cut inside a stream: its content comes short",
         {Plain(kText), Compressed(kBitmap)},
         {Layout::KindSize, {}, table2 + 206 + 40, 0},
         {{0, 0, false}, {kSome, kSome, true}}},
        // A six-byte head is no content: 8 bytes declared, 4 of them in the file.
        {"a plain entry after its six-byte head, cut",
         {Stored(Cat({Head(0, 4), Str("BM"), Bytes(2)})), Stored(Cat({Head(0, 8), Str("ABCDEFGH")}))},
         {Layout::KindSize, {}, 32, 0},
         {{0, 0, false}, {4, 4, false}}},
        {"a stream that gives more than its record's size: nothing missing",
         {Stored(Cat({Head(0, 4), Str("BM"), Bytes(2)})), Stored(Cat({Head(1, 4), Literals(Str("ABCDEFGH"))}))},
         {Layout::KindSize, {}, {}, 0},
         {{0, 0, false}, {0, 0, true}}},
        // The listing's head of the 4-byte slot runs on into the next one,
        // whose bytes give it a declared size of 0x10010; the extraction reads
        // the slot whole (declared size 16, none of it in the slot).
        {"a slot shorter than its head: measured against the extraction's size",
         {Stored(Cat({Head(0, 5), Str("hello")})), Stored(Bytes{0, 0, 0x10, 0}),
          Stored(Cat({Head(1, 3), Literals(Str("abc"))}))},
         {Layout::KindSize, {}, {}, 0},
         {{0, 0, false}, {0, 16, false, 16}, {0, 0, true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes file = test_archive::BuildArchive(c.entries, c.options);
        const Checked got = ListAndCheck(file, static_cast<int64_t>(c.options.leadingBytes));
        ASSERT_EQ(got.listResult, RESULT_OK);
        ASSERT_EQ(got.checkResult, RESULT_OK);
        ASSERT_EQ(got.damage.size(), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); i++) {
            SCOPED_TRACE(got.records[i].fileName);
            const SlotReport& d = got.damage[i];
            const Expected& e = c.expected[i];
            if (e.storedMissing == kSome) EXPECT_GT(d.place.storedMissing, 0u);
            else EXPECT_EQ(d.place.storedMissing, e.storedMissing);
            if (e.contentMissing == kSome) EXPECT_GT(d.contentMissing, 0u);
            else EXPECT_EQ(d.contentMissing, e.contentMissing);
            EXPECT_EQ(d.contentSize, e.contentSize < 0 ? got.records[i].fileSize : static_cast<uint64_t>(e.contentSize));
            EXPECT_EQ(d.contentDelivered + d.contentMissing, d.contentSize);
            EXPECT_EQ(d.lack, d.place.storedMissing ? SLOT_CUT : d.contentMissing ? SLOT_STREAM_SHORT : SLOT_WHOLE);
            EXPECT_EQ(d.payload.compressed, e.compressed);
        }
    }
    const NativeOutstanding left = NativeCountOutstanding();
    EXPECT_EQ(left.files + left.workBuffers, 0);
}

// Records in another order than the table's (a host may hand any subset)
// get the same answers as in table order.
TEST(Damage, RecordsInAnyOrder)
{
    const Bytes file = test_archive::BuildArchive({test_archive::Plain(kBitmap), test_archive::Plain(kText), test_archive::Plain(kWave)},
                                            {test_archive::Layout::Raw, {}, 4 + 12 + 400 + 200 + 100, 0});
    Checked inOrder = ListAndCheck(file, 0);
    ASSERT_EQ(inOrder.checkResult, RESULT_OK);
    NativeAddMemoryFile("DAMAGE.DAT", file.data(), file.size());
    PluginState state{};
    std::vector<EntryInfo> reversed(inOrder.records.rbegin(), inOrder.records.rend());
    std::vector<SlotReport> damage(reversed.size());
    ASSERT_EQ(CheckEntriesDamage(&state, "DAMAGE.DAT", 0, reversed.data(), 3, damage.data()), RESULT_OK);
    NativeClearMemoryFiles();
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(damage[i].place.storedMissing, inOrder.damage[2 - i].place.storedMissing) << i;
    EXPECT_EQ(damage[0].place.storedMissing, 200u);
}

// The check's failures: each with its code and nothing left open or allocated.
TEST(Damage, FailuresReleaseEverything)
{
    const Bytes file = test_archive::BuildArchive({test_archive::Plain(kBitmap)}, {test_archive::Layout::Raw, {}, {}, 0});
    const Bytes notArchive(64, 0);
    EntryInfo record{};
    record.fileSize = 400;
    struct Row {
        const char* what;
        const Bytes* bytes;
        int fault;
        int expected;
    } rows[] = {
        {"the file cannot be opened", &file, FAULT_OPEN, RESULT_CANNOT_OPEN},
        {"no working buffer", &file, FAULT_WORK, RESULT_NO_MEMORY},
        {"no valid count", &notArchive, NO_FAULT, RESULT_NOT_ARCHIVE},
        {"whole", &file, NO_FAULT, RESULT_OK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        NativeAddMemoryFile("DAMAGE.DAT", row.bytes->data(), row.bytes->size());
        PluginState state{};
        SlotReport damage;
        std::memset(&damage, 0x5A, sizeof damage);
        if (row.fault != NO_FAULT) FaultCountdown(nativeFaults, row.fault) = 1;
        EXPECT_EQ(CheckEntriesDamage(&state, "DAMAGE.DAT", 0, &record, 1, &damage), row.expected);
        nativeFaults = NativeFaults{};
        NativeClearMemoryFiles();
        EXPECT_EQ(damage.place.storedMissing + damage.contentMissing, 0u) << "cleared whatever the outcome";
        const NativeOutstanding left = NativeCountOutstanding();
        EXPECT_EQ(left.files + left.workBuffers, 0);
    }
}

}  // namespace
