// The platform seam over the C library. See calls/platform_native.h.
#include "calls/platform_native.h"

#include <stdlib.h>
#include <string.h>

// An archive file open for reading.
struct PlatformFile {
    FILE* stream;
};

PlatformFile* FileOpenRead(const char* path, int64_t* length)
{
    FILE* stream = NativeOpenRead(path, length);
    return stream ? new PlatformFile{stream} : nullptr;
}

uint32_t FileReadAt(PlatformFile* file, int64_t position, uint8_t* buffer, uint32_t length)
{
    // Only what did not arrive is zeroed: extraction reads every entry
    // through here, and touching its buffer twice costs.
    uint32_t delivered = NativeReadAt(file->stream, position, buffer, length);
    memset(buffer + delivered, 0, length - delivered);
    return delivered;
}

void FileClose(PlatformFile* file)
{
    fclose(file->stream);
    delete file;
}

// A file being written, and its path for removal.
struct PlatformOutput {
    std::string path;
    FILE* stream;
};

PlatformOutput* OutputCreate(const char* directory, const char* name)
{
    std::string path = NativeOutputPath(directory, name);
    FILE* stream = fopen(path.c_str(), "wb");
    return stream ? new PlatformOutput{path, stream} : nullptr;
}

bool OutputWrite(PlatformOutput* output, const void* bytes, uint32_t length)
{
    return fwrite(bytes, 1, length, output->stream) == length;
}

// A stream opened "wb" starts empty and is written from its start, so its
// end is where the writing stopped; what is left is to have it written.
bool OutputSetEnd(PlatformOutput* output) { return fflush(output->stream) == 0; }

bool OutputClose(PlatformOutput* output, bool keep)
{
    keep = fclose(output->stream) == 0 && keep;
    if (!keep) remove(output->path.c_str());
    delete output;
    return keep;
}
