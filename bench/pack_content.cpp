// Writes synthetic content of one kind to a file, for the pack benchmark
// (bench/pack_bench.sh): the same bytes the LZSS benchmarks use, from
// tests/support/test_content.h.
//
//   pack_content KIND SIZE FILE      KIND: photo, sound, text, random, runs
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/test_content.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: pack_content photo|sound|text|random|runs SIZE FILE\n");
        return 2;
    }
    int kind = -1;
    for (int k = 0; k < test_content::KIND_COUNT; k++)
        if (!std::strcmp(argv[1], test_content::KindName(k))) kind = k;
    char* end = nullptr;
    const unsigned long long size = std::strtoull(argv[2], &end, 0);
    if (kind < 0 || !end || *end || size == 0) {
        std::fprintf(stderr, "pack_content: unknown kind or size\n");
        return 2;
    }
    const test_content::Bytes bytes = test_content::Make(kind, static_cast<size_t>(size), 1);
    FILE* f = std::fopen(argv[3], "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}
