// One entry out of an archive, to memory or to disk (GetFile).
#include <string.h>

#include "archive/container.h"
#include "archive/entry.h"
#include "calls/archive_file.h"
#include "calls/calls.h"

// The largest content handed over: 1 GiB less one byte.
static const uint64_t MAX_OUTPUT_BLOCK = 1ull << 30;

// Bits 8-10 of GetFile's flags.
static unsigned OutputKind(unsigned flags) { return (flags >> 8) & 7; }

// Writes `size` bytes of `block` to the file `name` in directory `dir`,
// replacing a file of that name. Frees the block. A write that fails or falls
// short removes the partial file: a truncated entry must not pass for a good
// one. An entry without content (no block) gives an empty file.
static bool WriteEntryToDisk(const char* dir, const char* name, HostBlock block, uint32_t size)
{
    bool ok = false;
    PlatformOutput* output = OutputCreate(dir, name);
    if (output) {
        if (!block) {
            ok = size == 0;
        } else if (void* bytes = HostLock(block)) {
            ok = OutputWrite(output, bytes, size) && OutputSetEnd(output);
            HostUnlock(block);
        }
        // An empty entry is an empty file, kept; a close that fails loses it.
        ok = OutputClose(output, ok || !block) && ok;
    }
    if (block) HostFree(block);
    return ok;
}

// Everything one extraction takes, released in one place.
struct Extraction {
    ArchiveFile archive;
    bool archiveOpen;
    HeadReader reader;
    HostBlock block;
};

// Releases what the extraction still holds; a block handed on is no longer its.
static void ReleaseExtraction(Extraction* x)
{
    if (x->block) HostFree(x->block);
    CloseHeadReader(&x->reader);
    if (x->archiveOpen) CloseArchive(&x->archive);
}

// Reads, sizes, names and expands the entry at `position` into x->block
// (null for an entry without content). NumberingMode is the position's mode.
static int ExpandSlot(Extraction* x, int32_t index, EntryInfo* info)
{
    const ArchiveFile* archive = &x->archive;
    // The number in the name: the table index, or under packed numbering the
    // number of non-empty slots up to and including this one, less one.
    int32_t number = index;
    if (NumberingMode == NUMBERING_PACKED) {
        number = -1;
        for (int32_t i = 0; i <= index; i++) number += StoredSizeAt(archive, i) != 0;
    }
    int64_t offset = EntryOffset(archive, index);
    int32_t storedSize = StoredSizeAt(archive, index);

    const uint8_t* entry = NULL;
    uint32_t available = 0;
    if (storedSize != 0) {
        entry = ReadHead(&x->reader, offset, (uint32_t)storedSize, &available);
        if (!entry) return RESULT_NO_MEMORY;
    }
    FillLocator(&sharedLocator, offset, storedSize, entry, available);
    if (!BuildEntryInfo(info, number, &sharedLocator, entry, storedSize, (int32_t)available)) return RESULT_NO_RECORD;
    // A non-empty entry whose content size is 0 has nothing to deliver,
    // like an empty one.
    if (storedSize == 0 || info->fileSize == 0) return RESULT_OK;
    // A 32-bit host cannot get a block of a gigabyte or more anyway; a 64-bit
    // one could, and a damaged size field of a tiny entry would then cost it
    // gigabytes of memory (or of disk). Both builds refuse such a block alike.
    if (info->fileSize >= MAX_OUTPUT_BLOCK) return RESULT_NO_HOST_MEMORY;

    x->block = HostAlloc((size_t)info->fileSize);
    if (!x->block) return RESULT_NO_HOST_MEMORY;
    uint8_t* out = (uint8_t*)HostLock(x->block);
    if (!out) return RESULT_NO_MEMORY;
    ExpandEntry(entry, available, sharedLocator.kind, out, info->fileSize);  // by the layout in force now
    HostUnlock(x->block);
    return RESULT_OK;
}

int ExtractEntry(const char* path, int64_t position, char* destination, unsigned flags)
{
    unsigned output = OutputKind(flags);
    // With memory output the host's handle variable gets a null handle on
    // every failure, so a host that looks at the handle first finds nothing.
    HostBlock* handleOut = output == OUTPUT_MEMORY ? (HostBlock*)destination : NULL;
    if (handleOut) *handleOut = NULL;
    if (!InputIsFile(flags)) return RESULT_UNSUPPORTED_FLAGS;

    Extraction x;
    memset(&x, 0, sizeof x);
    // The archive is always read from the start of the file.
    int result = OpenArchive(path, 0, VALIDATE_PROBE, &x.archive);
    if (result != RESULT_OK) return result;
    x.archiveOpen = true;

    EntryInfo info;
    // position = 3 x table index + numbering mode; a position that names no
    // slot of this table is refused before the table is read.
    if (position < 0 || position / 3 >= x.archive.count) {
        result = RESULT_NOT_ARCHIVE;
    } else if (!OpenHeadReader(&x.reader, &x.archive, 0)) {
        result = RESULT_NO_MEMORY;
    } else {
        uint32_t userNumbering = NumberingMode;
        NumberingMode = (uint32_t)(position % 3);
        result = ExpandSlot(&x, (int32_t)(position / 3), &info);
        NumberingMode = userNumbering;
    }

    if (result == RESULT_OK && output == OUTPUT_MEMORY) {
        if (handleOut) {
            *handleOut = x.block;
            x.block = NULL;
        } else {
            result = RESULT_UNSUPPORTED_FLAGS;  // no handle variable to put the block in
        }
    } else if (result == RESULT_OK && output == OUTPUT_DISK) {
        HostBlock block = x.block;
        x.block = NULL;
        uint32_t size = block ? info.fileSize : 0;
        if (!WriteEntryToDisk(destination ? destination : "", info.fileName, block, size))
            result = RESULT_UNSUPPORTED_FLAGS;
    } else if (result == RESULT_OK) {
        result = RESULT_UNSUPPORTED_FLAGS;  // output kinds 2 to 7
    }
    ReleaseExtraction(&x);
    return result;
}
