// Encoded benchmark inputs shared by the Google Benchmark suite and the
// win32 timing harness: for each content kind, the content and its LZSS
// stream at a given size, and sets of many distinct small streams.
#ifndef MORQUENT_BENCH_LZSS_CORPUS_H
#define MORQUENT_BENCH_LZSS_CORPUS_H

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "writer/lzss_encoder.h"
#include "tests/support/test_content.h"

namespace lzss_corpus {

struct Sample {
    std::vector<uint8_t> content;
    std::vector<uint8_t> stream;
};

// One kind at one size, built on first use and kept.
inline const Sample& Get(int kind, size_t size)
{
    static std::map<std::pair<int, size_t>, Sample> cache;
    auto key = std::make_pair(kind, size);
    auto it = cache.find(key);
    if (it == cache.end()) {
        Sample s;
        s.content = test_content::Make(kind, size, 1000 + kind);
        s.stream = LzssEncode(s.content);
        it = cache.emplace(key, std::move(s)).first;
    }
    return it->second;
}

// `count` distinct streams of `size` bytes each, cut from one longer piece of
// content of the kind and encoded separately, as the entries of an archive
// would be.
inline const std::vector<Sample>& Many(int kind, size_t size, size_t count)
{
    static std::map<std::pair<int, size_t>, std::vector<Sample>> cache;
    auto key = std::make_pair(kind, size * 1000003 + count);
    auto it = cache.find(key);
    if (it == cache.end()) {
        std::vector<uint8_t> all = test_content::Make(kind, size * count, 2000 + kind);
        std::vector<Sample> v(count);
        for (size_t i = 0; i < count; i++) {
            v[i].content.assign(all.begin() + i * size, all.begin() + (i + 1) * size);
            v[i].stream = LzssEncode(v[i].content);
        }
        it = cache.emplace(key, std::move(v)).first;
    }
    return it->second;
}

}  // namespace lzss_corpus

#endif
