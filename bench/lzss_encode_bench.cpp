// The LZSS encoder's levels on one thread, in this process: the fastest of
// N runs over each file (the least disturbed by other work on the machine),
// in MiB/s of content, with the stream's size. Files as pack_bench.py
// leaves them (build/bench/pack/KIND). Built against another commit's
// encoder too (the encoder's sources compiled with this file), it compares
// two encoders run for run:
//
//   lzss_encode_bench ROUNDS FILE...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "writer/lzss_encoder.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: lzss_encode_bench ROUNDS FILE...\n");
        return 2;
    }
    const int rounds = std::atoi(argv[1]);
    for (int f = 2; f < argc; f++) {
        std::ifstream in(argv[f], std::ios::binary);
        const std::vector<uint8_t> content((std::istreambuf_iterator<char>(in)), {});
        for (LzssLevel level : {LzssLevel::Fast, LzssLevel::Normal}) {
            LzssOptions options;
            options.level = level;
            double best = 1e9;
            size_t size = 0;
            for (int r = 0; r < rounds; r++) {
                const auto start = std::chrono::steady_clock::now();
                size = LzssEncode(content.data(), content.size(), options).size();
                best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            std::printf("%s\t%s\t%.1f MiB/s\t%zu bytes\n", argv[f], level == LzssLevel::Fast ? "fast" : "normal",
                        content.size() / 1048576.0 / best, size);
        }
    }
    return 0;
}
