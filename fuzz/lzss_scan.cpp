// Decoded-size scan over arbitrary streams, against the byte-loop reference
// scan. The input is the stream, in libFuzzer's exactly sized copy.
#include <stdlib.h>

#include "archive/lzss.h"
#include "tests/native/lzss_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int64_t expected = ReferenceLzssDecodedSize(data, (uint32_t)size);
    if (expected > INT32_MAX) expected = INT32_MAX;
    if (LzssDecodedSize(data, (uint32_t)size) != expected) abort();
    return 0;
}
