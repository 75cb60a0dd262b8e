// LZSS decoder and decoded-size scan: small hand-made streams with known
// output, then the fast decoder against the byte-loop reference over many
// generated, encoded and garbage streams, truncated and cut at every length,
// whole and in pieces (input and output cut anywhere, as extraction cuts them).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "archive/lzss.h"
#include "tests/support/lzss_pieces.h"
#include "tests/support/lzss_reference.h"
#include "writer/lzss_encoder.h"
#include "tests/support/test_content.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Decodes into a buffer of exactly `wanted` bytes (heap, so that ASan sees
// any write past it) from a copy of the input of exactly its length.
Bytes Decode(const Bytes& stream, size_t inputLength, size_t wanted)
{
    Bytes in(stream.begin(), stream.begin() + inputLength);
    Bytes out(wanted, 0xCD);
    LzssDecode(in.data(), (uint32_t)in.size(), out.data(), (uint32_t)out.size());
    return out;
}

Bytes Reference(const Bytes& stream, size_t inputLength, size_t wanted)
{
    Bytes out(wanted, 0xCD);
    ReferenceLzssDecode(stream.data(), (uint32_t)inputLength, out.data(), (uint32_t)wanted);
    return out;
}

int32_t Scan(const Bytes& stream, size_t inputLength)
{
    Bytes in(stream.begin(), stream.begin() + inputLength);
    return LzssDecodedSize(in.data(), (uint32_t)in.size());
}

void ExpectSameInPieces(const Bytes& stream, size_t decoded, size_t step = 1);

struct Case {
    const char* what;
    Bytes stream;
    Bytes output;  // everything the whole stream decodes to
};

Bytes Literals(size_t n, uint8_t first)
{
    Bytes v(n);
    for (size_t i = 0; i < n; i++) v[i] = (uint8_t)(first + i);
    return v;
}

// A stream of literal tokens followed by one reference, the flag bytes
// placed every eight tokens.
Bytes LiteralsThenReference(const Bytes& literals, uint8_t b0, uint8_t b1)
{
    Bytes s;
    size_t flagAt = 0;
    for (size_t t = 0; t <= literals.size(); t++) {
        if (t % 8 == 0) {
            flagAt = s.size();
            s.push_back(0);
        }
        if (t < literals.size()) {
            s.push_back(literals[t]);
        } else {
            s[flagAt] |= (uint8_t)(1u << (t % 8));
            s.push_back(b0);
            s.push_back(b1);
        }
    }
    return s;
}

std::vector<Case> HandMadeCases()
{
    Bytes l20 = Literals(20, 0x40);
    return {
        {"abc, then a reference that overlaps what it writes",
         {0x08, 0x61, 0x62, 0x63, 0xEE, 0xF3},
         {0x61, 0x62, 0x63, 0x61, 0x62, 0x63, 0x61, 0x62, 0x63}},
        {"reference into the untouched ring", {0x01, 0x00, 0x00}, {0, 0, 0}},
        // ring 4076 and 4077 were never written; 4078 and 4079 hold "ab",
        // then the copy reads back its own zeros.
        {"reference partly before the first output",
         LiteralsThenReference({'a', 'b'}, 0xEC, 0xF3),
         {'a', 'b', 0, 0, 'a', 'b', 0, 0}},
        // 20 literals fill 4078..4095, 0, 1; the reference reads 4094, 4095,
        // 0, 1 and then position 2, which its first byte has just written.
        {"write position wraps, source wraps", LiteralsThenReference(l20, 0xFE, 0xF2),
         test_content::Cat({l20, {0x50, 0x51, 0x52, 0x53, 0x50}})},
        {"ninth token takes bit 0 of the second flag byte", LiteralsThenReference(Literals(8, 'a'), 0xEE, 0xF0),
         Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'a', 'b', 'c'}},
        {"length-18 reference to the byte just written", {0x02, 'z', 0xEE, 0xFF},
         test_content::Cat({{'z'}, Bytes(18, 'z')})},
    };
}

TEST(Lzss, HandMadeStreamsDecodeAndScanExactly)
{
    for (const Case& c : HandMadeCases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.output, Decode(c.stream, c.stream.size(), c.output.size()));
        EXPECT_EQ((int32_t)c.output.size(), Scan(c.stream, c.stream.size()));
        // Every shorter wanted length is a prefix; a longer one is zero-padded.
        for (size_t wanted = 0; wanted <= c.output.size() + 3; wanted++) {
            Bytes expected(c.output.begin(), c.output.begin() + std::min(wanted, c.output.size()));
            expected.resize(wanted, 0);
            EXPECT_EQ(expected, Decode(c.stream, c.stream.size(), wanted)) << "wanted " << wanted;
        }
        ExpectSameInPieces(c.stream, c.output.size());
    }
}

TEST(Lzss, ScanCountsOnlyCompleteTokens)
{
    const Bytes abc = {0x08, 0x61, 0x62, 0x63, 0xEE, 0xF3};
    const int32_t expected[] = {0, 0, 1, 2, 3, 3, 9};  // by input length 0..6
    for (size_t n = 0; n <= abc.size(); n++) EXPECT_EQ(expected[n], Scan(abc, n)) << n;
    // Input cut inside the reference: the decoder stops too, zero-filling.
    EXPECT_EQ(Bytes({0x61, 0x62, 0x63, 0, 0, 0, 0}), Decode(abc, 5, 7));
}

TEST(Lzss, UnwrittenRingReadsZeroUntilTheWriteWraps)
{
    // Literals, then 18-byte references to ring position 4077, the last one
    // that output reaches (as byte 4095): they yield zeros until byte 4095 is
    // out, then copy it.
    for (size_t literals = 3780; literals <= 4120; literals += 3) {
        Bytes s;
        for (size_t t = 0; t < literals + 24; t++) {
            if (t % 8 == 0) s.push_back(t < literals ? 0 : 0xFF);
            if (t < literals) s.push_back((uint8_t)(0x11 + t % 7));
            else s.insert(s.end(), {0xED, 0xFF});
        }
        if (literals % 8) s[literals / 8 * 9] = (uint8_t)(0xFF << (literals % 8));
        size_t decoded = literals + 24 * 18;
        Bytes out = Decode(s, s.size(), decoded);
        ASSERT_EQ(Reference(s, s.size(), decoded), out) << literals;
        EXPECT_EQ(literals <= 4095 ? 0 : 0x11 + 4095 % 7, out[literals]) << literals;
    }
}

TEST(Lzss, ZeroWantedBytesReadsAndWritesNothing)
{
    LzssDecode(nullptr, 1000, nullptr, 0);  // any read or write would crash
    EXPECT_EQ(0, LzssDecodedSize(nullptr, 0));
}

TEST(Lzss, ScanSaturatesInsteadOfWrapping)
{
    // Groups of eight 18-byte references: 144 output bytes per 17 input bytes.
    const size_t groups = (size_t)INT32_MAX / 144 + 1;
    Bytes s(groups * 17, 0x0F);
    for (size_t g = 0; g < groups; g++) s[g * 17] = 0xFF;
    EXPECT_EQ(INT32_MAX, LzssDecodedSize(s.data(), (uint32_t)s.size()));
    EXPECT_EQ((int32_t)((groups - 1) * 144), LzssDecodedSize(s.data(), (uint32_t)(s.size() - 17)));
}

// A random but well-formed token stream: `refShare` percent of the tokens
// are references from at most `maxDistance` back (4,096: anywhere in the
// ring), of length minLength to 18. Also returns the decoded length.
Bytes RandomStream(std::mt19937& rng, size_t tokens, int refShare, uint32_t maxDistance, uint32_t minLength,
                   size_t* decoded)
{
    Bytes s;
    size_t flagAt = 0, out = 0;
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<uint32_t> distance(1, maxDistance), nibble(minLength - 3, 15), byte(0, 255);
    for (size_t t = 0; t < tokens; t++) {
        if (t % 8 == 0) {
            flagAt = s.size();
            s.push_back(0);
        }
        if (percent(rng) < refShare) {
            s[flagAt] |= (uint8_t)(1u << (t % 8));
            uint32_t p = (uint32_t)(LZSS_RING_START + out - distance(rng)) & 4095;
            uint32_t n = nibble(rng);
            s.push_back((uint8_t)p);
            s.push_back((uint8_t)((p >> 8) << 4 | n));
            out += n + 3;
        } else {
            s.push_back((uint8_t)byte(rng));
            out += 1;
        }
    }
    *decoded = out;
    return s;
}

// Fast decoder == reference for the whole stream, for every truncation of
// it and for every wanted length; scan == reference scan at every length.
void ExpectSameAsReference(const Bytes& stream, size_t decoded, size_t step = 1)
{
    ASSERT_EQ(Reference(stream, stream.size(), decoded), Decode(stream, stream.size(), decoded));
    for (size_t n = 0; n <= stream.size(); n += step) {
        ASSERT_EQ(Reference(stream, n, decoded + 20), Decode(stream, n, decoded + 20)) << "input " << n;
        ASSERT_EQ(ReferenceLzssDecodedSize(stream.data(), (uint32_t)n), Scan(stream, n)) << "input " << n;
    }
    for (size_t wanted = 0; wanted <= decoded; wanted += step)
        ASSERT_EQ(Reference(stream, stream.size(), wanted), Decode(stream, stream.size(), wanted)) << "wanted " << wanted;
}

// The resumable decoder and scan give what the reference gives on the whole
// stream, however the input and the output are cut: one cut of the input at
// every `step`-th place, one cut of the output at every `step`-th place (the
// rest then decoded with only 4,096 bytes of history), and random small
// pieces and rooms for every truncation and every wanted length.
void ExpectSameInPieces(const Bytes& stream, size_t decoded, size_t step)
{
    const size_t wanted = decoded + 20, n = stream.size(), whole = (size_t)-1 / 4;
    const Bytes expected = Reference(stream, n, wanted);
    const int32_t count = (int32_t)ReferenceLzssDecodedSize(stream.data(), (uint32_t)n);
    for (size_t cut = 0; cut <= n; cut += step) {
        int k = 0;
        auto once = [&] { return k++ % 2 ? whole : cut; };
        ASSERT_EQ(expected, DecodeInPieces(stream.data(), n, wanted, once, [&] { return whole; })) << "input cut " << cut;
        k = 0;
        ASSERT_EQ(count, ScanInPieces(stream.data(), n, once)) << "input cut " << cut;
        // Cut there by the end of the file, the rest of the stored length read as zeros.
        for (size_t zeros : {1, 2, 3, 9, 10, 26, 1000}) {
            Bytes padded(stream.begin(), stream.begin() + cut);
            padded.resize(cut + zeros, 0);
            LzssScan scan;
            LzssScanStart(&scan);
            LzssScanSome(&scan, stream.data(), (uint32_t)cut);
            LzssScanZeros(&scan, zeros);
            ASSERT_EQ(ReferenceLzssDecodedSize(padded.data(), (uint32_t)padded.size()), LzssScanCount(&scan))
                << "input cut " << cut << ", zeros " << zeros;
        }
    }
    for (size_t cut = 1; cut < wanted; cut += step) {
        int k = 0;
        ASSERT_EQ(expected, DecodeInPieces(stream.data(), n, wanted, [&] { return whole; },
                                           [&] { return k++ ? whole : cut; }))
            << "output cut " << cut;
    }
    std::mt19937 rng((uint32_t)n);
    auto piece = [&] { return (size_t)(rng() % 24 + 1); };
    auto room = [&] { return (size_t)(rng() % 3 ? rng() % 40 + 1 : rng() % 6000 + 1); };
    for (size_t length = 0; length <= n; length += step) {
        ASSERT_EQ(Reference(stream, length, wanted), DecodeInPieces(stream.data(), length, wanted, piece, room))
            << "input " << length;
        ASSERT_EQ(ReferenceLzssDecodedSize(stream.data(), (uint32_t)length), ScanInPieces(stream.data(), length, piece))
            << "input " << length;
    }
    for (size_t w = 0; w <= wanted; w += step)
        ASSERT_EQ(Reference(stream, n, w), DecodeInPieces(stream.data(), n, w, piece, room)) << "wanted " << w;
}

TEST(Lzss, GeneratedStreamsMatchTheReference)
{
    std::mt19937 rng(7);
    struct Mix { int refShare; uint32_t maxDistance, minLength; size_t tokens; };
    const Mix mixes[] = {
        {5, 4096, 3, 900},    // mostly literals, references anywhere (often into the unwritten ring)
        {50, 32, 3, 700},     // close, overlapping references of every distance below the chunk sizes
        {90, 4096, 3, 500},   // mostly references, sources wrapping around the ring
        {100, 3, 3, 300},     // only short-distance repeats
        {100, 4096, 18, 300}, // whole groups of 18-byte references: the most output per group
        {40, 200, 3, 1100},   // more than 4,096 output bytes: the whole ring reused
    };
    for (const Mix& m : mixes) {
        for (int round = 0; round < 2; round++) {
            size_t decoded = 0;
            Bytes s = RandomStream(rng, m.tokens + round, m.refShare, m.maxDistance, m.minLength, &decoded);
            SCOPED_TRACE(testing::Message() << "refShare " << m.refShare << " round " << round);
            EXPECT_EQ((int32_t)decoded, Scan(s, s.size()));
            ExpectSameAsReference(s, decoded);
            ExpectSameInPieces(s, decoded, decoded < 3000 ? 1 : 7);
        }
    }
}

TEST(Lzss, GarbageMatchesTheReference)
{
    std::mt19937 rng(11);
    for (size_t size : {1, 2, 17, 24, 25, 26, 160, 999, 2000}) {
        Bytes s(size);
        for (uint8_t& b : s) b = (uint8_t)rng();
        ExpectSameAsReference(s, (size_t)ReferenceLzssDecodedSize(s.data(), (uint32_t)s.size()) + 1);
        ExpectSameInPieces(s, (size_t)ReferenceLzssDecodedSize(s.data(), (uint32_t)s.size()) + 1, size > 999 ? 3 : 1);
    }
}

TEST(Lzss, EncodedContentRoundTripsAndScansToItsLength)
{
    for (int kind = 0; kind < test_content::KIND_COUNT; kind++) {
        for (size_t size : {0, 1, 5, 300, 9000, 70000}) {
            Bytes content = test_content::Make(kind, size, 100 + kind);
            Bytes stream = LzssEncode(content);
            SCOPED_TRACE(testing::Message() << test_content::KindName(kind) << " " << size);
            EXPECT_EQ(content, Decode(stream, stream.size(), content.size()));
            EXPECT_EQ((int32_t)size, Scan(stream, stream.size()));
            if (size == 9000) {
                ExpectSameAsReference(stream, size, 7);
                ExpectSameInPieces(stream, size, 11);
            }
        }
    }
    const Bytes zeros(5000, 0), packed = LzssEncode(zeros);  // matches straight out of the initial ring
    EXPECT_EQ(zeros, Decode(packed, packed.size(), zeros.size()));
}

}  // namespace
