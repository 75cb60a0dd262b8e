// LZSS timing harness for the 32-bit build: the fast decoder, the byte-loop
// reference and the scan, timed in one process on the same encoded content as
// bench/lzss_bench.cpp (five kinds at 1 MiB and 16 MiB, and 1,024 distinct
// 1 KiB streams), with memcpy as the ceiling. Prints output MB/s (medians of
// the repetitions) and the ratios. Run under Wine:
//
//   scripts/wine-run.sh build/win32/lzss_timing.exe [REPETITIONS]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzss.h"
#include "bench/lzss_corpus.h"
#include "tests/support/lzss_reference.h"

namespace {

enum What { FAST, REFERENCE, SCAN, MEMCPY, WHAT_COUNT };

volatile int32_t scanSink;  // keeps the scan's result alive

void RunOne(int what, const lzss_corpus::Sample& s, uint8_t* out)
{
    uint32_t inLength = (uint32_t)s.stream.size(), outLength = (uint32_t)s.content.size();
    switch (what) {
    case FAST: LzssDecode(s.stream.data(), inLength, out, outLength); break;
    case REFERENCE: ReferenceLzssDecode(s.stream.data(), inLength, out, outLength); break;
    case SCAN: scanSink = LzssDecodedSize(s.stream.data(), inLength); break;
    default: std::memcpy(out, s.content.data(), outLength); break;
    }
}

double Seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Median over `repetitions` of the output MB/s of decoding `samples`, each
// repetition lasting at least 0.1 s. The kinds of work are interleaved, so
// that a change in machine load hits them alike.
void Measure(const std::vector<const lzss_corpus::Sample*>& samples, int repetitions, double mbps[WHAT_COUNT])
{
    size_t bytes = 0, largest = 0;
    for (const lzss_corpus::Sample* s : samples) {
        bytes += s->content.size();
        largest = std::max(largest, s->content.size());
    }
    std::vector<uint8_t> out(largest);
    for (const lzss_corpus::Sample* s : samples) {
        LzssDecode(s->stream.data(), (uint32_t)s->stream.size(), out.data(), (uint32_t)s->content.size());
        if (std::memcmp(out.data(), s->content.data(), s->content.size()) != 0) {
            std::printf("decoded output differs\n");
            std::exit(1);
        }
    }
    std::vector<double> rates[WHAT_COUNT];
    for (int r = 0; r < repetitions; r++) {
        for (int what = 0; what < WHAT_COUNT; what++) {
            int iterations = 0;
            double start = Seconds(), elapsed;
            do {
                for (const lzss_corpus::Sample* s : samples) RunOne(what, *s, out.data());
                iterations++;
                elapsed = Seconds() - start;
            } while (elapsed < 0.1);
            rates[what].push_back((double)bytes * iterations / elapsed / 1e6);
        }
    }
    for (int what = 0; what < WHAT_COUNT; what++) {
        std::sort(rates[what].begin(), rates[what].end());
        mbps[what] = rates[what][rates[what].size() / 2];
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::printf("LZSS, %d-bit build, median of %d repetitions, output MB/s\n\n", (int)(8 * sizeof(void*)), repetitions);
    std::printf("%-7s %-14s %9s %9s %9s %9s %8s %8s %9s\n", "kind", "size", "fast", "baseline", "scan", "memcpy",
                "fast/bl", "scan/bl", "memcpy/f");
    double logSum = 0, worst = 1e9;
    int count = 0;
    for (int kind = 0; kind < test_content::KIND_COUNT; kind++) {
        for (int size : {1 << 20, 16 << 20, 0}) {
            std::vector<const lzss_corpus::Sample*> samples;
            char label[32];
            if (size) {
                samples.push_back(&lzss_corpus::Get(kind, (size_t)size));
                std::snprintf(label, sizeof label, "%d MiB", size >> 20);
            } else {
                for (const lzss_corpus::Sample& s : lzss_corpus::Many(kind, 1024, 1024)) samples.push_back(&s);
                std::snprintf(label, sizeof label, "1024 x 1 KiB");
            }
            double mbps[WHAT_COUNT];
            Measure(samples, repetitions, mbps);
            double speedup = mbps[FAST] / mbps[REFERENCE];
            if (size) {
                logSum += std::log(speedup);
                worst = std::min(worst, speedup);
                count++;
            }
            std::printf("%-7s %-14s %9.0f %9.0f %9.0f %9.0f %7.2fx %7.1fx %8.1fx\n", test_content::KindName(kind), label,
                        mbps[FAST], mbps[REFERENCE], mbps[SCAN], mbps[MEMCPY], speedup, mbps[SCAN] / mbps[REFERENCE],
                        mbps[MEMCPY] / mbps[FAST]);
            std::fflush(stdout);
        }
    }
    std::printf("\nfast/baseline over the 1 MiB and 16 MiB rows: geometric mean %.2fx, lowest %.2fx\n",
                std::exp(logSum / count), worst);
    return 0;
}
