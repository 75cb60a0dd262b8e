// Hash chains of earlier positions, the match finder of the LZSS encoder's
// fast and normal levels (writer/lzss_fast.cpp, writer/lzss_normal.cpp).
// Internal to the encoder.
//
// Positions are those of a block's virtual text (writer/lzss_blocks.h). A
// chain links every position to the previous one whose first kKey bytes
// hash alike; a search walks it newest first, for at most kDepth
// candidates inside the window, and keeps the longest match.
#ifndef MORQUENT_WRITER_LZSS_CHAINS_H
#define MORQUENT_WRITER_LZSS_CHAINS_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "writer/lzss_blocks.h"

namespace lzss_blocks {

constexpr int32_t kChainWindow = LZSS_RING_SIZE;             // distances 1..4096
constexpr int32_t kChainNone = -(int32_t(1) << 29);          // never in the window; v - kChainNone never overflows
constexpr size_t kChainLinks = 2 * LZSS_RING_SIZE;           // links, by position mod 8192

// The first `n` bytes at p (n <= 8; 8 readable), as a number.
inline uint64_t KeyPrefix(const uint8_t* p, int n)
{
    uint64_t x;
    std::memcpy(&x, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    return x << (64 - 8 * n);
}

inline uint32_t KeyHash(const uint8_t* p, int n, int bits)
{
    return static_cast<uint32_t>((KeyPrefix(p, n) * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// The hash of a chain's key: keys of three bytes by a 32-bit multiply (the
// fast level's, measured a little better there than the 64-bit one), longer
// ones by KeyHash.
template <int kKey, int kHashBits>
inline uint32_t ChainHash(const uint8_t* p)
{
    if (kKey == 3) {
        uint32_t x;
        std::memcpy(&x, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        x = __builtin_bswap32(x);
#endif
        return ((x & 0xFFFFFF) * 2654435761u) >> (32 - kHashBits);
    }
    return KeyHash(p, kKey, kHashBits);
}

template <int kKey, int kHashBits, int kDepth>
struct HashChain {
    std::vector<int32_t> head = std::vector<int32_t>(size_t(1) << kHashBits, kChainNone);
    // The previous position of each position's chain. Twice the window, so a
    // link read from any position in the window is never one written later.
    std::vector<int32_t> prev = std::vector<int32_t>(kChainLinks, kChainNone);

    // Adds v (with its bytes at key); returns the newest earlier position.
    int32_t Link(int32_t v, const uint8_t* key) { return LinkHashed(v, ChainHash<kKey, kHashBits>(key)); }

    // The same with the hash of v's key computed beforehand (ChainHash).
    int32_t LinkHashed(int32_t v, uint32_t hash)
    {
        int32_t& h = head[hash];
        const int32_t newest = h;
        prev[static_cast<size_t>(v) & (kChainLinks - 1)] = newest;
        h = v;
        return newest;
    }

    // Searches the chain from c, the newest earlier position, for a match at
    // v longer than `best`; stops at one of `limit` bytes. Returns the
    // longest length found (or `best`), its position in `source`.
    int Search(const uint8_t* text, int32_t v, int32_t c, int best, int limit, int64_t& source) const
    {
        const uint8_t* key = text + v;
        for (int depth = 0; depth < kDepth && v - c <= kChainWindow; depth++) {
            const uint8_t* node = text + c;
            // Only a candidate that beats the best so far is worth the compare.
            if (node[best] == key[best]) {
                const int length = CommonPrefix(key, node, 0);
                if (length > best) {
                    best = length;
                    source = c;
                    if (length >= limit) break;
                }
            }
            c = prev[static_cast<size_t>(c) & (kChainLinks - 1)];
        }
        return best;
    }
};

}  // namespace lzss_blocks

#endif
