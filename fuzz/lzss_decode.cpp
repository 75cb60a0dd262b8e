// LZSS decoder over arbitrary streams, against the byte-loop reference.
//
// Input: byte 0 and 1 choose the wanted length; the rest is the stream, used
// in place (libFuzzer's copy is exactly its size, so ASan reports any read
// past it). With bit 7 of byte 0 set, the wanted length is the stream's
// decoded size plus a signed offset from byte 1, which keeps it near where
// the stream runs out; otherwise it is bytes 0-1 as a 15-bit number. The
// output is a heap block of exactly the wanted length.
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "archive/lzss.h"
#include "tests/native/lzss_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const uint8_t* stream = data + 2;
    uint32_t length = (uint32_t)(size - 2);
    int64_t wanted;
    if (data[0] & 0x80) {
        wanted = ReferenceLzssDecodedSize(stream, length) + (int8_t)data[1];
        if (wanted < 0) wanted = 0;
    } else {
        wanted = (data[0] << 8 | data[1]) & 0x7FFF;
    }
    std::unique_ptr<uint8_t[]> fast(new uint8_t[wanted]), reference(new uint8_t[wanted]);
    LzssDecode(stream, length, fast.get(), (uint32_t)wanted);
    ReferenceLzssDecode(stream, length, reference.get(), (uint32_t)wanted);
    if (memcmp(fast.get(), reference.get(), (size_t)wanted) != 0) abort();
    return 0;
}
