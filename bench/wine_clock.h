// The clock of the benchmarks that run under Wine: seconds from
// QueryPerformanceCounter, as a double.
#ifndef MORQUENT_BENCH_WINE_CLOCK_H
#define MORQUENT_BENCH_WINE_CLOCK_H

#include <windows.h>

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

#endif
