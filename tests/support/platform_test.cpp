// The platform seam over the C library, for native tests, fuzz targets and
// tools. See tests/support/platform_test.h for what it adds to the seam.
#include "tests/support/platform_test.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "calls/result.h"

NativeFaults nativeFaults;

int& FaultCountdown(NativeFaults& f, int kind)
{
    int* c[FAULT_KINDS] = {&f.open, &f.work, &f.hostAlloc, &f.hostLock, &f.shortRead,
                           &f.create, &f.write, &f.setEnd, &f.close};
    return *c[kind];
}
int FaultResultCode(int kind)
{
    switch (kind) {
    case FAULT_OPEN: return RESULT_CANNOT_OPEN;
    case FAULT_WORK: return RESULT_NO_MEMORY;
    case FAULT_HOST_ALLOC: return RESULT_NO_HOST_MEMORY;
    case FAULT_HOST_LOCK: return RESULT_NO_MEMORY;
    case FAULT_SHORT_READ: return -1;
    default: return RESULT_OUTPUT_FAILED;  // the disk output failed
    }
}
size_t nativeHostBlockLimit = 0;

namespace {

NativeOutstanding outstanding;
std::map<void*, size_t> workSizes;  // every working buffer outstanding, by address
size_t workBytes = 0, hostBytes = 0;
NativePeaks peaks = {0, 0};

// Books `delta` bytes to `*bytes` and raises `*peak` to it.
void Book(size_t* bytes, size_t* peak, ptrdiff_t delta)
{
    *bytes += (size_t)delta;
    if (*bytes > *peak) *peak = *bytes;
}
std::map<std::string, std::vector<uint8_t>> memoryFiles;
std::map<std::string, std::vector<uint8_t>> memoryOutput;
bool outputToMemory = false;

// Counts one operation down; true when this one is to fail.
bool Fails(int* countdown)
{
    if (*countdown <= 0) return false;
    return --*countdown == 0;
}

// Host blocks carry their size in front of the bytes, so that they can be
// told apart from working buffers and their size asked for.
struct BlockHeader {
    size_t size;
    int locks;
};

}  // namespace

// An open file: on disk (stdio) or one of the memory files.
struct PlatformFile {
    FILE* stream;
    const std::vector<uint8_t>* memory;
};

PlatformFile* FileOpenRead(const char* path, int64_t* length)
{
    *length = 0;
    if (Fails(&nativeFaults.open)) return nullptr;
    PlatformFile file = {nullptr, nullptr};
    auto found = memoryFiles.find(path);
    if (found != memoryFiles.end()) {
        file.memory = &found->second;
        *length = (int64_t)found->second.size();
    } else {
        file.stream = NativeOpenRead(path, length);
        if (!file.stream) return nullptr;
    }
    outstanding.files++;
    return new PlatformFile(file);
}

// Delivers the bytes that are there, then zeroes only the rest: extraction
// reads every entry through here, and touching its buffer twice costs.
static uint32_t Deliver(PlatformFile* file, int64_t position, uint8_t* buffer, uint32_t length)
{
    if (position < 0 || length == 0) return 0;
    if (file->memory) {
        const std::vector<uint8_t>& bytes = *file->memory;
        uint32_t delivered = 0;
        if ((uint64_t)position < bytes.size()) {
            uint64_t remaining = bytes.size() - (uint64_t)position;
            delivered = remaining < length ? (uint32_t)remaining : length;
        }
        if (Fails(&nativeFaults.shortRead)) delivered /= 2;
        if (delivered) memcpy(buffer, bytes.data() + position, delivered);
        return delivered;
    }
    return NativeReadAt(file->stream, position, buffer, Fails(&nativeFaults.shortRead) ? length / 2 : length);
}

uint32_t FileReadAt(PlatformFile* file, int64_t position, uint8_t* buffer, uint32_t length)
{
    uint32_t delivered = Deliver(file, position, buffer, length);
    memset(buffer + delivered, 0, length - delivered);
    return delivered;
}

void FileClose(PlatformFile* file)
{
    if (file->stream) fclose(file->stream);
    delete file;
    outstanding.files--;
}

void* WorkAlloc(size_t size)
{
    if (Fails(&nativeFaults.work)) return nullptr;
    void* buffer = malloc(size);
    if (!buffer && size == 0) buffer = malloc(1);
    if (buffer) {
        outstanding.workBuffers++;
        workSizes[buffer] = size;
        Book(&workBytes, &peaks.workBytes, (ptrdiff_t)size);
    }
    return buffer;
}

void WorkFree(void* buffer)
{
    if (!buffer) return;
    auto found = workSizes.find(buffer);
    Book(&workBytes, &peaks.workBytes, -(ptrdiff_t)found->second);
    workSizes.erase(found);
    free(buffer);
    outstanding.workBuffers--;
}

HostBlock HostAlloc(size_t size)
{
    if (Fails(&nativeFaults.hostAlloc)) return nullptr;
    if (nativeHostBlockLimit && size > nativeHostBlockLimit) return nullptr;
    BlockHeader* block = (BlockHeader*)malloc(sizeof(BlockHeader) + size);
    if (!block) return nullptr;
    block->size = size;
    block->locks = 0;
    memset(block + 1, 0, size);
    outstanding.hostBlocks++;
    Book(&hostBytes, &peaks.hostBytes, (ptrdiff_t)size);
    return block;
}

void* HostLock(HostBlock block)
{
    if (!block || Fails(&nativeFaults.hostLock)) return nullptr;
    BlockHeader* header = (BlockHeader*)block;
    if (header->locks++ == 0) outstanding.hostLocks++;
    return header + 1;
}

void HostUnlock(HostBlock block)
{
    BlockHeader* header = (BlockHeader*)block;
    if (header->locks > 0 && --header->locks == 0) outstanding.hostLocks--;
}

void HostFree(HostBlock block)
{
    BlockHeader* header = (BlockHeader*)block;
    if (header->locks > 0) outstanding.hostLocks--;
    Book(&hostBytes, &peaks.hostBytes, -(ptrdiff_t)header->size);
    free(header);
    outstanding.hostBlocks--;
}

size_t NativeHostBlockSize(HostBlock block) { return block ? ((BlockHeader*)block)->size : 0; }

// A file being written: a stdio stream, or bytes kept in memory under its path.
struct PlatformOutput {
    std::string path;
    FILE* stream;
    std::vector<uint8_t> bytes;
};

PlatformOutput* OutputCreate(const char* directory, const char* name)
{
    if (Fails(&nativeFaults.create)) return nullptr;
    PlatformOutput* output = new PlatformOutput{NativeOutputPath(directory, name), nullptr, {}};
    if (!outputToMemory) {
        output->stream = fopen(output->path.c_str(), "wb");
        if (!output->stream) {
            delete output;
            return nullptr;
        }
    }
    outstanding.outputs++;
    return output;
}

bool OutputWrite(PlatformOutput* output, const void* bytes, uint32_t length)
{
    if (Fails(&nativeFaults.write)) return false;
    if (!output->stream) {
        output->bytes.insert(output->bytes.end(), (const uint8_t*)bytes, (const uint8_t*)bytes + length);
        return true;
    }
    return fwrite(bytes, 1, length, output->stream) == length;
}

bool OutputSetEnd(PlatformOutput* output)
{
    // A stream opened "wb" starts empty and is written from its start, so its
    // end is where the writing stopped.
    if (Fails(&nativeFaults.setEnd)) return false;
    return !output->stream || fflush(output->stream) == 0;
}

bool OutputClose(PlatformOutput* output, bool keep)
{
    if (Fails(&nativeFaults.close)) keep = false;
    if (output->stream) {
        keep = fclose(output->stream) == 0 && keep;
        if (!keep) remove(output->path.c_str());
    } else if (keep) {
        memoryOutput[output->path] = output->bytes;
    } else {
        memoryOutput.erase(output->path);
    }
    delete output;
    outstanding.outputs--;
    return keep;
}

NativeOutstanding NativeCountOutstanding() { return outstanding; }

NativePeaks NativePeakBytes() { return peaks; }

void NativeResetPeaks() { peaks = {workBytes, hostBytes}; }

void NativeAddMemoryFile(const char* path, const uint8_t* bytes, size_t size)
{
    memoryFiles[path] = std::vector<uint8_t>(bytes, bytes + size);
}

void NativeClearMemoryFiles() { memoryFiles.clear(); }

void NativeSetMemoryOutput(bool on) { outputToMemory = on; }

const uint8_t* NativeMemoryOutput(const char* path, size_t* size)
{
    auto found = memoryOutput.find(path);
    if (found == memoryOutput.end()) return nullptr;
    static const uint8_t EMPTY[1] = {0};
    *size = found->second.size();
    return found->second.empty() ? EMPTY : found->second.data();
}

void NativeClearMemoryOutput() { memoryOutput.clear(); }
