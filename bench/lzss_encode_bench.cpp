// The LZSS encoder's levels on one thread, in this process: the fastest of
// N runs over each file (the least disturbed by other work on the machine),
// in MiB/s of content, with the stream's size. Times are the thread's CPU
// time, which other work on a loaded machine disturbs less than the clock
// on the wall. Files as pack_bench.py leaves them (build/bench/pack/KIND).
// Built against another commit's encoder too (the encoder's sources
// compiled with this file), it compares two encoders run for run
// (bench/encode_compare.py alternates the two builds).
//
//   lzss_encode_bench [--levels fast,normal,best] ROUNDS FILE...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "writer/lzss_encoder.h"

namespace {

double ThreadSeconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string levels = "fast,normal";
    int a = 1;
    if (a + 1 < argc && std::strcmp(argv[a], "--levels") == 0) {
        levels = argv[a + 1];
        a += 2;
    }
    if (argc - a < 2) {
        std::fprintf(stderr, "usage: lzss_encode_bench [--levels fast,normal,best] ROUNDS FILE...\n");
        return 2;
    }
    const int rounds = std::atoi(argv[a]);
    const struct {
        const char* name;
        LzssLevel level;
    } known[] = {{"fast", LzssLevel::Fast}, {"normal", LzssLevel::Normal}, {"best", LzssLevel::Optimal}};
    for (int f = a + 1; f < argc; f++) {
        std::ifstream in(argv[f], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "lzss_encode_bench: cannot read %s\n", argv[f]);
            return 1;
        }
        const std::vector<uint8_t> content((std::istreambuf_iterator<char>(in)), {});
        for (const auto& k : known) {
            if (("," + levels + ",").find("," + std::string(k.name) + ",") == std::string::npos) continue;
            LzssOptions options;
            options.level = k.level;
            double best = 1e9;
            size_t size = 0;
            for (int r = 0; r < rounds; r++) {
                const double start = ThreadSeconds();
                size = LzssEncode(content.data(), content.size(), options).size();
                best = std::min(best, ThreadSeconds() - start);
            }
            std::printf("%s\t%s\t%.1f MiB/s\t%zu bytes\n", argv[f], k.name, content.size() / 1048576.0 / best, size);
        }
    }
    return 0;
}
