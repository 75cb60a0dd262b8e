// Entry-header layout detection, through listing-mode validation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/container.h"
#include "archive/detect.h"
#include "archive/state.h"
#include "tests/support/archive_builder.h"
#include "tests/support/test_content.h"

namespace {

using namespace test_content;
using test_archive::Layout;

test_archive::Entry WithKind(test_archive::Entry e, int16_t kind)
{
    e.kind = kind;
    return e;
}
test_archive::Entry WithDeclared(test_archive::Entry e, int32_t declared)
{
    e.declaredSize = declared;
    return e;
}

// Listing-mode validation of `length` bytes (default: the 4 x count + 32 that
// the listing reads, zero past the file's end), from an exactly-sized heap
// block so that ASan reports any read past them.
PluginState state;  // the layout detected, and the CheckMode it is detected under

int Validate(const Bytes& archive, int32_t length = -1)
{
    int32_t count = (int32_t)(archive[0] | archive[1] << 8);
    if (length < 0) length = 4 * count + 32;
    Bytes offered(archive.begin(), archive.begin() + std::min<size_t>(archive.size(), length));
    offered.resize(length, 0);
    return ValidateContainer(&state, offered.data(), length, VALIDATE_LISTING);
}

class Detection : public ::testing::Test {
protected:
    void SetUp() override { state = {}; }
};

TEST_F(Detection, LayoutFromTheFirstNonEmptyHead)
{
    const int refused = LAYOUT_REFUSED;
    struct Row {
        const char* what;
        Layout written;
        std::vector<test_archive::Entry> entries;
        int withoutCheck;  // detected layout, or refused, with state.settings.CheckMode 0
        int withCheck;     // and with state.settings.CheckMode 1
    } rows[] = {
        {"kind 0, bitmap at byte 6", Layout::KindSize, {test_archive::Plain(Bitmap(100))}, LAYOUT_KIND_SIZE, LAYOUT_KIND_SIZE},
        {"first slots empty: the head right after the table", Layout::KindOnly,
         {test_archive::Empty(), test_archive::Empty(), test_archive::Plain(Wave(44))}, LAYOUT_KIND_ONLY, LAYOUT_KIND_ONLY},
        {"kind 0, wave at byte 2, nothing at 6", Layout::KindOnly, {test_archive::Plain(Wave(44))}, LAYOUT_KIND_ONLY,
         LAYOUT_KIND_ONLY},
        // 19,778 = 0x4D42: the declared size reads "BM" at byte 2, so byte 6 must be looked at first.
        {"kind 0, bitmap at byte 6 whose size reads BM at 2", Layout::KindSize, {test_archive::Plain(Bitmap(19778))},
         LAYOUT_KIND_SIZE, LAYOUT_KIND_SIZE},
        {"kind 0, PNG at byte 6", Layout::KindSize, {test_archive::Plain(Png(40))}, LAYOUT_KIND_SIZE,
         LAYOUT_KIND_SIZE},
        {"kind 8, unrecognisable at 6 and 2", Layout::KindSize, {WithKind(test_archive::Plain(Str("opaque data....")), 8)},
         LAYOUT_KIND_SIZE, LAYOUT_KIND_SIZE},
        {"kind 8, PNG at 2", Layout::KindOnly, {WithKind(test_archive::Plain(Png(40)), 8)}, LAYOUT_KIND_ONLY,
         LAYOUT_KIND_ONLY},
        {"kind 1 bitmap of the declared size", Layout::KindSize, {test_archive::Compressed(Bitmap(1078))}, LAYOUT_KIND_SIZE,
         LAYOUT_KIND_SIZE},
        {"kind 1 bitmap of another size", Layout::KindSize, {WithDeclared(test_archive::Compressed(Bitmap(1078)), 1077)},
         refused, LAYOUT_KIND_ONLY},
        {"kind 1 wave of the declared size", Layout::KindSize, {test_archive::Compressed(Wave(300))}, LAYOUT_KIND_SIZE,
         LAYOUT_KIND_SIZE},
        {"kind 1 wave of another size", Layout::KindSize, {WithDeclared(test_archive::Compressed(Wave(300)), 292)}, refused,
         LAYOUT_KIND_ONLY},
        {"kind 1 PNG after a six-byte head", Layout::KindSize, {test_archive::Compressed(Png(200))}, refused,
         LAYOUT_KIND_ONLY},
        {"kind 1 PNG after a two-byte head", Layout::KindOnly, {test_archive::Compressed(Png(200))}, LAYOUT_KIND_ONLY,
         LAYOUT_KIND_ONLY},
        {"kind 1 bitmap after a two-byte head", Layout::KindOnly, {test_archive::Compressed(Bitmap(500))}, LAYOUT_KIND_ONLY,
         LAYOUT_KIND_ONLY},
        {"plain bitmap (kind 0x4D42)", Layout::Raw, {test_archive::Plain(Bitmap(100))}, LAYOUT_RAW, LAYOUT_RAW},
        {"plain wave (kind 0x4952)", Layout::Raw, {test_archive::Empty(), test_archive::Plain(Wave(44))}, LAYOUT_RAW, LAYOUT_RAW},
        {"plain data of another kind", Layout::Raw, {test_archive::Plain(Str("text, kind 0x6574"))}, LAYOUT_RAW, LAYOUT_RAW},
    };
    for (const Row& row : rows) {
        test_archive::Options options;
        options.layout = row.written;
        const Bytes archive = test_archive::BuildArchive(row.entries, options);
        for (uint32_t check : {0u, 1u}) {
            const int expected = check ? row.withCheck : row.withoutCheck;
            state.settings.CheckMode = check;
            const int before = (expected == LAYOUT_RAW) ? LAYOUT_KIND_ONLY : LAYOUT_RAW;  // must be overwritten
            state.memory.entryLayout = static_cast<EntryLayout>(before);
            const int accepted = Validate(archive);
            // A refusal changes nothing: the last archive's layout stays.
            EXPECT_EQ(expected != refused, accepted) << row.what << ", state.settings.CheckMode " << check;
            EXPECT_EQ(expected == refused ? before : expected, state.memory.entryLayout)
                << row.what << ", state.settings.CheckMode " << check;
            EXPECT_EQ(expected, DetectEntryLayout(check, archive.data(), static_cast<int32_t>(archive.size()),
                                                  ContainerCount(archive.data())))
                << row.what << ", the detection's own answer";
        }
    }
}

TEST_F(Detection, LengthTestIsTheOnlyOneAndTouchesNothing)
{
    test_archive::Options options;
    options.layout = Layout::KindSize;
    const Bytes archive = test_archive::BuildArchive({test_archive::Plain(Bitmap(100))}, options);

    state.memory.entryLayout = LAYOUT_KIND_ONLY;
    EXPECT_EQ(0, Validate(archive, 19));
    EXPECT_EQ(LAYOUT_KIND_ONLY, state.memory.entryLayout);
    EXPECT_EQ(1, Validate(archive, 20));  // the bitmap signature at bytes 14-15 is inside
    EXPECT_EQ(LAYOUT_KIND_SIZE, state.memory.entryLayout);

    // A negative size stops validation before detection.
    Bytes bad = archive;
    bad[7] = 0x80;
    state.memory.entryLayout = LAYOUT_KIND_ONLY;
    EXPECT_EQ(0, Validate(bad));
    EXPECT_EQ(LAYOUT_KIND_ONLY, state.memory.entryLayout);
}

// Detection bytes past the offered length read as zero and are never read:
// with exactly 4 x count + 16 bytes, a compressed bitmap's size field is cut
// after three bytes and still matches a declared size whose top byte is 0.
TEST_F(Detection, BytesPastTheOfferedLengthReadAsZero)
{
    const Bytes archive = Cat({Le32(1), Le32(100), {1, 0}, Le32(0x030201), {0, 'B', 'M', 0x01, 0x02, 0x03}});
    ASSERT_EQ(20u, archive.size());
    EXPECT_EQ(1, Validate(archive, 20));
    EXPECT_EQ(LAYOUT_KIND_SIZE, state.memory.entryLayout);

    // An archive of empty slots only: the head is all zeros (kind 0, nothing
    // recognisable), whatever follows the offered bytes.
    const Bytes empties = Cat({Le32(3), Le32(0), Le32(0), Le32(0)});
    state.memory.entryLayout = LAYOUT_RAW;
    EXPECT_EQ(1, Validate(empties, 4 * 3 + 16));
    EXPECT_EQ(LAYOUT_KIND_SIZE, state.memory.entryLayout);
}

}  // namespace
