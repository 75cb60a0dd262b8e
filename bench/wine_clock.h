// The clock of the benchmarks that run under Wine: seconds from
// QueryPerformanceCounter, as a double; and two builds of the plug-in timed
// one right after the other.
#ifndef MORQUENT_BENCH_WINE_CLOCK_H
#define MORQUENT_BENCH_WINE_CLOCK_H

#include <windows.h>

#include <algorithm>
#include <vector>

inline double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)frequency.QuadPart;
}

// Medians of two builds timed one right after the other in each of `runs`
// runs (after one untimed run of each), and of the runs' ratios (second
// over first) with their quartiles: two builds compared within one process,
// which moves far less under Wine than two processes do.
struct Alternated {
    double first, second;            // median seconds
    double ratio, ratioLow, ratioHigh;  // median, lower and upper quartile
};
// `timed(0)` and `timed(1)` run the case through the first and the second
// build and return its seconds.
template <typename Timed>
Alternated TimeAlternately(int runs, Timed timed)
{
    timed(0);
    timed(1);
    std::vector<double> first, second, ratios;
    for (int i = 0; i < runs; i++) {
        first.push_back(timed(0));
        second.push_back(timed(1));
        ratios.push_back(second.back() / first.back());
    }
    for (std::vector<double>* v : {&first, &second, &ratios}) std::sort(v->begin(), v->end());
    return {first[runs / 2], second[runs / 2], ratios[runs / 2], ratios[runs / 4], ratios[runs * 3 / 4]};
}

#endif
