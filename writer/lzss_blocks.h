// What the LZSS encoder's block encoders share (writer/lzss_encoder.cpp,
// writer/lzss_fast.cpp): the block's text and the tokens a block encodes to.
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
#ifndef MORQUENT_WRITER_LZSS_BLOCKS_H
#define MORQUENT_WRITER_LZSS_BLOCKS_H

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

// The parse of fewest bits (writer/lzss_parse.cpp). On entry length[i] is
// the longest match found at content position i of the block: 0, or 3 to 18
// and not past the block's end. On return it is the length of the token the
// parse takes there (0: a literal); positions inside a reference hold what
// the parse would take if a token began there.
void ParseFewestBits(uint8_t* length, size_t size);
// The same choices, tie for tie, in plain C++: the path of builds without
// SSE2, and the tests' check on the vector path.
void ParseFewestBitsPortable(uint8_t* length, size_t size);
// Parses and appends the block's tokens: a literal data[i], or a reference
// from ring position ringPos[i].
void EmitFewestBits(const uint8_t* data, uint8_t* length, const uint16_t* ringPos, size_t size, TokenBlock& tokens);

// Codes the block whose virtual text is `text` with the parse of fewest bits
// over the matches `finder` finds. The finder's contract:
//   Add(v): adds virtual position v (all earlier ones added before);
//   Insert(v, source): adds v and returns the longest match it finds there
//   at distance 1..4096 (0 when shorter than 3, else up to 18 bytes), with
//   the match's virtual position in `source`.
template <typename Finder>
void EncodeFewestBits(Finder& finder, const uint8_t* text, bool history, uint64_t start, size_t size,
                      TokenBlock& tokens)
{
    tokens.Start(size);
    if (size == 0) return;
    // At a stream's start the zero positions before the last 18 would only
    // repeat their key; real history is added whole.
    for (int64_t v = history ? 0 : int64_t(kHistory - LZSS_MAX_MATCH); v < int64_t(kHistory); v++) finder.Add(v);
    std::vector<uint8_t> length(size);
    std::vector<uint16_t> ringPos(size);
    int64_t source = 0;
    for (size_t i = 0; i < size; i++) {
        int n = finder.Insert(static_cast<int64_t>(kHistory + i), source);
        if (static_cast<size_t>(n) > size - i) n = static_cast<int>(size - i);  // matches stop at the block's end
        if (n >= LZSS_MIN_MATCH) {
            length[i] = static_cast<uint8_t>(n);
            ringPos[i] = static_cast<uint16_t>(RingPosition(source, start));
        }
    }
    EmitFewestBits(text + kHistory, length.data(), ringPos.data(), size, tokens);
}

// Encode the block whose virtual text is text[0, kHistory + size +
// kTextPadding). `history`: whether the first kHistory bytes are content of
// the stream (false at the stream's start: the ring's zeros). The normal
// level takes blocks of at most kMaxNormalBlock bytes.
constexpr size_t kMaxNormalBlock = size_t(1) << 30;
void EncodeOptimal(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens);
void EncodeNormal(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens);
void EncodeFast(const uint8_t* text, bool history, uint64_t start, size_t size, TokenBlock& tokens);

}  // namespace lzss_blocks

#endif
