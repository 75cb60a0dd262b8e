// CHECK for the fuzz targets: an invariant that fails names its file and line
// and aborts, so libFuzzer keeps the input as a crash.
#ifndef MORQUENT_FUZZ_CHECK_H
#define MORQUENT_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

[[noreturn]] inline void FuzzFail(const char* what, const char* file, int line)
{
    fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    abort();
}

#define CHECK(c)                                        \
    do {                                                \
        if (!(c)) FuzzFail(#c, __FILE__, __LINE__);     \
    } while (0)

#endif
