#include "archive/lzss.h"

#include <string.h>

void LzssDecode(const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputLength)
{
    uint8_t ring[LZSS_RING_SIZE];
    memset(ring, 0, sizeof ring);
    uint32_t w = LZSS_RING_START;
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
            w = (w + 1) & (LZSS_RING_SIZE - 1);
        } else {
            if (inputLength - in < 2) break;
            uint32_t p = input[in] | ((uint32_t)(input[in + 1] >> 4) << 8);
            uint32_t n = (input[in + 1] & 0x0F) + LZSS_MIN_MATCH;
            in += 2;
            for (uint32_t k = 0; k < n && out < outputLength; k++) {
                uint8_t c = ring[p];
                ring[w] = c;
                output[out++] = c;
                p = (p + 1) & (LZSS_RING_SIZE - 1);
                w = (w + 1) & (LZSS_RING_SIZE - 1);
            }
        }
        bit++;
    }
    if (out < outputLength) memset(output + out, 0, outputLength - out);
}

int32_t LzssDecodedSize(const uint8_t* input, uint32_t inputLength)
{
    uint32_t j = 0;
    int32_t count = 0;
    while (j < inputLength) {
        unsigned flags = input[j++];
        for (unsigned bit = 0; bit < 8 && j < inputLength; bit++) {
            if (!(flags & (1u << bit))) {
                count += 1;
                j += 1;
            } else {
                if (inputLength - j < 2) return count;
                count += (input[j + 1] & 0x0F) + LZSS_MIN_MATCH;
                j += 2;
            }
        }
    }
    return count;
}
