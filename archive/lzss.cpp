#include "archive/lzss.h"

#include <assert.h>
#include <stddef.h>
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
// Output that comes in pieces keeps the last 4,096 bytes before the piece
// (LzssDecodeSome's history), so the same copies serve it: `base` below is
// the number of bytes produced before output[0], and a position counted from
// the stream's start is base + (out - output).
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

// Writes the n bytes of a reference at `out`, from distance d back, byte by
// byte (so overlapping sources repeat); `at` is out's position in the stream,
// and a source before the stream's start is a never-written ring byte and
// gives zero. Writes exactly n bytes.
static void CopyReferenceExact(uint8_t* out, uint32_t at, uint32_t d, uint32_t n)
{
    for (uint32_t k = 0; k < n; k++) out[k] = at + k >= d ? out[(ptrdiff_t)k - (ptrdiff_t)d] : 0;
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
// bytes left and the output FAST_OUTPUT bytes of room; advances both. `base`
// is the stream position of output[0]. With `early`, stops once 4,096 bytes
// are out, and checks every reference for a source before the stream's start
// (the output then holds the whole stream: base is 0); without, it needs
// 4,096 bytes out. A template parameter, so that the checks are compiled out
// of the loop that does nearly all the work.
template <bool early>
static void DecodeGroups(const uint8_t** inPos, const uint8_t* inEnd, uint8_t* output, uint32_t base,
                         uint8_t** outPos, uint8_t* outEnd)
{
    const uint8_t* in = *inPos;
    uint8_t* out = *outPos;
    assert(!early || base == 0);
    // Stream positions are counted from where the stream's first byte would
    // be: one subtraction per reference, as for a buffer that holds it all.
    const uintptr_t origin = (uintptr_t)output - base;
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
            uint32_t pos = (uint32_t)((uintptr_t)out - origin);
            uint32_t d = RefDistance(pos, ringPos);
            if (early && d > pos) {
                CopyReferenceExact(out, pos, d, n);
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

// Decodes token by token, every read and write checked, from *inPos and
// *outPos until the input is used up or the output room is full; with
// `toGroupEnd`, stops at the end of the current group as well. A token cut by
// either end is left in *decoder: a flag byte's unused bits, a reference's
// first byte without its second, or the rest of a reference the room could
// not take. `base` as in DecodeGroups.
static void DecodeTokens(LzssDecoder* decoder, const uint8_t** inPos, const uint8_t* inEnd, uint8_t* output,
                         uint32_t base, uint8_t** outPos, uint8_t* outEnd, bool toGroupEnd)
{
    const uint8_t* in = *inPos;
    uint8_t* out = *outPos;
    uint32_t flags = decoder->flags;
    while (out < outEnd) {
        if (flags == 1) {
            if (toGroupEnd || in == inEnd) break;
            flags = *in++ | 0x100u;
        }
        if (!(flags & 1u)) {
            if (in == inEnd) break;
            *out++ = *in++;
        } else {
            if (!decoder->held) {
                if (in == inEnd) break;
                decoder->held = 0x100u | *in++;
            }
            if (in == inEnd) break;
            uint32_t ringPos = (decoder->held & 0xFF) | ((uint32_t)(in[0] >> 4) << 8);
            uint32_t n = (in[0] & 0x0F) + LZSS_MIN_MATCH;
            in++;
            decoder->held = 0;
            uint32_t pos = base + (uint32_t)(out - output);
            uint32_t d = RefDistance(pos, ringPos);
            uint32_t room = (uint32_t)(outEnd - out);
            uint32_t m = n < room ? n : room;
            CopyReferenceExact(out, pos, d, m);
            out += m;
            if (m < n) {
                decoder->copyDistance = d;
                decoder->copyLeft = n - m;
            }
        }
        flags >>= 1;
    }
    decoder->flags = flags;
    *inPos = in;
    *outPos = out;
}

void LzssDecoderStart(LzssDecoder* decoder)
{
    memset(decoder, 0, sizeof *decoder);
    decoder->flags = 1;
}

LzssStatus LzssDecodeSome(LzssDecoder* decoder, const uint8_t* input, uint32_t* inputLength, uint8_t* output,
                          uint32_t* outPos, uint32_t outputLength)
{
    assert(*outPos <= outputLength && *outPos <= decoder->produced);
    assert(*outPos >= LZSS_RING_SIZE || *outPos == decoder->produced);
    const uint8_t* in = input;
    const uint8_t* const inEnd = input + *inputLength;
    uint8_t* const start = output + *outPos;
    uint8_t* out = start;
    uint8_t* const outEnd = output + outputLength;
    const uint32_t base = decoder->produced - *outPos;

    // The rest of a reference that the last output room cut.
    if (decoder->copyLeft && out < outEnd) {
        uint32_t room = (uint32_t)(outEnd - out);
        uint32_t m = decoder->copyLeft < room ? decoder->copyLeft : room;
        CopyReferenceExact(out, base + (uint32_t)(out - output), decoder->copyDistance, m);
        out += m;
        decoder->copyLeft -= m;
    }
    if (!decoder->copyLeft) {
        // To the end of a group cut by the last piece, whole groups fast, then
        // the exact token loop near the ends of input and output.
        DecodeTokens(decoder, &in, inEnd, output, base, &out, outEnd, true);
        if (decoder->flags == 1) {
            if (base + (uint32_t)(out - output) < LZSS_RING_SIZE) DecodeGroups<true>(&in, inEnd, output, base, &out, outEnd);
            if (base + (uint32_t)(out - output) >= LZSS_RING_SIZE) DecodeGroups<false>(&in, inEnd, output, base, &out, outEnd);
            DecodeTokens(decoder, &in, inEnd, output, base, &out, outEnd, false);
        }
    }
    decoder->produced += (uint32_t)(out - start);
    *outPos = (uint32_t)(out - output);
    *inputLength = (uint32_t)(in - input);
    return out == outEnd ? LZSS_OUTPUT_FULL : LZSS_NEEDS_INPUT;
}

void LzssDecode(const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputLength)
{
    if (outputLength == 0) return;  // nothing wanted: the input is not even looked at
    LzssDecoder decoder;
    LzssDecoderStart(&decoder);
    uint32_t pos = 0;
    LzssDecodeSome(&decoder, input, &inputLength, output, &pos, outputLength);
    // The stream ended early: the rest is defined as zeros.
    if (pos < outputLength) memset(output + pos, 0, outputLength - pos);
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

// Counts tokens one at a time from *inPos to `end`; with `toGroupEnd`, stops
// at the end of the current group as well. A token cut by the end is left in
// *scan (a flag byte's unused bits, a reference's missing second byte) and
// adds nothing yet.
static void ScanTokens(LzssScan* scan, const uint8_t** inPos, const uint8_t* end, bool toGroupEnd)
{
    const uint8_t* in = *inPos;
    uint32_t flags = scan->flags;
    while (in < end) {
        if (flags == 1) {
            if (toGroupEnd) break;
            flags = *in++ | 0x100u;
            continue;
        }
        if (flags & 1u) {
            if (!scan->held) {
                scan->held = 1;
                if (++in == end) break;
            }
            scan->count += (*in++ & 0x0F) + LZSS_MIN_MATCH;
            scan->held = 0;
        } else {
            scan->count += 1;
            in++;
        }
        flags >>= 1;
    }
    scan->flags = flags;
    *inPos = in;
}

// Counts whole groups from *inPos while 17 bytes (a group of eight
// references) are left, so that every token of the group is complete. Each
// token yields at least one byte and a reference 2 + (b1 & 15) more.
static void ScanGroups(LzssScan* scan, const uint8_t** inPos, const uint8_t* end)
{
    const uint8_t* in = *inPos;
    while ((size_t)(end - in) >= 17) {
        // Rounds of at most 16 MiB of input, whose count (at most 144 per 9
        // bytes) fits 32 bits: a 64-bit sum in the loop would not stay in
        // registers on i686.
        const uint8_t* roundEnd = (size_t)(end - in) > ((size_t)1 << 24) ? in + ((size_t)1 << 24) : end;
        uint32_t count = 0;
        while ((size_t)(roundEnd - in) >= 17) {
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
        scan->count += count;
    }
    *inPos = in;
}

void LzssScanStart(LzssScan* scan)
{
    memset(scan, 0, sizeof *scan);
    scan->flags = 1;
}

void LzssScanSome(LzssScan* scan, const uint8_t* input, uint32_t inputLength)
{
    const uint8_t* in = input;
    const uint8_t* const end = input + inputLength;
    ScanTokens(scan, &in, end, true);
    if (scan->flags == 1) {
        ScanGroups(scan, &in, end);
        ScanTokens(scan, &in, end, false);
    }
    assert(in == end);
}

void LzssScanZeros(LzssScan* scan, uint64_t length)
{
    // The group under way, token by token: a zero second byte ends a
    // reference of length 3, a zero literal is one byte.
    while (length && (scan->held || scan->flags != 1)) {
        length--;
        if (scan->held) {
            scan->count += LZSS_MIN_MATCH;
            scan->held = 0;
            scan->flags >>= 1;
        } else if (scan->flags & 1u) {
            scan->held = 1;
        } else {
            scan->count += 1;
            scan->flags >>= 1;
        }
    }
    // Then whole groups: a zero flag byte and eight zero literals, 9 bytes
    // for 8; a last partial group is its flag byte and the literals it has.
    scan->count += 8 * (length / 9);
    uint32_t rest = (uint32_t)(length % 9);
    if (rest) {
        scan->flags = 0x100u >> (rest - 1);
        scan->count += rest - 1;
    }
}

int32_t LzssScanCount(const LzssScan* scan)
{
    // The count is 64-bit: the input can be up to 4 GiB and each 17 bytes can
    // yield 144, far more than 32 bits hold.
    return scan->count > INT32_MAX ? INT32_MAX : (int32_t)scan->count;
}

int32_t LzssDecodedSize(const uint8_t* input, uint32_t inputLength)
{
    LzssScan scan;
    LzssScanStart(&scan);
    LzssScanSome(&scan, input, inputLength);
    return LzssScanCount(&scan);
}
