// The platform seam over the C library (calls/platform_native.cpp): what
// qordat runs the archive calls on outside Windows. Files are read and
// written through stdio; working buffers and host blocks are heap blocks.
//
// Its C-library pieces are declared here too, for a seam that builds on them
// (the tests' seam adds memory files, faults and accounting around them).
#ifndef MORQUENT_CALLS_PLATFORM_NATIVE_H
#define MORQUENT_CALLS_PLATFORM_NATIVE_H

#include <stdint.h>
#include <stdio.h>

#include <string>

#include "calls/platform.h"

// Opens `path` for reading; *length gets its length (0 when it cannot be
// told). Null when it cannot be opened.
inline FILE* NativeOpenRead(const char* path, int64_t* length)
{
    *length = 0;
    FILE* stream = fopen(path, "rb");
    if (stream && fseeko(stream, 0, SEEK_END) == 0) *length = (int64_t)ftello(stream);
    return stream;
}

// Reads up to `length` bytes at `position` into `buffer`; returns how many
// arrived. Writes nothing past them (the caller zeroes the rest).
inline uint32_t NativeReadAt(FILE* stream, int64_t position, uint8_t* buffer, uint32_t length)
{
    if (position < 0 || length == 0 || fseeko(stream, (off_t)position, SEEK_SET) != 0) return 0;
    return (uint32_t)fread(buffer, 1, length, stream);
}

// The path disk output writes `name` to in `directory`: joined with a '/'
// (none after a trailing one); an empty directory is the current one.
inline std::string NativeOutputPath(const char* directory, const char* name)
{
    std::string path = directory;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + name;
}

// The size of a host block's content (kept by the heap side of the seam,
// calls/platform_heap.cpp, and by the tests' seam).
size_t NativeHostBlockSize(HostBlock block);

#endif
