// LZSS decode and scan throughput, in output bytes per second, on encoded
// synthetic content of five kinds from 1 KiB to 16 MiB: the fast decoder
// (archive/lzss.cpp), the byte-loop reference through the ring, the scan, and
// memcpy of the decoded size as the ceiling. The "many" benchmarks decode 1,024
// distinct 1 KiB streams per iteration, so that the branch predictor cannot
// learn one small stream by heart.
//
// Names: <what>/<kind>/<bytes>. bench/run.sh runs the suite with repetitions
// and turns the medians into the table of bench/README.md.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "archive/lzss.h"
#include "bench/lzss_corpus.h"
#include "tests/support/lzss_reference.h"

namespace {

const size_t SIZES[] = {1 << 10, 64 << 10, 1 << 20, 16 << 20};
const size_t MANY_COUNT = 1024, MANY_SIZE = 1 << 10;

enum What { FAST, REFERENCE, SCAN, MEMCPY };

void RunOne(What what, const lzss_corpus::Sample& s, uint8_t* out)
{
    uint32_t inLength = (uint32_t)s.stream.size(), outLength = (uint32_t)s.content.size();
    switch (what) {
    case FAST: LzssDecode(s.stream.data(), inLength, out, outLength); break;
    case REFERENCE: ReferenceLzssDecode(s.stream.data(), inLength, out, outLength); break;
    case SCAN: {
        int32_t n = LzssDecodedSize(s.stream.data(), inLength);
        benchmark::DoNotOptimize(n);
        break;
    }
    case MEMCPY: std::memcpy(out, s.content.data(), outLength); break;
    }
    benchmark::ClobberMemory();
}

void Single(benchmark::State& state, What what, int kind, size_t size)
{
    const lzss_corpus::Sample& s = lzss_corpus::Get(kind, size);
    std::vector<uint8_t> out(size);
    RunOne(what, s, out.data());
    if (what != SCAN && what != MEMCPY && out != s.content) state.SkipWithError("decoded output differs");
    for (auto _ : state) RunOne(what, s, out.data());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)size);
    state.counters["ratio"] = (double)s.stream.size() / (double)size;
}

void Many(benchmark::State& state, What what, int kind)
{
    const std::vector<lzss_corpus::Sample>& all = lzss_corpus::Many(kind, MANY_SIZE, MANY_COUNT);
    std::vector<uint8_t> out(MANY_SIZE);
    for (auto _ : state)
        for (const lzss_corpus::Sample& s : all) RunOne(what, s, out.data());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)(MANY_SIZE * MANY_COUNT));
}

void Register()
{
    const char* whatNames[] = {"fast", "reference", "scan", "memcpy"};
    for (int kind = 0; kind < test_content::KIND_COUNT; kind++) {
        for (int what = FAST; what <= MEMCPY; what++) {
            for (size_t size : SIZES) {
                std::string name = std::string(whatNames[what]) + "/" + test_content::KindName(kind) + "/" +
                                   std::to_string(size);
                benchmark::RegisterBenchmark(name.c_str(), Single, (What)what, kind, size);
            }
            std::string name = std::string(whatNames[what]) + "/" + test_content::KindName(kind) + "/many1024x1024";
            benchmark::RegisterBenchmark(name.c_str(), Many, (What)what, kind);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
