// The fast level of the LZSS encoder: lazy matching over hash chains
// (writer/lzss_chains.h, the normal level's too).
//
// Every position of the block's virtual text (writer/lzss_blocks.h) goes into
// a chain of the earlier positions whose first three bytes hash alike; a
// match is searched along the chain, newest first, for at most kChainDepth
// candidates inside the window. A match is taken unless it is shorter than
// kLazyBelow and the next position starts a longer one, in which case the
// byte is coded as a literal and the longer match is considered in turn
// (lazy matching, as deflate's faster levels do). Matches stop at the
// block's end. The two limits were chosen on the pack benchmark's content
// (bench/README.md): deeper chains or lazy evaluation of every match cost a
// quarter of the speed for under 1 % of size.
#include <cstring>
#include <vector>

#include "writer/lzss_chains.h"

namespace lzss_blocks {

namespace {

constexpr int kHashBits = 14;
constexpr int kChainDepth = 8;
constexpr int kLazyBelow = 6;
constexpr int64_t kPrefix = kHistory;

struct Chains {
    const uint8_t* text;
    HashChain<3, kHashBits, kChainDepth> chain;

    void Insert(int32_t v) { chain.Link(v, text + v); }

    // Inserts v and returns the longest match there (0 when shorter than 3)
    // among the chain's first kChainDepth candidates in the window, at most
    // `limit` bytes long; its position in `source`.
    int Find(int32_t v, int limit, int32_t& source)
    {
        const int32_t newest = chain.Link(v, text + v);
        int64_t found = 0;
        int best = chain.Search(text, v, newest, LZSS_MIN_MATCH - 1, limit, found);
        if (best > limit) best = limit;
        if (best < LZSS_MIN_MATCH) return 0;
        source = static_cast<int32_t>(found);
        return best;
    }
};

}  // namespace

void EncodeFast(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens)
{
    tokens.Start(size);
    if (size == 0) return;
    Chains chains;
    chains.text = text;
    // All of real history; at the stream's start the last zeros of the ring
    // (older zero positions would only repeat their key).
    for (int64_t v = history ? 0 : kPrefix - LZSS_MAX_MATCH; v < kPrefix; v++)
        chains.Insert(static_cast<int32_t>(v));

    const int64_t end = kPrefix + static_cast<int64_t>(size);
    auto limitAt = [&](int64_t v) {
        return static_cast<int>(end - v < int64_t(LZSS_MAX_MATCH) ? end - v : int64_t(LZSS_MAX_MATCH));
    };
    int64_t v = kPrefix;
    int32_t source = 0;
    int length = chains.Find(static_cast<int32_t>(v), limitAt(v), source);
    while (v < end) {
        if (length == 0) {
            tokens.Literal(text[v]);
            v++;
            if (v < end) length = chains.Find(static_cast<int32_t>(v), limitAt(v), source);
            continue;
        }
        if (length < kLazyBelow && v + 1 < end) {
            int32_t nextSource = 0;
            const int next = chains.Find(static_cast<int32_t>(v + 1), limitAt(v + 1), nextSource);
            if (next > length) {
                tokens.Literal(text[v]);
                v++;
                length = next;
                source = nextSource;
                continue;
            }
            // v + 1 is in the chains already.
            tokens.Reference(RingPosition(source, start), static_cast<unsigned>(length));
            for (int64_t k = v + 2; k < v + length; k++) chains.Insert(static_cast<int32_t>(k));
        } else {
            tokens.Reference(RingPosition(source, start), static_cast<unsigned>(length));
            for (int64_t k = v + 1; k < v + length; k++) chains.Insert(static_cast<int32_t>(k));
        }
        v += length;
        length = v < end ? chains.Find(static_cast<int32_t>(v), limitAt(v), source) : 0;
    }
}

}  // namespace lzss_blocks
