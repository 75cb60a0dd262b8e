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
// Where the previous position's match of 18 bytes goes on for 18 bytes
// here (inside a long repeat: a fifth to a third of the positions of
// English text), that is the longest there is and nothing is searched;
// where it goes on for 17, the searches start from it and only look for
// longer ones.
//
// The match found is the longest unless more than kChainDepth positions of
// the same leading bytes stand between, or a shorter match hides behind a
// newer one or a hash collision. Long keys keep the chains short on text of
// few words, where a four-byte chain held hundreds of candidates. The cost
// in size against the optimal level, measured (bench/README.md): under
// 0.5 % on the pack benchmark's text, its manual pages and its change logs,
// 0.3 % to 0.7 % on the other English text found on a Debian machine, 0.7 %
// on text of eight words, under 0.3 % on photo- and sound-like content.
#include <cstring>
#include <vector>

#include "writer/lzss_chains.h"

namespace lzss_blocks {

namespace {

constexpr int kChainDepth = 16;
constexpr int kChainHashBits = 15;
// The newest positions of the four- and three-byte hashes: 2^16 of each
// (256 KiB a table). With 2^14, on English text one position in a few dozen
// found the newest position of another key there and lost its short match
// (0.2 % to 0.3 % of the output, bench/README.md), at no gain in speed.
constexpr int kHeadHashBits = 16;
constexpr int32_t kWindow = kChainWindow;

struct Chains {
    const uint8_t* text;
    // The match found at the previous position (of the block): its
    // length (0: none) and source.
    int lastLength = 0;
    int32_t lastSource = 0;
    HashChain<8, kChainHashBits, kChainDepth> long8;
    HashChain<6, kChainHashBits, kChainDepth> long6;
    std::vector<int32_t> newest4 = std::vector<int32_t>(size_t(1) << kHeadHashBits, kChainNone);
    std::vector<int32_t> newest3 = std::vector<int32_t>(size_t(1) << kHeadHashBits, kChainNone);

    // The hashes of the next position's keys, computed one position ahead
    // so that their table entries are fetched while this one is searched.
    int32_t hashed = -1;  // the position they are for
    uint32_t hash8 = 0, hash6 = 0, hash4 = 0, hash3 = 0;

    void HashAhead(int32_t v)
    {
        const uint8_t* key = text + v;
        hashed = v;
        hash8 = ChainHash<8, kChainHashBits>(key);
        hash6 = ChainHash<6, kChainHashBits>(key);
        hash4 = KeyHash(key, 4, kHeadHashBits);
        hash3 = KeyHash(key, 3, kHeadHashBits);
        __builtin_prefetch(&long8.head[hash8], 1);
        __builtin_prefetch(&long6.head[hash6], 1);
        __builtin_prefetch(&newest4[hash4], 1);
        __builtin_prefetch(&newest3[hash3], 1);
    }

    // Adds v; returns the newest earlier positions of its hashes.
    void Link(int32_t v, int32_t& c8, int32_t& c6, int32_t& c4, int32_t& c3)
    {
        if (hashed != v) HashAhead(v);
        const uint32_t h8 = hash8, h6 = hash6, h4 = hash4, h3 = hash3;
        HashAhead(v + 1);  // the virtual text's padding keeps v + 1's key readable
        c8 = long8.LinkHashed(v, h8);
        c6 = long6.LinkHashed(v, h6);
        c4 = newest4[h4];
        c3 = newest3[h3];
        newest4[h4] = newest3[h3] = v;
    }

    void Add(int64_t position)
    {
        int32_t c8, c6, c4, c3;
        Link(static_cast<int32_t>(position), c8, c6, c4, c3);
    }

    int Insert(int64_t position, int64_t& source)
    {
        const int n = Find(static_cast<int32_t>(position), source);
        lastLength = n;
        lastSource = static_cast<int32_t>(source);
        return n;
    }

    int Find(int32_t v, int64_t& source)
    {
        const uint8_t* key = text + v;
        int32_t c8, c6, c4, c3;
        Link(v, c8, c6, c4, c3);
        // The previous position's match of 18 bytes goes on here, at the
        // same distance, for 17 bytes at least: where it is of 18 bytes, no
        // search can find longer. (After a shorter match, trying its rest
        // cost more than it saved: the searches find it all the same.)
        int seed = 0;
        if (lastLength == LZSS_MAX_MATCH) {
            seed = CommonPrefix(key, text + lastSource + 1, lastLength - 1);
            if (seed >= LZSS_MAX_MATCH) {
                source = lastSource + 1;
                return seed;
            }
        }
        // A match of three bytes needs a position of the same first three
        // bytes in the window, one of four or more a position of the same
        // four: where the newest position of their hash lies outside the
        // window, there is no such match to look for (at most positions of
        // noise-like content).
        if (v - c3 > kWindow) return 0;
        int best = LZSS_MIN_MATCH - 1;
        if (seed > best) {
            best = seed;
            source = lastSource + 1;
        }
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
