// The native side of the platform seam (calls/platform_native.cpp): files
// through the C library, working buffers and host blocks on the heap. Beyond
// the seam itself it offers what tests and fuzz targets need:
//
//  - files held in memory, served by path before the disk is asked, and disk
//    output kept in memory instead of written;
//  - faults on demand: the Nth open, working buffer, host block, lock, read
//    or write from now fails;
//  - counts of what is outstanding (open files, buffers, blocks, locks,
//    outputs), so that a test can see that a call released everything, and
//    the peak bytes of buffers and blocks, so that it can see what a call
//    needed.
//
// Every working buffer and every host block is a heap block of exactly the
// size asked for, so AddressSanitizer sees any access past one.
#ifndef MORQUENT_CALLS_PLATFORM_NATIVE_H
#define MORQUENT_CALLS_PLATFORM_NATIVE_H

#include <stddef.h>
#include <stdint.h>

#include "calls/platform.h"

// Countdowns: 0 never fails; N fails the Nth such operation from the moment
// the value is set (1: the next one), then goes back to 0.
struct NativeFaults {
    int open;       // FileOpenRead returns null
    int work;       // WorkAlloc returns null
    int hostAlloc;  // HostAlloc returns null
    int hostLock;   // HostLock returns null
    int shortRead;  // FileReadAt delivers only half of what it could
    int create;     // OutputCreate returns null
    int write;      // OutputWrite writes nothing and fails
    int setEnd;     // OutputSetEnd fails
};
extern NativeFaults nativeFaults;

// Host blocks larger than this are refused like a failed allocation (fuzz
// targets keep a damaged size field from costing a gigabyte). 0: no limit.
extern size_t nativeHostBlockLimit;

struct NativeOutstanding {
    int files, workBuffers, hostBlocks, hostLocks, outputs;
};
NativeOutstanding NativeCountOutstanding();

// Bytes of working buffers and of host blocks outstanding at once, at most,
// since the last NativeResetPeaks (which starts them from what is
// outstanding then): what a call costs in memory beyond its result.
struct NativePeaks {
    size_t workBytes, hostBytes;
};
NativePeaks NativePeakBytes();
void NativeResetPeaks();

// Serves `size` bytes (copied) as the file `path` until cleared.
void NativeAddMemoryFile(const char* path, const uint8_t* bytes, size_t size);
void NativeClearMemoryFiles();

// With memory output on, OutputCreate writes nowhere but to memory, under
// the joined path; NativeMemoryOutput gives what a path holds (null when it
// does not exist; *size its length).
void NativeSetMemoryOutput(bool on);
const uint8_t* NativeMemoryOutput(const char* path, size_t* size);
void NativeClearMemoryOutput();

// The contents of a host block (for tests that read what a call handed over).
size_t NativeHostBlockSize(HostBlock block);

#endif
