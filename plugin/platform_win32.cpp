// The platform seam over kernel32, for the DLL: files through CreateFileA and
// ReadFile, working buffers from the C runtime's heap, host blocks from
// LocalAlloc (movable, zero-filled), disk output through CreateFileA and
// WriteFile.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "calls/platform.h"

PlatformFile* FileOpenRead(const char* path, int64_t* length)
{
    *length = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return NULL;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size)) *length = size.QuadPart;
    return (PlatformFile*)file;
}

uint32_t FileReadAt(PlatformFile* file, int64_t position, uint8_t* buffer, uint32_t length)
{
    // Read first and zero only what the read did not deliver: the extraction
    // reads every entry through here, and touching its buffer twice costs.
    DWORD read = 0;
    LARGE_INTEGER to;
    to.QuadPart = position;
    if (position >= 0 && length != 0 && SetFilePointerEx((HANDLE)file, to, NULL, FILE_BEGIN) &&
        !ReadFile((HANDLE)file, buffer, length, &read, NULL))
        read = 0;
    if (read > length) read = 0;
    memset(buffer + read, 0, length - read);
    return read;
}

void FileClose(PlatformFile* file) { CloseHandle((HANDLE)file); }

void* WorkAlloc(size_t size) { return malloc(size ? size : 1); }

void WorkFree(void* buffer) { free(buffer); }

HostBlock HostAlloc(size_t size) { return LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size); }

void* HostLock(HostBlock block) { return LocalLock(block); }

void HostUnlock(HostBlock block) { LocalUnlock(block); }

void HostFree(HostBlock block) { LocalFree(block); }

// A file being written, and its path, to delete it by when the write fails.
struct PlatformOutput {
    HANDLE file;
    char path[1];  // the joined path, NUL-terminated; allocated to its length
};

// True when the last character of `dir` is a single-byte '\' (a trail byte
// 0x5C of a double-byte character is not a separator).
static bool EndsWithSeparator(const char* dir)
{
    bool last = false;
    for (const char* p = dir; *p; p++) {
        last = *p == '\\';
        if (IsDBCSLeadByte((BYTE)*p) && p[1]) p++, last = false;
    }
    return last;
}

PlatformOutput* OutputCreate(const char* directory, const char* name)
{
    size_t dirLength = strlen(directory), nameLength = strlen(name);
    PlatformOutput* output = (PlatformOutput*)malloc(sizeof(PlatformOutput) + dirLength + 1 + nameLength);
    if (!output) return NULL;
    char* path = output->path;
    memcpy(path, directory, dirLength);
    size_t at = dirLength;
    if (dirLength && !EndsWithSeparator(directory)) path[at++] = '\\';
    memcpy(path + at, name, nameLength + 1);

    output->file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (output->file == INVALID_HANDLE_VALUE) {
        free(output);
        return NULL;
    }
    return output;
}

bool OutputWrite(PlatformOutput* output, const void* bytes, uint32_t length)
{
    DWORD written = 0;
    return WriteFile(output->file, bytes, length, &written, NULL) && written == length;
}

bool OutputSetEnd(PlatformOutput* output) { return SetEndOfFile(output->file) != 0; }

bool OutputClose(PlatformOutput* output, bool keep)
{
    bool closed = CloseHandle(output->file) != 0;
    keep = keep && closed;
    if (!keep) DeleteFileA(output->path);
    free(output);
    return keep;
}
