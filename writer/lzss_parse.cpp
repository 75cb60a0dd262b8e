// The parse of fewest bits over the matches found in a block (the optimal
// and normal levels of the LZSS encoder share it).
//
// A literal costs 9 bits (its flag and its byte), a reference 17. Every
// prefix of a match (length >= 3) is a match too, so with the longest match
// length L(i) found at each position, a backward pass gives the fewest bits
// that code the rest of the block from each position:
//     cost[i] = min(cost[i + 1] + 9, 17 + min of cost[i + l] for l = 3..L(i)).
// Only the costs of the next 18 positions are ever needed.
//
// Ties are broken the same way on every path: each cost carries the position
// it belongs to in its low five bits (position & 31), so among equal costs
// the one of the lowest such number wins, and a reference wins over a
// literal of the same cost.
#include <algorithm>
#include <cstdint>

#include "writer/lzss_blocks.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lzss_blocks {

namespace {

constexpr int kCandidates = LZSS_MAX_MATCH - LZSS_MIN_MATCH + 1;  // lengths 3..18
static_assert(kCandidates == 16, "the window is two vectors of eight lanes");

}  // namespace

void ParseFewestBitsPortable(uint8_t* length, size_t size)
{
    // A ring of 32 costs, stored twice over so that the 16 candidates of a
    // reference lie side by side. An entry holds cost << 5 | (position & 31).
    // Costs are kept relative to a base that is raised now and then, so they
    // stay far below 2^27 whatever the block's size.
    constexpr size_t kRing = 32;
    static const uint32_t kMasks[2 * kCandidates] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX};
    uint32_t cost[2 * kRing] = {};
    cost[size % kRing] = cost[size % kRing + kRing] = static_cast<uint32_t>(size % kRing);  // nothing left: 0 bits
    for (size_t i = size; i-- > 0;) {
        const size_t j = i % kRing;
        uint32_t best = (cost[j + 1] >> 5) + 9;
        uint8_t choice = 0;
        if (length[i] != 0) {
            const uint32_t* next = &cost[j + LZSS_MIN_MATCH];  // positions i + 3 .. i + 18
            // Lengths up to 3 + last are allowed where mask[k] = 0 (k <= last);
            // a plain loop over all 16, which compilers vectorise.
            const uint32_t* mask = &kMasks[kCandidates - (length[i] - LZSS_MIN_MATCH + 1)];
            uint32_t low = UINT32_MAX;
            for (int k = 0; k < kCandidates; k++) low = std::min(low, next[k] | mask[k]);
            if ((low >> 5) + 17 <= best) {
                best = (low >> 5) + 17;
                choice = static_cast<uint8_t>(((low & 31) - j) & 31);
            }
        }
        cost[j] = cost[j + kRing] = best << 5 | static_cast<uint32_t>(j);
        length[i] = choice;
        if ((i & 0xFFFFF) == 0) {
            const uint32_t base = *std::min_element(cost, cost + 2 * kRing) & ~31u;
            for (uint32_t& c : cost) c -= base;
        }
    }
}

#if defined(__SSE2__)

// Row n: which of the 16 candidates (lengths 3..18) a match of length n
// allows. INT16_MIN leaves a lane as it is under max(), INT16_MAX rules it
// out; row 0 (no match) rules out all.
struct CandidateMasks {
    alignas(16) int16_t row[LZSS_MAX_MATCH + 1][kCandidates];
};
constexpr CandidateMasks MakeCandidateMasks()
{
    CandidateMasks masks{};
    for (int n = 0; n <= LZSS_MAX_MATCH; n++)
        for (int k = 0; k < kCandidates; k++) masks.row[n][k] = k < n - 2 ? INT16_MIN : INT16_MAX;
    return masks;
}
constexpr CandidateMasks kAllowed = MakeCandidateMasks();

// The same parse with the 16 candidate costs in two vectors of 16-bit lanes.
// A lane holds (cost - base) * 32 + (position & 31), base being the cost at
// the last position passed that is a multiple of 32 (at first, the block's
// end), which lies 1 to 32 positions after i. Going back one position adds
// at most 9 bits; going forward, a position's parse passes a token boundary
// within 17 positions, so a later position costs at most 153 bits more. The
// candidates lie 29 positions before the base to 17 after it, so every lane
// is within +-8,383 and the 16-bit lanes never wrap; a lane ruled out holds
// 32,767, which never wins.
//
// The costs of positions i + 1 and i + 2 are kept as plain numbers and join
// the vectors two positions later: the vector work for position i then never
// waits for the position just before it, only the final compare does.
void ParseFewestBits(uint8_t* length, size_t size)
{
    __m128i near = _mm_setzero_si128();  // costs of i + 3 .. i + 10, lane 0 first
    __m128i far = near;                  // costs of i + 11 .. i + 18
    int next1 = 0, next2 = 0;            // costs of i + 1 (the block's end: 0) and i + 2
    for (size_t i = size; i-- > 0;) {
        const int j = static_cast<int>(i & 31);
        const int16_t* allowed = kAllowed.row[length[i]];
        __m128i low = _mm_min_epi16(_mm_max_epi16(near, _mm_load_si128(reinterpret_cast<const __m128i*>(allowed))),
                                    _mm_max_epi16(far, _mm_load_si128(reinterpret_cast<const __m128i*>(allowed + 8))));
        low = _mm_min_epi16(low, _mm_srli_si128(low, 8));
        low = _mm_min_epi16(low, _mm_srli_si128(low, 4));
        low = _mm_min_epi16(low, _mm_srli_si128(low, 2));
        const int found = static_cast<int16_t>(_mm_cvtsi128_si32(low));
        // found >> 5 is the candidate's cost relative to the base (floor).
        const int reference = (found >> 5) + 17;
        const bool take = reference <= next1 + 9;
        const int best = take ? reference : next1 + 9;
        length[i] = take ? static_cast<uint8_t>((found - j) & 31) : 0;

        // On to position i - 1: the cost of i + 2 joins the vectors.
        far = _mm_or_si128(_mm_slli_si128(far, 2), _mm_srli_si128(near, 14));
        near = _mm_insert_epi16(_mm_slli_si128(near, 2), next2 * 32 + ((j + 2) & 31), 0);
        next2 = next1;
        next1 = best;
        if (j == 0) {
            const __m128i base = _mm_set1_epi16(static_cast<int16_t>(best * 32));
            near = _mm_sub_epi16(near, base);
            far = _mm_sub_epi16(far, base);
            next2 -= best;
            next1 = 0;
        }
    }
}

#else

void ParseFewestBits(uint8_t* length, size_t size) { ParseFewestBitsPortable(length, size); }

#endif

void EmitFewestBits(const uint8_t* data, uint8_t* length, const uint16_t* ringPos, size_t size, TokenBlock& tokens)
{
    ParseFewestBits(length, size);
    for (size_t i = 0; i < size;) {
        const uint8_t n = length[i];
        if (n == 0) {
            tokens.Literal(data[i]);
            i++;
        } else {
            tokens.Reference(ringPos[i], n);
            i += n;
        }
    }
}

}  // namespace lzss_blocks
