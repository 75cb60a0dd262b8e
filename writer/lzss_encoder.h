// LZSS encoder for the QOR's DAT stream format (see archive/lzss.h for the
// format). Used by the archive writer, tests, fixtures and benchmarks; it is
// not part of the plug-in.
#ifndef MORQUENT_WRITER_LZSS_ENCODER_H
#define MORQUENT_WRITER_LZSS_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

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
    // caller's thread and starts none (the only choice in a build without
    // threads, such as single-threaded WebAssembly, which takes any value as
    // 1). The output does not depend on it.
    unsigned threads = 1;
    // Content per block. Every block is encoded on its own with the 4,096
    // bytes before it as the ring's history, and matches stop at its end.
    // Tests take small blocks to get many joins. At most 1 GiB (larger is
    // taken as 1 GiB).
    size_t blockSize = size_t(1) << 20;
};

// The encoder: streams (one per archive entry, say) encoded one after the
// other, their blocks on `threads` threads at once, handed out in order.
// Content goes in with Add and EndStream; the stream bytes come out with
// Take. Every block queued holds its content and, once encoded, its tokens,
// until it is taken: a caller that takes whenever Full() says so keeps the
// memory at a few MiB per thread. With one thread no thread is started:
// each block is encoded in Add or EndStream, on the caller's thread.
//
// A stream's bytes depend only on its content, the level and the block size,
// never on the threads or on how the content is cut into Add calls. They
// decode (LzssDecode, asked for the content's size) to exactly the content.
class LzssPipeline {
public:
    explicit LzssPipeline(const LzssOptions& options);
    ~LzssPipeline();
    LzssPipeline(const LzssPipeline&) = delete;
    LzssPipeline& operator=(const LzssPipeline&) = delete;

    // Appends content to the current stream (a stream begins with the first
    // Add after the previous EndStream).
    void Add(const uint8_t* data, size_t size);
    // Ends the current stream, which may be empty. Its last block carries
    // `tag`, which Take hands back with the stream's last bytes.
    void EndStream(uint64_t tag = 0);

    struct Taken {
        bool any = false;        // bytes of the oldest block were appended to `out`
        bool streamEnd = false;  // they were the last of their stream: it is complete
        uint64_t tag = 0;        // with streamEnd: the tag EndStream was given
        uint64_t content = 0;    // with streamEnd: the stream's content bytes
    };
    // Hands out the oldest block not yet taken. Without `wait`, takes
    // nothing while it is not encoded yet.
    Taken Take(std::vector<uint8_t>& out, bool wait);
    // Blocks queued and not yet taken.
    size_t Queued() const;
    // Whether the caller should take before adding more.
    bool Full() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The whole stream of `size` bytes, through LzssPipeline. The default
// options (the optimal level, one thread, 1 MiB blocks) give content of up
// to a block the smallest stream the format allows.
std::vector<uint8_t> LzssEncode(const uint8_t* data, size_t size, const LzssOptions& options = LzssOptions());
inline std::vector<uint8_t> LzssEncode(const std::vector<uint8_t>& data, const LzssOptions& options = LzssOptions())
{
    return LzssEncode(data.data(), data.size(), options);
}

#endif
