// Working buffers and host blocks on the C library's heap: the memory side
// of the platform seam for qordat's native seam and the page's (the plug-in
// has its own over kernel32's local memory, the tests' seam its own with
// faults and accounting).
#include <stdint.h>
#include <stdlib.h>

#include "calls/platform_native.h"

void* WorkAlloc(size_t size) { return malloc(size ? size : 1); }

void WorkFree(void* buffer) { free(buffer); }

// Host blocks carry their size in front of the bytes.
HostBlock HostAlloc(size_t size)
{
    if (size > SIZE_MAX - sizeof(size_t)) return nullptr;
    size_t* block = (size_t*)calloc(1, sizeof(size_t) + size);
    if (block) *block = size;
    return block;
}

void* HostLock(HostBlock block) { return block ? (size_t*)block + 1 : nullptr; }

void HostUnlock(HostBlock) {}

void HostFree(HostBlock block) { free(block); }

size_t NativeHostBlockSize(HostBlock block) { return block ? *(size_t*)block : 0; }
