// Loaded into qordat ahead of the C library (LD_PRELOAD) by the conventions
// test: renameat2 with flags fails with EINVAL, as on a file system that
// knows no RENAME_NOREPLACE, so that -k takes its other way of putting a
// file in place without replacing one (a second link, then the old name goes).
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags)
{
    if (flags != 0) {
        errno = EINVAL;
        return -1;
    }
    return renameat(fromDir, from, toDir, to);
}
