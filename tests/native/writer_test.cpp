// LZSS encoder and archive writer.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/lzss.h"
#include "tests/support/archive_builder.h"
#include "writer/lzss_encoder.h"
#include "tests/support/test_content.h"

namespace {

using namespace test_content;

Bytes Decode(const Bytes& stream, size_t size)
{
    Bytes out(size);
    LzssDecode(stream.data(), static_cast<uint32_t>(stream.size()), out.data(), static_cast<uint32_t>(size));
    return out;
}

// Greedy longest match over the same window (distances 1..4096 into the
// zero-initialised ring, overlaps allowed), through exhaustive hash chains.
Bytes GreedyEncode(const Bytes& data)
{
    const long prefix = LZSS_RING_SIZE, n = static_cast<long>(data.size());
    Bytes text(prefix + n + 2, 0);
    std::copy(data.begin(), data.end(), text.begin() + prefix);
    std::unordered_map<uint32_t, long> head;
    std::vector<long> prev(text.size(), -1);
    auto insert = [&](long v) {
        const uint32_t key = text[v] | text[v + 1] << 8 | text[v + 2] << 16;
        auto it = head.find(key);
        prev[v] = it == head.end() ? -1 : it->second;
        head[key] = v;
    };
    for (long v = 0; v < prefix; v++) insert(v);
    Bytes out;
    size_t flagAt = 0;
    for (long i = 0, token = 0; i < n; token++) {
        if (token % 8 == 0) flagAt = out.size(), out.push_back(0);
        const long v = prefix + i;
        long best = 0, source = 0;
        const uint32_t key = text[v] | text[v + 1] << 8 | text[v + 2] << 16;
        for (long c = head.count(key) ? head[key] : -1; c >= 0 && v - c <= LZSS_RING_SIZE && best < 18; c = prev[c]) {
            long len = 0;
            while (len < 18 && i + len < n && text[c + len] == text[v + len]) len++;
            if (len > best) best = len, source = c;
        }
        if (best < 3) best = 1, out.push_back(data[i]);
        else {
            const long p = (source + LZSS_RING_START) & (LZSS_RING_SIZE - 1);
            out[flagAt] |= 1 << (token % 8);
            out.push_back(p & 0xFF);
            out.push_back(((p >> 4) & 0xF0) | (best - 3));
        }
        for (long k = 0; k < best; k++) insert(v + k);
        i += best;
    }
    return out;
}

TEST(LzssEncode, RoundTripsExactlyWithNoTokenPastTheEnd)
{
    struct Case {
        std::string name;
        Bytes input;
    };
    std::vector<Case> cases = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"two bytes", {0, 0}},
        {"three zeros", Bytes(3, 0)},
        {"17 zeros", Bytes(17, 0)},
        {"19 zeros", Bytes(19, 0)},
        {"4078 zeros", Bytes(4078, 0)},
        {"5000 zeros", Bytes(5000, 0)},
        {"zeros then text", Cat({Bytes(40, 0), Text(300)})},
        {"run", Bytes(1000, 0x41)},
        {"random", Random(10000, 1)},
        {"four-letter alphabet", Random(9000, 2, 4)},
        {"text", Text(20000)},
        {"bitmap", Bitmap(18000)},
        {"wave", Wave(10000)},
        {"period 4096", Cat({Random(4096, 3), Random(4096, 3)})},
        {"period 4097", Cat({Random(4097, 4), Random(4097, 4)})},
        {"period 4095", Cat({Random(4095, 5), Random(4095, 5)})},
    };
    for (size_t size : {4095, 4096, 4097, 18 * 227, 18 * 228 + 1, 18 * 229 - 1, 8192 + 17})
        cases.push_back({"text of " + std::to_string(size), Text(size, static_cast<uint32_t>(size))});

    for (const Case& c : cases) {
        const Bytes stream = LzssEncode(c.input);
        EXPECT_EQ(c.input, Decode(stream, c.input.size())) << c.name;
        EXPECT_EQ(static_cast<int32_t>(c.input.size()),
                  LzssDecodedSize(stream.data(), static_cast<uint32_t>(stream.size())))
            << c.name;
    }
}

TEST(LzssEncode, UsesTheInitialRingOverlapsAndTheWholeWindow)
{
    // 18 zeros: one reference of length 18 into the untouched ring.
    const Bytes zeros = LzssEncode(Bytes(18, 0));
    ASSERT_EQ(3u, zeros.size());
    EXPECT_EQ(0x01, zeros[0]);
    EXPECT_EQ(0x0F, zeros[2] & 0x0F);
    EXPECT_EQ(5u, LzssEncode(Bytes(36, 0)).size());

    // 19 a's: a literal, then 18 bytes copied from the position just behind
    // the write position (4078 = 0xFEE), overlapping what it writes.
    EXPECT_EQ(Bytes({0x02, 'a', 0xEE, 0xFF}), LzssEncode(Bytes(19, 'a')));

    // A block repeated at distance 4096 (the whole window) is all references;
    // the round trips above show that 4097 is never used.
    const Bytes block = Random(4096, 9);
    EXPECT_LT(LzssEncode(Cat({block, block})).size(), 4096u + 512 + 2 * 228 + 29 + 8);
}

TEST(LzssEncode, NoLargerThanGreedyLongestMatch)
{
    const std::vector<std::pair<std::string, Bytes>> inputs = {
        {"text", Text(24000, 7)},
        {"bitmap", Bitmap(25000)},
        {"wave", Wave(24000)},
        {"mixed", Cat({Bytes(300, 0), Text(6000, 8), Random(3000, 9, 16), Bitmap(7000), Bytes(500, 0xFF)})},
    };
    for (const auto& [name, input] : inputs) {
        const Bytes greedy = GreedyEncode(input);
        ASSERT_EQ(input, Decode(greedy, input.size())) << name << ": the reference itself is wrong";
        const Bytes ours = LzssEncode(input);
        EXPECT_LE(ours.size(), greedy.size()) << name;
        EXPECT_LT(ours.size(), input.size()) << name;
    }
}

TEST(ArchiveWriter, EachLayoutByteForByte)
{
    using test_archive::Layout;
    // LzssEncode("aaaa") = flag 0x02, literal 'a', reference to 4078 (0xFEE) of length 3.
    const Bytes aaaa = Str("aaaa");
    struct Case {
        const char* name;
        Layout layout;
        std::vector<test_archive::Entry> entries;
        Bytes expected;
    };
    const Case cases[] = {
        {"raw", Layout::Raw, {test_archive::Plain({1, 2, 3}), test_archive::Empty(), test_archive::Plain({4})},
         {3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 2, 3, 4}},
        {"kind-size", Layout::KindSize, {test_archive::Plain(Str("AB")), test_archive::Compressed(aaaa)},
         {2, 0, 0, 0, 8, 0, 0, 0, 10, 0, 0, 0,       //
          0, 0, 2, 0, 0, 0, 'A', 'B',                //
          1, 0, 4, 0, 0, 0, 0x02, 'a', 0xEE, 0xF0}},
        {"kind-only", Layout::KindOnly, {test_archive::Plain({9}), test_archive::Empty(), test_archive::Compressed(aaaa)},
         {3, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0,  //
          0, 0, 9,                                          //
          1, 0, 0x02, 'a', 0xEE, 0xF0}},
    };
    for (const Case& c : cases) {
        test_archive::Options options;
        options.layout = c.layout;
        EXPECT_EQ(c.expected, test_archive::BuildArchive(c.entries, options)) << c.name;
    }
}

TEST(ArchiveWriter, DamageOptionsChangeOnlyTheirField)
{
    // Count 2, sizes 8 and 10 at 4 and 8; entry 0 at 12 (kind, declared, "xy"), entry 1 at 20.
    const std::vector<test_archive::Entry> good = {test_archive::Plain(Str("xy")), test_archive::Compressed(Str("aaaa"))};
    test_archive::Options options;
    options.layout = test_archive::Layout::KindSize;
    const Bytes base = test_archive::BuildArchive(good, options);
    ASSERT_EQ(30u, base.size());

    struct Case {
        const char* name;
        std::function<void(std::vector<test_archive::Entry>&, test_archive::Options&)> damage;
        std::function<void(Bytes&)> expect;
    };
    const Case cases[] = {
        {"kind", [](auto& e, auto&) { e[0].kind = 8; }, [](Bytes& b) { b[12] = 8; }},
        {"declared", [](auto& e, auto&) { e[1].declaredSize = -1; },
         [](Bytes& b) { std::fill(b.begin() + 22, b.begin() + 26, 0xFF); }},
        {"stored size", [](auto& e, auto&) { e[0].storedSize = 0x12345678; },
         [](Bytes& b) { b[4] = 0x78, b[5] = 0x56, b[6] = 0x34, b[7] = 0x12; }},
        {"stored bytes", [](auto& e, auto&) { e[0].storedBytes = Bytes{0xAA}; },
         [](Bytes& b) { b[4] = 1, b.erase(b.begin() + 12, b.begin() + 20), b.insert(b.begin() + 12, 0xAA); }},
        {"count", [](auto&, auto& o) { o.count = 0x2000; }, [](Bytes& b) { b[0] = 0, b[1] = 0x20; }},
        {"truncate", [](auto&, auto& o) { o.truncate = 5; }, [](Bytes& b) { b.resize(5); }},
        {"truncate past the end", [](auto&, auto& o) { o.truncate = 100; }, [](Bytes&) {}},
        {"leading bytes", [](auto&, auto& o) { o.leadingBytes = 3; },
         [](Bytes& b) { b.insert(b.begin(), 3, 0xEE); }},
    };
    for (const Case& c : cases) {
        std::vector<test_archive::Entry> entries = good;
        test_archive::Options o = options;
        c.damage(entries, o);
        Bytes expected = base;
        c.expect(expected);
        EXPECT_EQ(expected, test_archive::BuildArchive(entries, o)) << c.name;
    }
}

}  // namespace
