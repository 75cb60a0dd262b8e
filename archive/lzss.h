// LZSS as used by QOR's DAT compressed entries.
//
// Stream format. A 4,096-byte ring, all zeros at the start, with a write
// position that starts at 4078 (0xFEE) and advances, modulo 4,096, with every
// output byte; every output byte is also stored into the ring. The stream is
// a sequence of groups: one flag byte, then up to eight tokens whose kinds are
// the flag bits from bit 0 upwards.
//
//   flag bit 0  literal: one byte, the output byte
//   flag bit 1  reference: two bytes b0 b1
//               ring position = b0 | (b1 >> 4) << 8   (absolute, 0..4095)
//               length        = (b1 & 0x0F) + 3       (3..18)
//               copied byte by byte, so a source that overlaps the bytes
//               being written repeats them
//
// There is no end marker and no stored length: the decoder stops when it has
// produced the bytes it was asked for, the scan at the end of its input.
#ifndef MORQUENT_ARCHIVE_LZSS_H
#define MORQUENT_ARCHIVE_LZSS_H

#include <stdint.h>

enum {
    LZSS_RING_SIZE = 4096,
    LZSS_RING_START = 4096 - 18,
    LZSS_MIN_MATCH = 3,
    LZSS_MAX_MATCH = 18
};

// Writes exactly `outputLength` bytes to `output`: the first outputLength
// bytes that the stream decodes to. The result depends only on the input
// bytes that those outputs need, and nothing at or past `inputLength` is ever
// read (the fast path may look a few bytes ahead inside that bound; with
// outputLength 0 nothing is read at all); a reference cut by the wanted length
// is produced only in part. When the stream ends before the output is
// complete, the rest of the output is set to zero, so the result is always
// defined. Writes nothing outside output[0, outputLength) and allocates
// nothing; input and output must not overlap.
void LzssDecode(const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputLength);

// The number of output bytes that the complete tokens among the first
// `inputLength` bytes decode to. A flag byte as the last byte, or a reference
// whose second byte lies past the end, adds nothing. Reads only flag bytes and
// the second byte of each reference; never reads at or past inputLength.
// Saturates: a count above INT32_MAX (possible from about 253 MB of input made
// of long references) is returned as INT32_MAX, never wrapped.
int32_t LzssDecodedSize(const uint8_t* input, uint32_t inputLength);

#endif
