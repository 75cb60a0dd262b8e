// LZSS encoder for the QOR's DAT stream format (see archive/lzss.h for the
// format). Used by the archive writer, tests, fixtures and benchmarks; it is
// not part of the plug-in.
#ifndef MORQUENT_TOOLS_LZSS_ENCODER_H
#define MORQUENT_TOOLS_LZSS_ENCODER_H

#include <cstddef>
#include <cstdint>
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

#endif
