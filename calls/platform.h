// The platform seam of the archive calls.
//
// The listing, the lookup and the extraction (calls/) are portable code. All
// they need from the system is here: reading an archive file, working
// buffers, the host's memory blocks and the file that disk output writes.
// The choice is made at link time, one side per platform:
//   - plugin/platform_win32.cpp, over kernel32, for the DLL (and qordat.exe);
//   - calls/platform_native.cpp with calls/platform_heap.cpp, over the C
//     library, for qordat and the benchmarks;
//   - tests/support/platform_test.cpp, the tests' and fuzz targets' side:
//     memory files, disk output kept in memory, faults on demand, counts of
//     what is outstanding;
//   - web/engine/platform_web.cpp with calls/platform_heap.cpp, the page's:
//     the Files the worker holds, read in slices, and output handed to the
//     worker's JavaScript in pieces.
// Nothing else in calls/ or archive/ touches the system.
#ifndef MORQUENT_CALLS_PLATFORM_H
#define MORQUENT_CALLS_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

// An archive file open for reading.
struct PlatformFile;
// A file that disk output is writing.
struct PlatformOutput;
// A block of memory that goes to the host: movable and zero-filled when
// allocated, used through a lock, freed by the host once handed over. On
// Windows it is an HLOCAL.
typedef void* HostBlock;

// Opens `path` for reading, sharing it with other readers. Returns null when
// the file cannot be opened. Sets *length to the file's length in bytes.
PlatformFile* FileOpenRead(const char* path, int64_t* length);

// Reads `length` bytes at byte `position` of the file into `buffer`. Every
// byte the read does not deliver (past the end, a negative position, a read
// that fails or falls short) is zero. Returns how many bytes were delivered.
uint32_t FileReadAt(PlatformFile* file, int64_t position, uint8_t* buffer, uint32_t length);

void FileClose(PlatformFile* file);

// A working buffer of `size` bytes from the ordinary heap (contents
// undefined), or null when it cannot be had; size 0 gives a pointer that is
// not null and never read. Never outlives the call.
void* WorkAlloc(size_t size);
void WorkFree(void* buffer);  // null is allowed

// The host's blocks. HostAlloc gives a movable block of `size` zero bytes,
// or null. HostLock gives its address, or null when it cannot be locked.
HostBlock HostAlloc(size_t size);
void* HostLock(HostBlock block);
void HostUnlock(HostBlock block);
void HostFree(HostBlock block);

// Creates (or replaces) the file `name` in `directory` for disk output.
// Returns null when it cannot be created. How the two are joined is the
// platform's: a '\' on Windows (none after a trailing one), a '/' elsewhere;
// an empty directory means the current one.
PlatformOutput* OutputCreate(const char* directory, const char* name);

// Writes `length` bytes; true only when every one of them was written.
bool OutputWrite(PlatformOutput* output, const void* bytes, uint32_t length);

// Makes the current position the end of the file; true on success.
bool OutputSetEnd(PlatformOutput* output);

// Closes the file; with `keep` false it is deleted as well, so that a write
// that failed leaves no partial file behind. Returns true when the file was
// kept and closed cleanly (a close that fails deletes it too).
bool OutputClose(PlatformOutput* output, bool keep);

#endif
