// Decoded-size scan over arbitrary streams, against the byte-loop reference
// scan. The input is the stream, in libFuzzer's exactly sized copy. The scan
// is also run in two pieces cut where the first byte says, and over the
// stream's first bytes followed by zeros that stand for the rest (a stream
// cut by the end of its file), as the listing runs it.
#include <stdlib.h>

#include <vector>

#include "archive/lzss.h"
#include "tests/support/lzss_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int64_t expected = ReferenceLzssDecodedSize(data, (uint32_t)size);
    if (expected > INT32_MAX) expected = INT32_MAX;
    if (LzssDecodedSize(data, (uint32_t)size) != expected) abort();
    if (size == 0) return 0;

    size_t cut = data[0] % (size + 1);
    LzssScan scan;
    LzssScanStart(&scan);
    LzssScanSome(&scan, data, (uint32_t)cut);
    LzssScanSome(&scan, data + cut, (uint32_t)(size - cut));
    if (LzssScanCount(&scan) != expected) abort();

    // The first `cut` bytes, then as many zeros as the rest and a few more.
    std::vector<uint8_t> padded(data, data + cut);
    padded.resize(size + data[size - 1] % 32, 0);
    LzssScanStart(&scan);
    LzssScanSome(&scan, data, (uint32_t)cut);
    LzssScanZeros(&scan, padded.size() - cut);
    if (LzssScanCount(&scan) != ReferenceLzssDecodedSize(padded.data(), (uint32_t)padded.size())) abort();
    return 0;
}
