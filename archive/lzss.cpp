#include "archive/lzss.h"

#include <string.h>

// How the decoder does without the ring. Output byte i is stored at ring
// position (LZSS_RING_START + i) mod 4096, so when `pos` bytes have been
// written, ring position q holds output byte pos - d, where
// d = ((LZSS_RING_START + pos - q - 1) mod 4096) + 1 is 1 to 4096, or still
// holds its initial zero when pos < d. A reference advances its source and
// the write position together, so every byte of it has the same d: it is an
// ordinary copy from distance d back in the output (overlapping when d is
// less than its length), in which bytes whose source lies before the first
// output byte are zero. The decoder therefore reads references straight from
// the output it has written; once 4,096 bytes are out, every source is there.
//
// Fast path: whole groups (a flag byte and eight tokens, at most 17 input and
// 144 output bytes) are decoded without per-token bounds checks while the
// input has FAST_INPUT bytes left and the output FAST_OUTPUT bytes of room.
// Literal runs are copied 8 bytes at a time and references in 8- or 16-byte
// chunks, so a token may write scratch bytes past its end (up to 32 bytes from
// its start), which later tokens overwrite, and the input may be looked at up
// to 8 bytes past the group, always inside inputLength. Near either end the
// exact token loop takes over.
enum {
    FAST_INPUT = 1 + 16 + 8,   // flag byte, eight references, then a literal run read as 8 bytes
    FAST_OUTPUT = 7 * 18 + 32  // seven tokens of 18 bytes, then a reference written as 32 bytes
};

// Distance back from output position `pos` to the byte that ring position
// `ringPos` holds: 1 to 4096.
static inline uint32_t RefDistance(uint32_t pos, uint32_t ringPos)
{
    return ((LZSS_RING_START + pos - ringPos - 1) & (LZSS_RING_SIZE - 1)) + 1;
}

// Index of the lowest set bit of a nonzero value.
static inline unsigned LowestSetBit(unsigned x)
{
#if defined(__GNUC__)
    return (unsigned)__builtin_ctz(x);
#else
    unsigned n = 0;
    while (!(x & 1u)) {
        x >>= 1;
        n++;
    }
    return n;
#endif
}

// Writes the n bytes of a reference at output[pos], from distance d back,
// byte by byte (so overlapping sources repeat); a source before output[0] is
// a never-written ring byte and gives zero. Writes exactly n bytes.
static void CopyReferenceExact(uint8_t* output, uint32_t pos, uint32_t d, uint32_t n)
{
    for (uint32_t k = 0; k < n; k++, pos++) output[pos] = pos >= d ? output[pos - d] : 0;
}

// Small distances (1 to 7) repeat a pattern of d bytes. REPEAT_MULTIPLIER[d]
// has a 1 at every multiple of 8d bits, so multiplying the pattern by it
// copies the pattern across 64 bits without carries between the copies.
// STEP_SHIFT[d] is 8 * (8 mod d): how far the pattern's phase moves from one
// 8-byte chunk to the next.
static const uint64_t REPEAT_MULTIPLIER[8] = {
    0, 0x0101010101010101ull, 0x0001000100010001ull, 0x0001000001000001ull,
    0x0000000100000001ull, 0x0000010000000001ull, 0x0001000000000001ull, 0x0100000000000001ull};
static const uint8_t STEP_SHIFT[8] = {0, 0, 0, 16, 0, 24, 16, 8};

// Little-endian 64-bit store, written so that compilers emit one plain store.
static inline void StoreLe64(uint8_t* p, uint64_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
    p[4] = (uint8_t)(v >> 32);
    p[5] = (uint8_t)(v >> 40);
    p[6] = (uint8_t)(v >> 48);
    p[7] = (uint8_t)(v >> 56);
}

// The next 8-byte chunk of a period-d pattern after `chunk`: shifting by the
// phase step leaves the top bytes empty, and since the pattern repeats every
// d bytes, the bytes d places lower fill them.
static inline uint64_t NextChunk(uint64_t chunk, uint32_t d)
{
    uint64_t q = chunk >> STEP_SHIFT[d];
    return q | q << (8 * d);
}

// Writes a reference at `dst` from d (1 to 15) bytes back, with the source
// inside the output written so far (d <= dst - output). Writes 24 bytes at
// dst, enough for any length; the bytes past the reference's length are
// scratch. Kept out of line: the loop copies the common far references itself.
static void CopyReferenceNear(uint8_t* dst, uint32_t d)
{
    if (d >= 8) {
        // Each chunk's source ends at or before the chunk it writes.
        const uint8_t* src = dst - d;
        memcpy(dst, src, 8);
        memcpy(dst + 8, src + 8, 8);
        memcpy(dst + 16, src + 16, 8);
    } else if (d == 1) {
        // One byte repeated (runs, silence, padding): a machine word of it,
        // so that 32-bit code needs no 64-bit arithmetic.
        size_t word = dst[-1] * ((size_t)-1 / 0xFF);
        for (size_t k = 0; k < 24; k += sizeof word) memcpy(dst + k, &word, sizeof word);
    } else {
        // The output repeats the d bytes before dst: each 8-byte chunk of that
        // pattern is built in a register. Reading back just-written bytes in
        // wide loads would stall on the stores in flight; single bytes do not.
        uint64_t pattern = 0;
        for (uint32_t i = 0; i < d; i++) pattern |= (uint64_t)dst[(int32_t)(i - d)] << (8 * i);
        uint64_t chunk = pattern * REPEAT_MULTIPLIER[d];
        StoreLe64(dst, chunk);
        chunk = NextChunk(chunk, d);
        StoreLe64(dst + 8, chunk);
        StoreLe64(dst + 16, NextChunk(chunk, d));
    }
}

// Decodes whole groups from *inPos to *outPos while the input has FAST_INPUT
// bytes left and the output FAST_OUTPUT bytes of room; advances both. With
// `early`, stops once 4,096 bytes are out, and checks every reference for a
// source before output[0]; without, it needs 4,096 bytes out. A template
// parameter, so that the checks are compiled out of the loop that does
// nearly all the work.
template <bool early>
static void DecodeGroups(const uint8_t** inPos, const uint8_t* inEnd, uint8_t* output, uint8_t** outPos,
                         uint8_t* outEnd)
{
    const uint8_t* in = *inPos;
    uint8_t* out = *outPos;
    while ((size_t)(inEnd - in) >= FAST_INPUT && (size_t)(outEnd - out) >= FAST_OUTPUT &&
           (!early || out - output < LZSS_RING_SIZE)) {
        // Eight literals: the common group of incompressible data, kept off
        // the bit scan so that the next group's address does not wait for it.
        if (*in == 0) {
            memcpy(out, in + 1, 8);
            out += 8;
            in += 9;
            continue;
        }
        // f holds the flag bits still to use with a sentinel bit above them:
        // a run of clear bits is a run of literals, copied at once, and
        // f == 1 means the group is done.
        unsigned f = *in++ | 0x100u;
        for (;;) {
            unsigned literals = LowestSetBit(f);
            memcpy(out, in, 8);
            out += literals;
            in += literals;
            f >>= literals;
            if (f == 1) break;
            uint32_t ringPos = in[0] | ((uint32_t)(in[1] >> 4) << 8);
            uint32_t n = (in[1] & 0x0F) + LZSS_MIN_MATCH;
            in += 2;
            uint32_t pos = (uint32_t)(out - output);
            uint32_t d = RefDistance(pos, ringPos);
            if (early && d > pos) {
                CopyReferenceExact(output, pos, d, n);
            } else if (d >= 16) {
                // Two 16-byte chunks, each source ending at or before the
                // chunk it writes; the bytes past n are scratch.
                const uint8_t* src = out - d;
                memcpy(out, src, 16);
                memcpy(out + 16, src + 16, 16);
            } else {
                CopyReferenceNear(out, d);
            }
            out += n;
            f >>= 1;
        }
    }
    *inPos = in;
    *outPos = out;
}

void LzssDecode(const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputLength)
{
    if (outputLength == 0) return;  // nothing wanted: the input is not even looked at
    const uint8_t* in = input;
    const uint8_t* const inEnd = input + inputLength;
    uint8_t* out = output;
    uint8_t* const outEnd = output + outputLength;

    DecodeGroups<true>(&in, inEnd, output, &out, outEnd);
    if (out - output >= LZSS_RING_SIZE) DecodeGroups<false>(&in, inEnd, output, &out, outEnd);

    // Exact tail, from a group boundary: every read and write is checked, a
    // reference is cut at the wanted length.
    while (out < outEnd && in < inEnd) {
        unsigned flags = *in++;
        for (unsigned bit = 0; bit < 8 && out < outEnd; bit++, flags >>= 1) {
            if (!(flags & 1u)) {
                if (in == inEnd) break;
                *out++ = *in++;
            } else {
                if (inEnd - in < 2) {
                    in = inEnd;
                    break;
                }
                uint32_t ringPos = in[0] | ((uint32_t)(in[1] >> 4) << 8);
                uint32_t n = (in[1] & 0x0F) + LZSS_MIN_MATCH;
                in += 2;
                uint32_t room = (uint32_t)(outEnd - out);
                if (n > room) n = room;
                uint32_t pos = (uint32_t)(out - output);
                CopyReferenceExact(output, pos, RefDistance(pos, ringPos), n);
                out += n;
            }
        }
    }

    // The stream ended early: the rest is defined as zeros.
    if (out < outEnd) memset(out, 0, (size_t)(outEnd - out));
}

// Where a group's tokens are, by flag byte, for the scan: SECOND[f][k] is the
// offset from the flag byte of token k's second byte when token k is a
// reference (0, the flag byte itself, for a literal), NIBBLE_MASK[f][k] is
// 0x0F for a reference and 0 for a literal, REFERENCES[f] the number of
// references. With them a whole group is counted without a branch per token.
struct ScanTables {
    uint8_t second[256][8];
    uint8_t nibbleMask[256][8];
    uint8_t references[256];
};

static constexpr ScanTables BuildScanTables()
{
    ScanTables t{};
    for (unsigned f = 0; f < 256; f++) {
        unsigned offset = 1, references = 0;
        for (unsigned k = 0; k < 8; k++) {
            if (f >> k & 1u) {
                t.second[f][k] = (uint8_t)(offset + 1);
                t.nibbleMask[f][k] = 0x0F;
                offset += 2;
                references++;
            } else {
                offset += 1;
            }
        }
        t.references[f] = (uint8_t)references;
    }
    return t;
}

static constexpr ScanTables SCAN_TABLES = BuildScanTables();

int32_t LzssDecodedSize(const uint8_t* input, uint32_t inputLength)
{
    const uint8_t* in = input;
    const uint8_t* const end = input + inputLength;
    // A 64-bit count: the input can be up to 4 GiB and each 17 bytes can
    // yield 144, far more than 32 bits hold. The result saturates below.
    uint64_t count = 0;

    // Whole groups: with 17 bytes left, every token of the group is complete.
    // Each token yields at least one byte and a reference 2 + (b1 & 15) more.
    while ((size_t)(end - in) >= 17) {
        unsigned f = in[0];
        if (f == 0) {  // eight literals, kept off the table lookups
            count += 8;
            in += 9;
            continue;
        }
        const uint8_t* second = SCAN_TABLES.second[f];
        const uint8_t* mask = SCAN_TABLES.nibbleMask[f];
        uint32_t references = SCAN_TABLES.references[f];
        uint32_t groupCount = 8 + 2 * references;
        for (unsigned k = 0; k < 8; k++) groupCount += in[second[k]] & mask[k];
        count += groupCount;
        in += 9 + references;
    }

    // Exact tail: a flag byte as the last byte, or a reference without its
    // second byte, adds nothing.
    while (in < end) {
        unsigned flags = *in++;
        for (unsigned bit = 0; bit < 8 && in < end; bit++, flags >>= 1) {
            if (!(flags & 1u)) {
                count += 1;
                in += 1;
            } else {
                if (end - in < 2) {
                    in = end;
                    break;
                }
                count += (in[1] & 0x0F) + LZSS_MIN_MATCH;
                in += 2;
            }
        }
    }
    return count > INT32_MAX ? INT32_MAX : (int32_t)count;
}
