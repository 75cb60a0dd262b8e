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

// How hard the encoder looks for matches.
enum class LzssLevel {
    // Lazy matching over short hash chains: about twice Normal's speed, a
    // larger output (text: 3 % to 12 % larger than Optimal's).
    Fast,
    // Matches from hash chains and the parse of fewest bits over them: about
    // 1.5 times Optimal's speed, within about 1 % of its size.
    Normal,
    // Exact longest matches and the parse of fewest bits: the smallest
    // output the format allows for each block.
    Optimal,
};

struct LzssOptions {
    LzssLevel level = LzssLevel::Optimal;
    // Blocks encoded at once, on threads of their own; 1 encodes on the
    // caller's thread. The output does not depend on it.
    unsigned threads = 1;
    // Content per block. Every block is encoded on its own with the 4,096
    // bytes before it as the ring's history, and matches stop at its end.
    // Tests take small blocks to get many joins. At most 1 GiB (larger is
    // taken as 1 GiB).
    size_t blockSize = size_t(1) << 20;
};

// Streams (one per archive entry, say) encoded one after the other, their
// blocks on `threads` threads at once, handed out in order. Content goes in
// with Add and EndStream; the stream bytes come out with Take. Every block
// queued holds its content and, once encoded, its tokens, until it is
// taken: a caller that takes whenever Full() says so keeps the memory at a
// few MiB per thread.
//
// A stream's bytes depend only on its content, the level and the block size,
// never on the threads or on how the content is cut into Add calls.
class LzssPipeline {
public:
    explicit LzssPipeline(const LzssOptions& options);
    ~LzssPipeline();
    LzssPipeline(const LzssPipeline&) = delete;
    LzssPipeline& operator=(const LzssPipeline&) = delete;

    // Appends content to the current stream (a stream begins with the first
    // Add after the previous EndStream).
    void Add(const uint8_t* data, size_t size);
    // Ends the current stream, which may be empty.
    void EndStream();

    enum class Took {
        Nothing,    // nothing is queued, or (without waiting) the oldest block is not encoded yet
        Bytes,      // stream bytes of the oldest block were appended to `out`
        StreamEnd,  // the oldest stream's last bytes were appended to `out`: it is complete
    };
    // Hands out the oldest block not yet taken. With `wait`, waits for it to
    // be encoded.
    Took Take(std::vector<uint8_t>& out, bool wait);
    // Blocks and stream ends queued and not yet taken.
    size_t Queued() const;
    // Whether the caller should take before adding more.
    bool Full() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The whole stream of `size` bytes, through LzssPipeline with `options`.
std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size, const LzssOptions& options);

// The same stream as LzssPipeline with the default options, from content
// handed in piece by piece, in bounded memory: the content is encoded in
// blocks of kBlockSize bytes, each with the 4,096 bytes before it as the
// ring's history, and the token groups run on across blocks. Content of up
// to kBlockSize bytes gives exactly LzssEncode's stream; longer content a
// stream at most a few bytes larger per block (matches stop at a block's end).
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
    LzssPipeline pipeline_;
};

#endif
