// The normal level of the LZSS encoder: matches from hash chains
// (writer/lzss_chains.h, the fast level's too), then the
// parse of fewest bits over them (writer/lzss_parse.cpp), as the optimal
// level parses its exact matches.
//
// Every position of the block's virtual text (writer/lzss_blocks.h) goes into
// two chains, of the earlier positions whose first eight bytes hash alike and
// of those whose first six do, and is the newest of those whose first four,
// and first three, bytes hash alike. The eight-byte chain is searched first,
// newest first, for at most kChainDepth candidates in the window; then, if
// that found less than eight bytes, the six-byte chain; then, for less than
// six, the newest position of the same four bytes, and for less than three,
// the newest of the same three. A search stops at a match of 18 bytes.
//
// The match found is the longest unless more than kChainDepth positions of
// the same leading bytes stand between, or a shorter match hides behind a
// newer one or a hash collision. Long keys keep the chains short on text of
// few words, where a four-byte chain held hundreds of candidates. The cost
// in size against the optimal level, measured (bench/README.md): under
// 0.5 % on the pack benchmark's text and on real English text, 0.7 % on text
// of eight words, under 0.3 % on photo- and sound-like content.
#include <cstring>
#include <vector>

#include "writer/lzss_chains.h"

namespace lzss_blocks {

namespace {

constexpr int kChainDepth = 16;
constexpr int kChainHashBits = 15;
constexpr int kHeadHashBits = 14;
constexpr int32_t kWindow = kChainWindow;

struct Chains {
    const uint8_t* text;
    HashChain<8, kChainHashBits, kChainDepth> long8;
    HashChain<6, kChainHashBits, kChainDepth> long6;
    std::vector<int32_t> newest4 = std::vector<int32_t>(size_t(1) << kHeadHashBits, kChainNone);
    std::vector<int32_t> newest3 = std::vector<int32_t>(size_t(1) << kHeadHashBits, kChainNone);

    // Adds v; returns the newest earlier positions of its hashes.
    void Link(int32_t v, int32_t& c8, int32_t& c6, int32_t& c4, int32_t& c3)
    {
        const uint8_t* key = text + v;
        c8 = long8.Link(v, key);
        c6 = long6.Link(v, key);
        int32_t& h4 = newest4[KeyHash(key, 4, kHeadHashBits)];
        int32_t& h3 = newest3[KeyHash(key, 3, kHeadHashBits)];
        c4 = h4;
        c3 = h3;
        h4 = h3 = v;
    }

    void Add(int64_t position)
    {
        int32_t c8, c6, c4, c3;
        Link(static_cast<int32_t>(position), c8, c6, c4, c3);
    }

    int Insert(int64_t position, int64_t& source)
    {
        const int32_t v = static_cast<int32_t>(position);
        const uint8_t* key = text + v;
        int32_t c8, c6, c4, c3;
        Link(v, c8, c6, c4, c3);
        // A match of three bytes needs a position of the same first three
        // bytes in the window, one of four or more a position of the same
        // four: where the newest position of their hash lies outside the
        // window, there is no such match to look for (at most positions of
        // noise-like content).
        if (v - c3 > kWindow) return 0;
        int best = LZSS_MIN_MATCH - 1;
        if (v - c4 <= kWindow) {
            best = long8.Search(text, v, c8, best, LZSS_MAX_MATCH, source);
            if (best < 8) best = long6.Search(text, v, c6, best, LZSS_MAX_MATCH, source);
            if (best < 6) {
                const int length = CommonPrefix(key, text + c4, 0);
                if (length > best) {
                    best = length;
                    source = c4;
                }
            }
        }
        if (best < LZSS_MIN_MATCH && std::memcmp(text + c3, key, 3) == 0) {
            best = LZSS_MIN_MATCH;
            source = c3;
        }
        return best >= LZSS_MIN_MATCH ? best : 0;
    }
};

}  // namespace

void EncodeNormal(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens)
{
    Chains chains;
    chains.text = text;
    EncodeFewestBits(chains, text, history, start, size, tokens);
}

}  // namespace lzss_blocks
