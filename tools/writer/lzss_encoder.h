// LZSS encoder for the QOR's DAT stream format (see archive/lzss.h for the
// format). Used by the archive writer, tests, fixtures and benchmarks; it is
// not part of the plug-in.
#ifndef MORQUENT_TOOLS_LZSS_ENCODER_H
#define MORQUENT_TOOLS_LZSS_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Compresses `size` bytes into a stream that LzssDecode expands back to
// exactly those bytes (when asked for `size` bytes). Matches are searched in
// the 4,096-byte ring, the zeroed ring's initial content included, with
// lengths 3 to 18; at least as small as greedy longest-match output.
std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size);

inline std::vector<uint8_t> LzssEncode(const std::vector<uint8_t>& data)
{
    return LzssEncode(data.data(), data.size());
}

// The same stream, made from content handed in piece by piece, in bounded
// memory: the content is encoded in blocks of kBlockSize bytes, each with
// the 4,096 bytes before it as the ring's history, and the token groups run
// on across blocks. Content of up to kBlockSize bytes gives exactly
// LzssEncode's stream; longer content a stream at most a few bytes larger
// per block (matches stop at a block's end).
class LzssStreamEncoder {
public:
    static constexpr size_t kBlockSize = 1 << 20;
    LzssStreamEncoder();
    ~LzssStreamEncoder();
    // Appends the stream bytes that are complete to `out`.
    void Add(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
    // Appends the rest of the stream.
    void Finish(std::vector<uint8_t>& out);

private:
    struct Groups;
    void EncodePending(std::vector<uint8_t>& out);
    std::vector<uint8_t> block_;
    std::vector<uint8_t> history_ = std::vector<uint8_t>(4096, 0);
    uint64_t encoded_ = 0;
    std::unique_ptr<Groups> groups_;
};

#endif
