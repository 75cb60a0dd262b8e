// What the LZSS encoder's block encoders share (tools/lzss_encoder.cpp,
// tools/lzss_fast.cpp): the block's text and the tokens a block encodes to.
// Internal to the encoder.
//
// A block is encoded from its "virtual text": the 4,096 bytes of the ring's
// history before it (the ring's zeros at the start of a stream), then the
// block's content, then kTextPadding zero bytes so that match keys and word
// compares past the content stay readable (matches are cut at the content's
// end, so the padding never ends up in a reference). Content byte i of a
// block that begins `start` bytes into its stream is written to ring
// position (4078 + start + i) mod 4096, so local virtual index v lives at
// ring position (v + start + 4078) mod 4096. When content byte i is about to
// be written, the ring holds exactly the virtual bytes 4096 + i - d for
// d = 1..4096 (d = 4096 is the byte at the write position itself, read
// before it is overwritten). A reference is therefore any match at distance
// 1 to 4096 in the virtual text; the decoder copies byte by byte, so a match
// may run into the bytes it produces (d < length).
#ifndef MORQUENT_TOOLS_LZSS_BLOCKS_H
#define MORQUENT_TOOLS_LZSS_BLOCKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/lzss.h"

namespace lzss_blocks {

constexpr size_t kHistory = LZSS_RING_SIZE;
constexpr size_t kTextPadding = LZSS_MAX_MATCH + 8;

// Length of the common prefix of a and b, at most LZSS_MAX_MATCH bytes,
// knowing that their first `from` bytes are equal. Both need from + 8
// readable bytes.
inline int CommonPrefix(const uint8_t* a, const uint8_t* b, int from)
{
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (int at = from; at < LZSS_MAX_MATCH; at += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + at, 8);
        std::memcpy(&y, b + at, 8);
        if (x != y) {
            const int n = at + __builtin_ctzll(x ^ y) / 8;
            return n < LZSS_MAX_MATCH ? n : LZSS_MAX_MATCH;
        }
    }
    return LZSS_MAX_MATCH;
#else
    int n = from;
    while (n < LZSS_MAX_MATCH && a[n] == b[n]) n++;
    return n;
#endif
}

// The tokens of one block, before they are put into groups: the groups run
// on across blocks, so a block's first token may fill the previous block's
// last group.
struct TokenBlock {
    std::vector<uint8_t> payload;  // token bytes in order: a literal's byte, a reference's two
    std::vector<uint8_t> kinds;    // bit (t & 7) of byte t >> 3 set: token t is a reference
    size_t count = 0;              // tokens
    size_t used = 0;               // payload bytes

    // Room for the tokens of `size` content bytes (at most one payload byte
    // per content byte; one spare kinds byte for the group packer's reads).
    void Start(size_t size)
    {
        payload.assign(size, 0);
        kinds.assign(size / 8 + 2, 0);
        count = used = 0;
    }
    void Literal(uint8_t byte)
    {
        payload[used++] = byte;
        count++;
    }
    // A reference of `length` bytes (3..18) from ring position `ring`.
    void Reference(unsigned ring, unsigned length)
    {
        kinds[count >> 3] |= static_cast<uint8_t>(1u << (count & 7));
        payload[used++] = static_cast<uint8_t>(ring & 0xFF);
        payload[used++] = static_cast<uint8_t>(((ring >> 4) & 0xF0) | (length - LZSS_MIN_MATCH));
        count++;
    }
    bool IsReference(size_t t) const { return kinds[t >> 3] >> (t & 7) & 1; }
};

// The ring position of local virtual index v in a block that begins `start`
// bytes into its stream.
inline unsigned RingPosition(int64_t v, uint64_t start)
{
    return static_cast<unsigned>((static_cast<uint64_t>(v) + start + LZSS_RING_START) & (LZSS_RING_SIZE - 1));
}

// Encode the block whose virtual text is text[0, kHistory + size +
// kTextPadding). `history`: whether the first kHistory bytes are content of
// the stream (false at the stream's start: the ring's zeros).
void EncodeOptimal(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens);
void EncodeFast(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens);

}  // namespace lzss_blocks

#endif
