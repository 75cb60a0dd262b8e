// The platform seam in the browser: the archive is the File the page was
// given, read in the slices the calls ask for (FileReaderSync on
// Blob.slice, in the worker that runs the module), never copied whole into
// memory; disk output hands each written piece to the worker's JavaScript,
// which builds a Blob, a zip entry or a preview from them. Working buffers
// and host blocks are the module's heap.
//
// The JavaScript side is `self.morquentIo` (web/page/worker.js): the Files
// the calls may open, by the path they are given (the archive is
// "archive"), and the outputs being written.
#include <emscripten.h>
#include <stdlib.h>
#include <string.h>

#include "calls/platform.h"

// Opens the File the worker holds under `path`: a number naming it, 0 when
// it holds none of that name.
EM_JS(int, WebFileOpen, (const char* path), { return self.morquentIo.open(UTF8ToString(path)); });
EM_JS(double, WebFileLength, (int id), {
    const file = self.morquentIo.opened.get(id);
    return file ? file.size : -1;
});
EM_JS(void, WebFileClose, (int id), { self.morquentIo.close(id); });

// Copies up to `length` bytes of File `id` from `position` into the heap;
// returns how many arrived. A read the browser refuses (the file was
// changed, moved or removed since it was chosen) delivers nothing, and the
// worker remembers why, so that nothing read after it is taken for the file.
EM_JS(uint32_t, WebFileRead, (int id, double position, uint8_t* buffer, uint32_t length), {
    const io = self.morquentIo;
    const file = io.opened.get(id);
    length >>>= 0;
    if (!file || position < 0 || position >= file.size || length === 0) return 0;
    try {
        const bytes = io.readAt(id, position, length);
        HEAPU8.set(bytes, buffer);
        return bytes.length;
    } catch (error) {
        io.readFailed = io.readFailed || String(error && error.name || error);
        return 0;
    }
});

// Output: a number naming it, 0 when it cannot be made.
EM_JS(int, WebOutputCreate, (const char* name), { return self.morquentIo.outputCreate(UTF8ToString(name)); });
EM_JS(int, WebOutputWrite, (int id, const uint8_t* bytes, uint32_t length), {
    return self.morquentIo.outputWrite(id, HEAPU8.subarray(bytes, bytes + (length >>> 0))) ? 1 : 0;
});
EM_JS(int, WebOutputClose, (int id, int keep), { return self.morquentIo.outputClose(id, keep !== 0) ? 1 : 0; });

// A File open for reading: the worker's number for it and its length; the
// File itself is the worker's.
struct PlatformFile {
    int id;
    int64_t length;
};

struct PlatformOutput {
    int id;
};

PlatformFile* FileOpenRead(const char* path, int64_t* length)
{
    *length = 0;
    int id = WebFileOpen(path);
    if (!id) return nullptr;
    PlatformFile* file = (PlatformFile*)malloc(sizeof(PlatformFile));
    if (!file) {
        WebFileClose(id);
        return nullptr;
    }
    file->id = id;
    file->length = (int64_t)WebFileLength(id);
    *length = file->length;
    return file;
}

uint32_t FileReadAt(PlatformFile* file, int64_t position, uint8_t* buffer, uint32_t length)
{
    uint32_t delivered = 0;
    if (position >= 0 && position < file->length) delivered = WebFileRead(file->id, (double)position, buffer, length);
    memset(buffer + delivered, 0, length - delivered);
    return delivered;
}

void FileClose(PlatformFile* file)
{
    WebFileClose(file->id);
    free(file);
}

// The directory is the page's business (a download, a zip, a folder): only
// the name the extraction gives the entry goes out.
PlatformOutput* OutputCreate(const char*, const char* name)
{
    int id = WebOutputCreate(name);
    if (!id) return nullptr;
    PlatformOutput* output = (PlatformOutput*)malloc(sizeof(PlatformOutput));
    if (!output) {
        WebOutputClose(id, 0);
        return nullptr;
    }
    output->id = id;
    return output;
}

bool OutputWrite(PlatformOutput* output, const void* bytes, uint32_t length)
{
    return WebOutputWrite(output->id, (const uint8_t*)bytes, length) != 0;
}

// The pieces are written in order from the start: the end is where they stop.
bool OutputSetEnd(PlatformOutput*) { return true; }

bool OutputClose(PlatformOutput* output, bool keep)
{
    keep = WebOutputClose(output->id, keep ? 1 : 0) != 0 && keep;
    free(output);
    return keep;
}
