// The plain byte-at-a-time LZSS decoder and scan, kept as the reference that
// the optimised archive/lzss.cpp must match byte for byte. Shared by the unit
// tests, the fuzz targets and the benchmarks; never linked into the plug-in.
//
// The decoder goes through a zeroed 4,096-byte ring exactly as the format
// describes it; when the stream runs out before the wanted output, the rest of
// the output is zero-filled. The scan counts in 64 bits, so callers can check
// how the product saturates.
#ifndef MORQUENT_TESTS_LZSS_REFERENCE_H
#define MORQUENT_TESTS_LZSS_REFERENCE_H

#include <stdint.h>
#include <string.h>

inline void ReferenceLzssDecode(const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputLength)
{
    uint8_t ring[4096];
    memset(ring, 0, sizeof ring);
    uint32_t w = 4096 - 18;
    uint32_t in = 0, out = 0;
    unsigned flags = 0, bit = 8;

    while (out < outputLength) {
        if (bit == 8) {
            if (in >= inputLength) break;
            flags = input[in++];
            bit = 0;
        }
        if (!(flags & (1u << bit))) {
            if (in >= inputLength) break;
            uint8_t c = input[in++];
            ring[w] = c;
            output[out++] = c;
            w = (w + 1) & 4095;
        } else {
            if (inputLength - in < 2) break;
            uint32_t p = input[in] | ((uint32_t)(input[in + 1] >> 4) << 8);
            uint32_t n = (input[in + 1] & 0x0F) + 3;
            in += 2;
            for (uint32_t k = 0; k < n && out < outputLength; k++) {
                uint8_t c = ring[p];
                ring[w] = c;
                output[out++] = c;
                p = (p + 1) & 4095;
                w = (w + 1) & 4095;
            }
        }
        bit++;
    }
    if (out < outputLength) memset(output + out, 0, outputLength - out);
}

inline int64_t ReferenceLzssDecodedSize(const uint8_t* input, uint32_t inputLength)
{
    uint32_t j = 0;
    int64_t count = 0;
    while (j < inputLength) {
        unsigned flags = input[j++];
        for (unsigned bit = 0; bit < 8 && j < inputLength; bit++) {
            if (!(flags & (1u << bit))) {
                count += 1;
                j += 1;
            } else {
                if (inputLength - j < 2) return count;
                count += (input[j + 1] & 0x0F) + 3;
                j += 2;
            }
        }
    }
    return count;
}

#endif
