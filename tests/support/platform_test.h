// The tests' side of the platform seam: files through the C library (the
// pieces of calls/platform_native.h), working buffers and host blocks on the
// heap, and what tests and fuzz targets need besides:
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
#ifndef MORQUENT_TESTS_SUPPORT_PLATFORM_TEST_H
#define MORQUENT_TESTS_SUPPORT_PLATFORM_TEST_H

#include <stddef.h>
#include <stdint.h>

#include "calls/platform_native.h"

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
    int close;      // OutputClose fails (the file is then removed)
};
extern NativeFaults nativeFaults;

// The kinds of fault, in NativeFaults' order, for tables of tests and fuzz
// targets; FaultCountdown gives the countdown of one kind.
enum FaultKind {
    FAULT_OPEN,
    FAULT_WORK,
    FAULT_HOST_ALLOC,
    FAULT_HOST_LOCK,
    FAULT_SHORT_READ,
    FAULT_CREATE,
    FAULT_WRITE,
    FAULT_SET_END,
    FAULT_CLOSE,
    FAULT_KINDS,
    NO_FAULT = FAULT_KINDS
};
int& FaultCountdown(NativeFaults& faults, int kind);
// The result code of a call that a fault of `kind` hit; -1 for a short read,
// which the call takes for zeros (any code of the call's may follow).
int FaultResultCode(int kind);

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


#endif
