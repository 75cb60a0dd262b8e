// The LZSS encoder's levels, blocks and threads: every level's stream, cut
// into blocks and joined, decodes to its content through the byte-loop
// reference decoder and the plug-in's decoder, at every kind of join; the
// threads never change a byte; the optimal level gives the stream it gave
// before blocks were encoded on threads (checksums taken from that encoder).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "archive/lzss.h"
#include "tests/support/lzss_reference.h"
#include "tests/support/test_content.h"
#include "writer/lzss_blocks.h"
#include "writer/lzss_encoder.h"

namespace {

using namespace test_content;

const LzssLevel kLevels[] = {LzssLevel::Fast, LzssLevel::Normal, LzssLevel::Optimal};

const char* LevelName(LzssLevel level)
{
    return level == LzssLevel::Fast ? "fast" : level == LzssLevel::Normal ? "normal" : "optimal";
}

LzssOptions Options(LzssLevel level, unsigned threads, size_t blockSize)
{
    LzssOptions options;
    options.level = level;
    options.threads = threads;
    options.blockSize = blockSize;
    return options;
}

// Both decoders must give back the content, and nothing of the stream may
// be left over (the last group holds only the content's tokens).
void ExpectDecodes(const Bytes& content, const Bytes& stream)
{
    Bytes reference(content.size() + 1, 0xCD), fast(content.size(), 0xCD);
    ReferenceLzssDecode(stream.data(), (uint32_t)stream.size(), reference.data(), (uint32_t)content.size());
    reference.pop_back();
    EXPECT_TRUE(reference == content) << "the reference decoder gives other bytes";
    LzssDecode(stream.data(), (uint32_t)stream.size(), fast.data(), (uint32_t)fast.size());
    EXPECT_TRUE(fast == content) << "the plug-in's decoder gives other bytes";
    EXPECT_EQ((int32_t)content.size(), LzssDecodedSize(stream.data(), (uint32_t)stream.size()));
}

uint64_t Fnv1a(const Bytes& bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
    return h;
}

// Joins of every kind, with small blocks (3,000 bytes: less than the ring,
// so a block's history spans earlier blocks; 5,000: more than the ring).
struct JoinCase {
    const char* name;
    size_t blockSize;
    Bytes content;
};

std::vector<JoinCase> JoinCases()
{
    const Bytes r3000 = Random(3000, 21), r4096 = Random(4096, 22), r5000 = Random(5000, 23);
    std::vector<JoinCase> cases = {
        {"nothing", 5000, {}},
        {"one byte", 5000, {7}},
        {"one byte short of a block", 5000, Text(4999, 1)},
        {"exactly one block", 5000, Text(5000, 2)},
        {"one byte past a join", 5000, Text(5001, 3)},
        {"exactly three blocks", 5000, Text(15000, 4)},
        {"one byte past the third join", 5000, Text(15001, 5)},
        {"small blocks, text", 3000, Text(20000, 6)},
        {"small blocks, one byte past a join", 3000, Text(9001, 7)},
        // The second copy starts 1,000 bytes before the join: its matches run
        // up to the join and go on from the history after it.
        {"a match spanning a join", 5000, Cat({Random(1000, 24), r3000, r3000})},
        // Equal bytes across the join: references at distance 1 that run
        // into the bytes they write, on both sides.
        {"a run across a join", 5000, Cat({Random(4990, 25), Bytes(40, 'z'), Random(100, 26)})},
        // Copies exactly 4,096 and 4,097 bytes back, right after a join: the
        // first is the farthest a reference reaches, the second is out of
        // the window.
        {"a copy at the window's edge", 5000, Cat({Random(904, 27), r4096, r4096, Random(200, 28)})},
        {"a copy just past the window", 5000, Cat({Random(903, 29), r4096, Bytes{1}, r4096})},
        // The ring's zeros match only at the stream's start: zeros after a
        // join come from the history, not from the ring's initial content.
        {"zeros at the start and after a join", 5000, Cat({Bytes(30, 0), r5000, Bytes(300, 0), r5000})},
        {"runs", 5000, Runs(23456, 30)},
        {"photo", 5000, Photo(12000, 31)},
        {"sound", 3000, Sound(12000, 32)},
        {"random", 5000, Random(10001, 33)},
    };
    // Zeros up to a block's end, where the padding after the block's content
    // is zeros too: a match must not run on into it (before a join, and at
    // the stream's end). Runs of several lengths, so that the last match of
    // the run is cut at every few lengths.
    for (size_t zeros = 2; zeros <= 40; zeros += 3) {
        cases.push_back({"zeros up to a join", 5000, Cat({Random(5000 - zeros, 34), Bytes(zeros, 0), Random(50, 35)})});
        cases.push_back({"zeros at the end", 5000, Cat({Random(3000, 36), Bytes(zeros, 0)})});
    }
    return cases;
}

TEST(LzssLevels, EveryLevelAndJoinDecodesAndThreadsChangeNothing)
{
    for (const JoinCase& c : JoinCases()) {
        for (LzssLevel level : kLevels) {
            SCOPED_TRACE(std::string(c.name) + ", " + LevelName(level));
            const Bytes one = LzssEncode(c.content.data(), c.content.size(), Options(level, 1, c.blockSize));
            ExpectDecodes(c.content, one);
            for (unsigned threads : {2u, 3u})
                EXPECT_TRUE(one == LzssEncode(c.content.data(), c.content.size(), Options(level, threads, c.blockSize)))
                    << threads << " threads give another stream";
        }
    }
}

TEST(LzssLevels, JoinsReachIntoTheHistory)
{
    // A block that repeats the 3,000 bytes before it codes as references
    // only (2 bytes per 18, a flag byte per 8 tokens: about 380 bytes); one
    // that could not see its history would be all literals (3,375 bytes).
    // The first block, random, takes 4,500 bytes.
    const Bytes copied = Random(3000, 40), content = Cat({Random(1000, 41), copied, copied});
    for (LzssLevel level : kLevels) {
        const Bytes stream = LzssEncode(content.data(), content.size(), Options(level, 2, 4000));
        EXPECT_LT(stream.size(), 4500u + 500) << LevelName(level);
        ExpectDecodes(content, stream);
    }
}

TEST(LzssLevels, SizesKeepTheLevelsOrder)
{
    // The normal level's matches are the optimal level's but for a few it
    // misses, and it parses them the same way: at most 1 % larger.
    for (const Bytes& content : {Text(300000, 41), Photo(300000, 42), Runs(300000, 43)}) {
        size_t size[3];
        for (int i = 0; i < 3; i++)
            size[i] = LzssEncode(content.data(), content.size(), Options(kLevels[i], 1, 1 << 20)).size();
        const size_t fast = size[0], normal = size[1], optimal = size[2];
        EXPECT_GE(normal, optimal);
        EXPECT_LE(normal, optimal + optimal / 100);
        EXPECT_GE(fast, optimal);
        EXPECT_LT(fast, optimal + optimal / 5);
    }
    const Bytes text = Text(300000, 41);
    EXPECT_LT(LzssEncode(text.data(), text.size(), Options(LzssLevel::Fast, 1, 1 << 20)).size(), text.size() / 2);
}

// Inside repeats of random bytes every match the optimal level finds is one
// the normal level finds too: its chains hold the one earlier copy of each
// key, and an 18-byte match carried on from the previous position is taken
// as found. The same streams' sizes, then, at any distance and with the
// repeats cut short by changed bytes (where a carried match stops at 17
// bytes and the searches take over).
TEST(LzssLevels, NormalFindsTheRepeatsTheOptimalFinds)
{
    struct Case {
        const char* name;
        size_t distance;     // bytes between a byte and its copy
        size_t changeEvery;  // 0: exact copies; else one byte in so many changed
    };
    const Case cases[] = {
        {"near copies", 100, 0},
        {"copies at the window's far end", 4090, 0},
        {"copies with a byte in 50 changed", 1500, 50},
        {"copies with a byte in 19 changed", 3000, 19},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes content = Random(c.distance, 60);
        for (size_t i = c.distance; i < 200000; i++) {
            uint8_t b = content[i - c.distance];
            if (c.changeEvery != 0 && i % c.changeEvery == 0) b = static_cast<uint8_t>(b ^ (1 + i % 255));
            content.push_back(b);
        }
        const Bytes normal = LzssEncode(content.data(), content.size(), Options(LzssLevel::Normal, 1, 1 << 16));
        const Bytes optimal = LzssEncode(content.data(), content.size(), Options(LzssLevel::Optimal, 1, 1 << 16));
        EXPECT_EQ(optimal.size(), normal.size());
        ExpectDecodes(content, normal);
    }
}

// The parse on both paths (vectors, plain C++): the same token at every
// position, tie for tie, and as few bits as a plain dynamic programme over
// 64-bit costs finds. Blocks past 2^20 positions cross the plain path's
// rebasing; stretches of all matches beside none swing the costs the most.
TEST(LzssParse, BothPathsTakeTheFewestBitsAlike)
{
    std::mt19937 rng(3);
    for (size_t size : {0, 1, 2, 3, 18, 19, 32, 33, 1000, 100000, (1 << 20) + 77}) {
        for (int density : {0, 30, 95, -1}) {  // % of positions with a match; -1: 40 with, 40 without
            SCOPED_TRACE(std::to_string(size) + " positions, density " + std::to_string(density));
            std::vector<uint8_t> length(size);
            for (size_t i = 0; i < size; i++) {
                const size_t most = std::min<size_t>(LZSS_MAX_MATCH, size - i);
                const bool match = density < 0 ? i / 40 % 2 == 0 : int(rng() % 100) < density;
                if (most >= LZSS_MIN_MATCH && match)
                    length[i] = static_cast<uint8_t>(density < 0 ? most : LZSS_MIN_MATCH + rng() % (most - 2));
            }
            std::vector<uint8_t> vectors = length, plain = length;
            lzss_blocks::ParseFewestBits(vectors.data(), size);
            lzss_blocks::ParseFewestBitsPortable(plain.data(), size);
            const auto differ = std::mismatch(vectors.begin(), vectors.end(), plain.begin());
            EXPECT_TRUE(differ.first == vectors.end()) << "the paths differ at " << (differ.first - vectors.begin());

            std::vector<uint64_t> fewest(size + 1, 0);
            for (size_t i = size; i-- > 0;) {
                fewest[i] = fewest[i + 1] + 9;
                for (size_t l = LZSS_MIN_MATCH; l <= length[i]; l++) fewest[i] = std::min(fewest[i], fewest[i + l] + 17);
            }
            uint64_t bits = 0;
            for (size_t i = 0; i < size;) {
                const uint8_t n = vectors[i];
                ASSERT_TRUE(n == 0 || (n >= LZSS_MIN_MATCH && n <= length[i])) << "token of " << int(n) << " at " << i;
                bits += n == 0 ? 9 : 17;
                i += n == 0 ? 1 : n;
            }
            EXPECT_EQ(fewest[0], bits);
        }
    }
}

// One pipeline, several streams (as pack's entries), taken while they are
// added: each stream is what it would be alone.
TEST(LzssLevels, StreamsThroughOnePipelineAreEachTheirOwn)
{
    const Bytes contents[] = {Text(12345, 50), {}, Bytes(1, 9), Runs(20000, 51), Photo(9000, 52), Text(10000, 53)};
    for (LzssLevel level : kLevels) {
        for (unsigned threads : {1u, 3u}) {
            SCOPED_TRACE(std::string(LevelName(level)) + ", " + std::to_string(threads) + " threads");
            const LzssOptions options = Options(level, threads, 4000);
            LzssPipeline pipeline(options);
            std::vector<Bytes> streams(1);
            size_t ended = 0;
            auto take = [&](bool wait) {
                for (;;) {
                    const LzssPipeline::Taken taken = pipeline.Take(streams.back(), wait);
                    if (!taken.any) return;
                    if (taken.streamEnd) {
                        // The block that ends a stream says which one, and its content's size.
                        EXPECT_EQ(ended, taken.tag);
                        EXPECT_EQ(contents[ended].size(), taken.content);
                        streams.emplace_back(), ended++;
                    }
                    if (!wait || !pipeline.Full()) return;
                }
            };
            for (const Bytes& content : contents) {
                for (size_t at = 0; at < content.size(); at += 777) {  // pieces that are not blocks
                    pipeline.Add(content.data() + at, std::min<size_t>(777, content.size() - at));
                    take(pipeline.Full());
                }
                pipeline.EndStream(static_cast<uint64_t>(&content - contents));  // its place as its tag
            }
            while (ended < std::size(contents)) take(true);
            EXPECT_EQ(0u, pipeline.Queued());
            for (size_t i = 0; i < std::size(contents); i++) {
                EXPECT_TRUE(streams[i] == LzssEncode(contents[i].data(), contents[i].size(), options)) << "stream " << i;
                ExpectDecodes(contents[i], streams[i]);
            }
        }
    }
}

// The optimal level's stream, fed in pieces that are not blocks, on one
// thread and on two, on fixed content: the sizes and checksums the
// single-threaded encoder gave before the blocks were put on threads.
TEST(LzssLevels, OptimalStreamIsTheOneItWasOnAnyThreads)
{
    struct Known {
        int kind;
        size_t size;
        uint32_t seed;
        size_t streamSize;
        uint64_t checksum;
    };
    const Known known[] = {
        {TEXT, (3 << 20) + 123, 5, 1185804, 0x7407c1ef71c93827ull},
        {PHOTO, 2 << 20, 6, 2129322, 0xcdc2944baa65ffbbull},
        {RUNS, (1 << 20) + 1, 7, 124775, 0x78e5dc4e11cc94a9ull},
        {RANDOM, (1 << 20) + 4097, 8, 1183950, 0xec82fbb19949057bull},
        {SOUND, 1 << 20, 9, 1144087, 0x3d3d4eca25a72397ull},
        {TEXT, 70000, 10, 26657, 0xdc522b38d6f21374ull},
    };
    for (const Known& k : known) {
        const Bytes content = Make(k.kind, k.size, k.seed);
        SCOPED_TRACE(std::string(KindName(k.kind)) + " " + std::to_string(k.size));
        ASSERT_EQ(k.size, content.size());
        Bytes stream;
        LzssPipeline pipeline{LzssOptions()};
        for (size_t at = 0; at < content.size(); at += 100000) {
            pipeline.Add(content.data() + at, std::min<size_t>(100000, content.size() - at));
            while (pipeline.Take(stream, false).any) {
            }
        }
        pipeline.EndStream();
        while (!pipeline.Take(stream, true).streamEnd) {
        }
        EXPECT_EQ(k.streamSize, stream.size());
        EXPECT_EQ(k.checksum, Fnv1a(stream));
        const Bytes threaded = LzssEncode(content.data(), content.size(), Options(LzssLevel::Optimal, 2, 1 << 20));
        EXPECT_TRUE(stream == threaded) << "two threads give another stream";
    }
}

// The fast and normal levels' streams on fixed content, on two threads:
// the sizes and checksums they had when each level had hash chains of its
// own, before one template served both (a change of either shows here).
// The normal level's text and photo streams are those of its larger tables
// of the newest four- and three-byte positions (fewer short matches lost to
// hash collisions) and of 18-byte matches carried on from the previous
// position: 0.09 % and 0.45 % smaller than before; runs, all long repeats,
// came out the same.
TEST(LzssLevels, FastAndNormalStreamsAreTheOnesTheyWere)
{
    struct Known {
        LzssLevel level;
        int kind;
        size_t size;
        uint32_t seed;
        size_t streamSize;
        uint64_t checksum;
    };
    const Known known[] = {
        {LzssLevel::Fast, TEXT, (1 << 20) + 4097, 11, 445614, 0xfc73b7ec387f147full},
        {LzssLevel::Fast, PHOTO, 300000, 12, 312675, 0x5b0db83a8cf135ccull},
        {LzssLevel::Fast, RUNS, 200000, 13, 23808, 0x12ff278111e006fcull},
        {LzssLevel::Normal, TEXT, (1 << 20) + 4097, 11, 397971, 0xe0f2b1a1be353baaull},
        {LzssLevel::Normal, PHOTO, 300000, 12, 313141, 0xf87c5d846d553e9dull},
        {LzssLevel::Normal, RUNS, 200000, 13, 23807, 0x1b396b57bee5d661ull},
    };
    for (const Known& k : known) {
        const Bytes content = Make(k.kind, k.size, k.seed);
        SCOPED_TRACE(std::string(LevelName(k.level)) + ", " + KindName(k.kind));
        const Bytes stream = LzssEncode(content.data(), content.size(), Options(k.level, 2, 1 << 20));
        EXPECT_EQ(k.streamSize, stream.size());
        EXPECT_EQ(k.checksum, Fnv1a(stream)) << std::hex << Fnv1a(stream);
    }
}

}  // namespace
