// LZSS decoder over arbitrary streams, against the byte-loop reference, whole
// and in pieces.
//
// Input: bytes 0 and 1 choose the wanted length, bytes 2 and 3 the cuts; the
// rest is the stream, used in place (libFuzzer's copy is exactly its size, so
// ASan reports any read past it). With bit 7 of byte 0 set, the wanted length
// is the stream's decoded size plus a signed offset from byte 1, which keeps
// it near where the stream runs out; otherwise it is bytes 0-1 as a 15-bit
// number. The output is a heap block of exactly the wanted length. Then the
// resumable decoder gets the stream in pieces of byte 2 + 1 bytes and the
// output in rooms of 17 x byte 3 + 1 bytes with 4,096 bytes of history (as
// disk output), and the resumable scan the same pieces; both must give what
// the whole-stream functions give.
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "archive/lzss.h"
#include "tests/support/lzss_pieces.h"
#include "tests/support/lzss_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const uint8_t* stream = data + 4;
    uint32_t length = (uint32_t)(size - 4);
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

    const size_t piece = (size_t)data[2] + 1, room = 17 * (size_t)data[3] + 1;
    std::vector<uint8_t> pieces = DecodeInPieces(stream, length, (size_t)wanted, [&] { return piece; }, [&] { return room; });
    if (wanted && memcmp(pieces.data(), reference.get(), (size_t)wanted) != 0) abort();
    int64_t count = ReferenceLzssDecodedSize(stream, length);
    if (ScanInPieces(stream, length, [&] { return piece; }) != (count > INT32_MAX ? INT32_MAX : count)) abort();
    return 0;
}
