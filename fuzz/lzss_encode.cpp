// The LZSS encoder's levels (qordat pack's --fast, default and --best) over
// arbitrary content, cut into blocks of a size the input chooses: every
// stream decodes back to its content through the plug-in's decoder and the
// byte-loop reference, and its decoded size is the content's. Then the parse
// of fewest bits on both its paths (vectors, plain C++) over match lengths
// the content gives: the same token at every position.
//
// Input: a level byte, two block-size bytes, then the content.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "archive/lzss.h"
#include "tests/support/lzss_reference.h"
#include "writer/lzss_blocks.h"
#include "writer/lzss_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) return 0;
    static const LzssLevel kLevels[] = {LzssLevel::Fast, LzssLevel::Normal, LzssLevel::Optimal};
    LzssOptions options;
    options.level = kLevels[data[0] % 3];
    const uint8_t* content = data + 3;
    const size_t length = size - 3;
    // Blocks smaller than the ring make a block's history span earlier
    // blocks; at most 16 blocks, since each sets up its own match finder.
    options.blockSize = std::max<size_t>(1 + (data[1] | data[2] << 8) % 6000, length / 16 + 1);

    const std::vector<uint8_t> stream = LzssEncode(content, length, options);
    std::vector<uint8_t> decoded(length), reference(length + 1);
    LzssDecode(stream.data(), (uint32_t)stream.size(), decoded.data(), (uint32_t)length);
    if (length && memcmp(decoded.data(), content, length) != 0) abort();
    ReferenceLzssDecode(stream.data(), (uint32_t)stream.size(), reference.data(), (uint32_t)length);
    if (length && memcmp(reference.data(), content, length) != 0) abort();
    if (LzssDecodedSize(stream.data(), (uint32_t)stream.size()) != (int32_t)length) abort();

    // Lengths as a finder hands them over: 0, or 3 to 18 and not past the end.
    std::vector<uint8_t> lengths(length);
    for (size_t i = 0; i < length; i++) {
        const size_t n = content[i] % (LZSS_MAX_MATCH + 1);
        lengths[i] = n >= LZSS_MIN_MATCH && n <= length - i ? (uint8_t)n : 0;
    }
    std::vector<uint8_t> vectors = lengths, plain = lengths;
    lzss_blocks::ParseFewestBits(vectors.data(), length);
    lzss_blocks::ParseFewestBitsPortable(plain.data(), length);
    if (vectors != plain) abort();
    return 0;
}
