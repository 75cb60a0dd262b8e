// LZSS encoder: exact longest matches from binary search trees over the
// window, then an optimal parse by dynamic programming.
//
// The decoder's ring is modelled as a "virtual text": 4,096 zero bytes (the
// ring's initial content) followed by the data. Data byte i sits at virtual
// index 4096 + i and is written to ring position (4078 + i) mod 4096, so
// virtual index v always lives at ring position (v + 4078) mod 4096. When
// data byte i is about to be written, the ring holds exactly the virtual
// bytes 4096 + i - d for d = 1..4096 (d = 4096 is the byte at the write
// position itself, read before it is overwritten). A reference is therefore
// any match at distance 1 to 4096 in the virtual text; the decoder copies
// byte by byte, so a match may run into the bytes it produces (d < length).
//
// Whether a match exists at a position depends only on the data, never on
// how earlier bytes were coded, and every prefix of a match (length >= 3) is
// a match too. So with the exact longest match length L(i) at every position,
// a backward pass finds the parse of fewest bits (9 per literal, 17 per
// reference), which is never larger in bytes than greedy or lazy coding.
#include "tools/writer/lzss_encoder.h"

#include <algorithm>
#include <cstring>

#include "archive/lzss.h"

namespace {

constexpr int64_t kNil = -1;
constexpr int64_t kWindow = LZSS_RING_SIZE;    // distances 1..4096
constexpr int64_t kPrefix = LZSS_RING_SIZE;    // zero bytes before the data
constexpr int kMaxMatch = LZSS_MAX_MATCH;      // key length of the trees
constexpr int kPadding = kMaxMatch + 8;        // readable bytes past the data
constexpr size_t kSlots = 2 * LZSS_RING_SIZE;  // nodes, by position mod 8192
constexpr size_t kHeads = size_t(1) << 14;     // trees, by a hash of 3 bytes

// Length of the common prefix of a and b, at most kMaxMatch bytes, knowing
// that their first `from` bytes are equal. Both need from + 8 readable bytes.
inline int CommonPrefix(const uint8_t* a, const uint8_t* b, int from)
{
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (int at = from; at < kMaxMatch; at += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + at, 8);
        std::memcpy(&y, b + at, 8);
        if (x != y) {
            const int n = at + __builtin_ctzll(x ^ y) / 8;
            return n < kMaxMatch ? n : kMaxMatch;
        }
    }
    return kMaxMatch;
#else
    int n = from;
    while (n < kMaxMatch && a[n] == b[n]) n++;
    return n;
#endif
}

// Binary search trees of earlier positions, keyed by the kMaxMatch bytes
// that follow each position, one tree per hash of the first three bytes.
// Every insertion makes the new position the root and splits the old tree
// along the search path, so each node is newer than all nodes below it: the
// first node met that is out of the window ends the search, and everything
// below it is dropped. Keys are distinct: a position whose key equals an
// older one takes over that node's children, and the older one drops out.
// The search path holds the new key's neighbours in key order among the
// positions in the window, so the longest match it meets is exact.
struct MatchFinder {
    const uint8_t* text = nullptr;
    std::vector<int64_t> head = std::vector<int64_t>(kHeads, kNil);
    // Children of each node: [2s] keys below it, [2s + 1] keys above it.
    std::vector<int64_t> child = std::vector<int64_t>(2 * kSlots, kNil);

    static size_t Slot(int64_t p) { return static_cast<size_t>(p) & (kSlots - 1); }

    // Adds position r (all earlier positions must have been added) and
    // returns the length of the longest match at distance 1..kWindow, with
    // its position in `source`; 0 when there is none of 3 bytes or more.
    int Insert(int64_t r, int64_t& source)
    {
        const uint8_t* key = text + r;
        const size_t h = ((key[0] << 6) ^ (key[1] << 3) ^ key[2] ^ (key[0] << 11)) & (kHeads - 1);
        int64_t p = head[h];
        head[h] = r;
        // bound[1] is where the next node below the key goes, bound[0] where
        // the next node above it goes; shared[] their common prefix with it.
        int64_t* bound[2] = {&child[2 * Slot(r) + 1], &child[2 * Slot(r)]};
        int shared[2] = {0, 0};
        int best = 0;
        while (p != kNil && r - p <= kWindow) {
            const uint8_t* node = text + p;
            const int n = CommonPrefix(key, node, shared[0] < shared[1] ? shared[0] : shared[1]);
            int64_t* pair = &child[2 * Slot(p)];
            if (n > best) {
                best = n;
                source = p;
            }
            if (n == kMaxMatch) {  // same key: r takes p's children, p drops out
                *bound[1] = pair[0];
                *bound[0] = pair[1];
                return best >= LZSS_MIN_MATCH ? best : 0;
            }
            // Below the key: the next candidates lie in p's upper subtree, and
            // the other way round.
            if (node[n] < key[n]) {
                *bound[1] = p;
                bound[1] = &pair[1];
                shared[1] = n;
                p = pair[1];
            } else {
                *bound[0] = p;
                bound[0] = &pair[0];
                shared[0] = n;
                p = pair[0];
            }
        }
        *bound[0] = *bound[1] = kNil;
        return best >= LZSS_MIN_MATCH ? best : 0;
    }
};

// Token groups: a flag byte, then up to eight tokens. A group may span
// blocks of the streaming encoder, so it is kept until it is complete.
struct GroupWriter {
    uint8_t group[1 + 8 * 2];
    size_t length = 0;  // bytes of `group` in use; 0: no group begun
    unsigned tokens = 0;

    void Token(std::vector<uint8_t>& out, bool reference, uint8_t b0, uint8_t b1)
    {
        if (length == 0) {
            group[0] = 0;
            length = 1;
        }
        if (reference) group[0] |= static_cast<uint8_t>(1u << tokens);
        group[length++] = b0;
        if (reference) group[length++] = b1;
        if (++tokens == 8) Flush(out);
    }
    void Flush(std::vector<uint8_t>& out)
    {
        out.insert(out.end(), group, group + length);
        length = 0;
        tokens = 0;
    }
};

// Encodes one block of `size` data bytes that begins `start` bytes into the
// stream. `history` holds the 4,096 bytes of the ring's virtual text before
// the block (null at the start of the stream: the ring's zeros). Matches
// stop at the block's end.
void EncodeBlock(const uint8_t* history, uint64_t start, const uint8_t* data, size_t size, GroupWriter& writer,
                 std::vector<uint8_t>& out)
{
    if (size == 0) return;

    // Virtual text: the history (zero at the start), the data, and zero
    // padding so that every key (and the word compare past it) is readable;
    // matches are cut at the data's end, so the padding never ends up in a
    // reference.
    std::vector<uint8_t> text(kPrefix + size + kPadding, 0);
    if (history) std::memcpy(text.data(), history, kPrefix);
    std::memcpy(text.data() + kPrefix, data, size);

    MatchFinder finder;
    finder.text = text.data();
    int64_t source = 0;
    // The zero positions before kPrefix - kMaxMatch all have the same key as
    // that one, which is newer and so stays in the window longest. Real
    // history is inserted whole.
    for (int64_t v = history ? 0 : kPrefix - kMaxMatch; v < kPrefix; v++) finder.Insert(v, source);
    // The ring position of local virtual index v: (start + v + 4078) mod 4096.
    const uint64_t ringShift = start & (LZSS_RING_SIZE - 1);

    // Longest match at each data position (0 when shorter than 3) and the
    // ring position it comes from.
    std::vector<uint8_t> length(size);
    std::vector<uint16_t> ringPos(size);
    for (size_t i = 0; i < size; i++) {
        const int64_t v = kPrefix + static_cast<int64_t>(i);
        int n = finder.Insert(v, source);
        if (static_cast<size_t>(n) > size - i) n = static_cast<int>(size - i);
        if (n >= LZSS_MIN_MATCH) {
            length[i] = static_cast<uint8_t>(n);
            ringPos[i] = static_cast<uint16_t>((source + ringShift + LZSS_RING_START) & (LZSS_RING_SIZE - 1));
        }
    }

    // Optimal parse, backwards: cost[i] = fewest bits that code data[i..],
    // 9 per literal and 17 per reference. Only the costs of the next
    // kMaxMatch positions are needed; they are kept in a ring of 32 entries,
    // stored twice over so that the 16 candidates of a reference (lengths 3
    // to 18) lie side by side and their minimum is a plain (vectorisable)
    // loop. An entry holds cost << 5 | (position & 31), so the minimum also
    // names its position. Costs are kept relative to a base that is raised
    // now and then, so they stay far below 2^27 whatever the input's size.
    // The chosen token length replaces length[i] (0 for a literal).
    constexpr size_t kCostRing = 32;
    constexpr int kCandidates = kMaxMatch - LZSS_MIN_MATCH + 1;
    static_assert(kCostRing > kMaxMatch && kCandidates == 16, "ring and mask sizes");
    // Lengths up to 3 + last are allowed where mask[k] = 0 (k <= last).
    static const uint32_t kMasks[2 * kCandidates] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                                     UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX};
    uint32_t cost[2 * kCostRing] = {};
    cost[size % kCostRing] = cost[size % kCostRing + kCostRing] = size % kCostRing;  // nothing left: 0 bits
    for (size_t i = size; i-- > 0;) {
        const size_t j = i % kCostRing;
        uint32_t best = (cost[j + 1] >> 5) + 9;
        uint8_t choice = 0;
        if (length[i] != 0) {
            const uint32_t* next = &cost[j + LZSS_MIN_MATCH];  // positions i + 3 .. i + 18
            const uint32_t* mask = &kMasks[kCandidates - (length[i] - LZSS_MIN_MATCH + 1)];
            uint32_t low = UINT32_MAX;
            for (int k = 0; k < kCandidates; k++) {
                const uint32_t c = next[k] | mask[k];
                low = c < low ? c : low;
            }
            if ((low >> 5) + 17 <= best) {
                best = (low >> 5) + 17;
                choice = static_cast<uint8_t>(((low & 31) - j) & 31);
            }
        }
        cost[j] = cost[j + kCostRing] = best << 5 | static_cast<uint32_t>(j);
        length[i] = choice;
        if ((i & 0xFFFFF) == 0) {
            const uint32_t base = *std::min_element(cost, cost + 2 * kCostRing) & ~31u;
            for (uint32_t& c : cost) c -= base;
        }
    }

    out.reserve(out.size() + size + size / 8 + 1);
    for (size_t i = 0; i < size;) {
        const uint8_t n = length[i];
        if (n == 0) {
            writer.Token(out, false, data[i], 0);
            i++;
        } else {
            const uint16_t p = ringPos[i];
            writer.Token(out, true, static_cast<uint8_t>(p & 0xFF),
                         static_cast<uint8_t>(((p >> 4) & 0xF0) | (n - LZSS_MIN_MATCH)));
            i += n;
        }
    }
}

}  // namespace

std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> out;
    GroupWriter writer;
    EncodeBlock(nullptr, 0, data, size, writer, out);
    writer.Flush(out);
    return out;
}

struct LzssStreamEncoder::Groups : GroupWriter {};

LzssStreamEncoder::LzssStreamEncoder() : groups_(new Groups) {}
LzssStreamEncoder::~LzssStreamEncoder() = default;

void LzssStreamEncoder::Add(const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    while (size) {
        const size_t n = std::min(size, kBlockSize - block_.size());
        block_.insert(block_.end(), data, data + n);
        data += n;
        size -= n;
        if (block_.size() == kBlockSize) EncodePending(out);
    }
}

void LzssStreamEncoder::Finish(std::vector<uint8_t>& out)
{
    EncodePending(out);
    groups_->Flush(out);
}

void LzssStreamEncoder::EncodePending(std::vector<uint8_t>& out)
{
    if (block_.empty()) return;
    EncodeBlock(encoded_ ? history_.data() : nullptr, encoded_, block_.data(), block_.size(), *groups_, out);
    encoded_ += block_.size();
    // The history of the next block: the last 4,096 bytes of the virtual
    // text (the ring's zeros while fewer bytes were encoded).
    if (block_.size() >= history_.size()) {
        history_.assign(block_.end() - static_cast<std::ptrdiff_t>(history_.size()), block_.end());
    } else {
        history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(block_.size()));
        history_.insert(history_.end(), block_.begin(), block_.end());
    }
    block_.clear();
}
