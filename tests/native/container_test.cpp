// Count and size-table validation.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "archive/container.h"
#include "archive/state.h"
#include "archive/table.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

void PutS32(std::vector<uint8_t>& b, size_t at, int32_t v)
{
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

int Probe(const std::vector<uint8_t>& b) { return ValidateContainer(nullptr, b.data(), (int32_t)b.size(), VALIDATE_PROBE); }

TEST(ContainerCount, AcceptsOnlyTheEncodedRangeOneTo8191)
{
    EXPECT_EQ(1, Probe(Bytes({0x01, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ(1, Probe(Bytes({0xFF, 0x1F, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ(0, Probe(Bytes({0, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ(0, Probe(Bytes({0x00, 0x20, 0, 0, 0, 0, 0, 0})));  // 8192
    EXPECT_EQ(0, Probe(Bytes({0x01, 0x00, 0x01, 0x00, 0, 0, 0, 0})));
    EXPECT_EQ(0, Probe(Bytes({0x01, 0x00, 0x00, 0x01, 0, 0, 0, 0})));  // 0x01000001, positive
    EXPECT_EQ(0, Probe(Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})));  // -1
    EXPECT_EQ(0, Probe(Bytes({0x01, 0x00, 0x00, 0x80, 0, 0, 0, 0})));  // negative
}

TEST(ContainerCount, FewerThanFourBytesHoldNoCount)
{
    for (int32_t length = 0; length < 4; length++) {
        uint8_t bytes[4] = {1, 0, 0, 0};
        EXPECT_EQ(0, ValidateContainer(nullptr, bytes, length, VALIDATE_PROBE)) << length;
    }
    uint8_t bytes[4] = {1, 0, 0, 0};
    EXPECT_EQ(0, ValidateContainer(nullptr, bytes, -5, VALIDATE_PROBE));
}

TEST(ContainerSizes, NegativeSizeRefusedZeroAccepted)
{
    std::vector<uint8_t> b;
    PutS32(b, 0, 3);
    PutS32(b, 4, 10);
    PutS32(b, 8, 0);
    PutS32(b, 12, 20);
    EXPECT_EQ(1, Probe(b));
    PutS32(b, 8, INT32_MIN);  // 0x80000000
    EXPECT_EQ(0, Probe(b));
    PutS32(b, 8, -1);
    EXPECT_EQ(0, Probe(b));
}

TEST(ContainerSizes, ProbeWindowSeesOnlyTheSizesInsideTheOfferedBytes)
{
    // Count 600: the table runs to byte 2404, past the probe's 2,048 bytes.
    std::vector<uint8_t> archive;
    PutS32(archive, 0, 600);
    for (int i = 0; i < 600; i++) PutS32(archive, 4 + 4 * i, 1);
    PutS32(archive, 4 + 4 * 520, -7);
    archive.resize(4 + 4 * 600 + 32);

    EXPECT_EQ(1, ValidateContainer(nullptr, archive.data(), 2048, VALIDATE_PROBE));
    EXPECT_EQ(0, ValidateContainer(nullptr, archive.data(), (int32_t)archive.size(), VALIDATE_PROBE));

    // A negative size at index 510 (bytes 2044-2047) is the last one seen.
    PutS32(archive, 4 + 4 * 520, 1);
    PutS32(archive, 4 + 4 * 510, -7);
    EXPECT_EQ(0, ValidateContainer(nullptr, archive.data(), 2048, VALIDATE_PROBE));
}

TEST(ContainerSizes, SizeCutByTheEndOfTheBytesReadsMissingBytesAsZero)
{
    // Count 2, first size complete, second cut after one, two or three bytes.
    // The sign byte is missing, so the partial size reads as non-negative
    // whatever the bytes that are there, and nothing past them is read.
    for (int32_t extra = 1; extra <= 3; extra++) {
        std::vector<uint8_t> b = Bytes({2, 0, 0, 0, 5, 0, 0, 0, 0xFF, 0xFF, 0xFF});
        b.resize(8 + extra);
        std::vector<uint8_t> exact(b);  // ASan catches a read past the vector
        EXPECT_EQ(1, ValidateContainer(nullptr, exact.data(), (int32_t)exact.size(), VALIDATE_PROBE)) << extra;
    }
}

// The size table walked over what a file holds: places, what each slot
// lacks, the numbers in names, and nothing placed after a negative size.
TEST(SizeTable, WalkPlacesEverySlotAsTheFileHoldsIt)
{
    // Four slots: 5 bytes, empty, 3 bytes, 2 bytes; the file ends two bytes
    // into the third (after 4 + 16 + 5 + 2 bytes).
    std::vector<uint8_t> table = Bytes({4, 0, 0, 0});
    for (int32_t size : {5, 0, 3, 2}) PutS32(table, table.size(), size);
    const int64_t fileLength = 20 + 5 + 2;
    struct Want {
        int64_t offset;
        uint64_t held, missing;
        int32_t packed;
    } want[] = {{20, 5, 0, 0}, {25, 0, 0, 1}, {25, 2, 1, 1}, {28, 0, 2, 2}};
    TableWalk walk;
    TableWalkStart(&walk, table.data(), table.size(), 4, fileLength);
    SlotPlace place;
    for (const Want& w : want) {
        ASSERT_TRUE(TableWalkNext(&walk, &place));
        SCOPED_TRACE(place.index);
        EXPECT_EQ(place.offset, w.offset);
        EXPECT_EQ(place.held, w.held);
        EXPECT_EQ(place.storedMissing, w.missing);
        EXPECT_EQ(place.packedNumber, w.packed);
        EXPECT_TRUE(place.sizeInFile);
        SlotPlace again;
        TablePlaceOf(table.data(), table.size(), 4, fileLength, place.index, &again);
        // One slot placed alone as in the walk.
        EXPECT_EQ(again.offset, place.offset);
        EXPECT_EQ(again.held, place.held);
        EXPECT_EQ(again.packedNumber, place.packedNumber);
        EXPECT_EQ(again.storedSize, place.storedSize);
    }
    EXPECT_FALSE(TableWalkNext(&walk, &place));
    EXPECT_EQ(TableEntriesEnd(table.data(), table.size(), 4), 30) << "where the slots end: what follows is the file's";
    // Packed numbers name only the non-empty slots.
    EXPECT_EQ(SlotOfNumber(table.data(), table.size(), 4, NUMBERING_PACKED, 1), 2);
    EXPECT_EQ(SlotOfNumber(table.data(), table.size(), 4, NUMBERING_PACKED, 3), -1);
    EXPECT_EQ(SlotOfNumber(table.data(), table.size(), 4, NUMBERING_KEEP, 1), 1);

    // A file cut inside the table: the sizes it lacks, and slots whose size
    // it does not hold.
    EXPECT_EQ(TableSizesMissing(4, 13), 2);
    EXPECT_EQ(TableSizesMissing(4, 20), 0);
    TableWalkStart(&walk, table.data(), table.size(), 4, 13);
    int inFile = 0;
    while (TableWalkNext(&walk, &place)) inFile += place.sizeInFile;
    EXPECT_EQ(inFile, 2);

    // A negative size: nothing after it has a place.
    PutS32(table, 8, -1);
    TableWalkStart(&walk, table.data(), table.size(), 4, fileLength);
    TableWalkNext(&walk, &place);
    for (int i = 1; i < 4; i++) {
        ASSERT_TRUE(TableWalkNext(&walk, &place));
        EXPECT_EQ(place.offset, -1) << i;
        EXPECT_EQ(place.held + place.storedMissing, 0u) << i;
        SlotPlace alone;
        TablePlaceOf(table.data(), table.size(), 4, fileLength, i, &alone);
        EXPECT_EQ(alone.offset, -1) << i;
    }
    EXPECT_EQ(TableEntriesEnd(table.data(), table.size(), 4), -1);
}

}  // namespace
