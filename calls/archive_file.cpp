#include "calls/archive_file.h"

#include <string.h>

#include "archive/bytes.h"
#include "archive/container.h"
#include "calls/calls.h"

uint32_t BytesAvailableAt(const ArchiveFile* archive, int64_t offset, uint32_t asked)
{
    int64_t position = archive->base + offset;
    if (position < 0 || position >= archive->fileLength) return 0;
    int64_t remaining = archive->fileLength - position;
    return remaining < (int64_t)asked ? (uint32_t)remaining : asked;
}

ResultCode OpenArchive(PluginState* state, const char* path, int64_t base, int validateMode, ArchiveFile* archive)
{
    memset(archive, 0, sizeof *archive);
    archive->file = FileOpenRead(path, &archive->fileLength);
    if (!archive->file) return RESULT_CANNOT_OPEN;
    archive->base = base;

    // The table is sized from the count, so a count outside 1..8191 (or a
    // file too short to hold one) is refused before anything is allocated:
    // the size can neither wrap nor be huge.
    uint8_t countBytes[4];
    if (FileReadAt(archive->file, base, countBytes, sizeof countBytes) == sizeof countBytes)
        archive->count = ContainerCount(countBytes);
    if (archive->count == 0) {
        CloseArchive(archive);
        return RESULT_NOT_ARCHIVE;
    }
    archive->tableLength = 4 * archive->count + 32;
    archive->table = (uint8_t*)WorkAlloc((size_t)archive->tableLength);
    if (!archive->table) {
        CloseArchive(archive);
        return RESULT_NO_MEMORY;
    }
    FileReadAt(archive->file, base, archive->table, (uint32_t)archive->tableLength);
    if (!ValidateContainer(state, archive->table, archive->tableLength, validateMode)) {
        CloseArchive(archive);
        return RESULT_NOT_ARCHIVE;
    }
    return RESULT_OK;
}

void CloseArchive(ArchiveFile* archive)
{
    WorkFree(archive->table);
    archive->table = NULL;
    if (archive->file) FileClose(archive->file);
    archive->file = NULL;
}

void ArchivePlaceOf(const ArchiveFile* archive, int32_t index, SlotPlace* place)
{
    TablePlaceOf(archive->table, (size_t)archive->tableLength, archive->count, archive->fileLength - archive->base,
                 index, place);
}

int64_t ArchiveEntriesEnd(const ArchiveFile* archive)
{
    return TableEntriesEnd(archive->table, (size_t)archive->tableLength, archive->count);
}

void ArchiveWalkStart(const ArchiveFile* archive, TableWalk* walk)
{
    TableWalkStart(walk, archive->table, (size_t)archive->tableLength, archive->count,
                   archive->fileLength - archive->base);
}

bool OpenHeadReader(HeadReader* reader, const ArchiveFile* archive, uint32_t windowCapacity)
{
    memset(reader, 0, sizeof *reader);
    reader->archive = archive;
    if (windowCapacity == 0) return true;
    reader->window = (uint8_t*)WorkAlloc(windowCapacity);
    reader->windowCapacity = windowCapacity;
    return reader->window != NULL;
}

void CloseHeadReader(HeadReader* reader)
{
    WorkFree(reader->window);
    WorkFree(reader->own);
    memset(reader, 0, sizeof *reader);
}

const uint8_t* ReadHead(HeadReader* reader, int64_t offset, uint32_t asked, uint32_t* available)
{
    const ArchiveFile* archive = reader->archive;
    uint32_t n = BytesAvailableAt(archive, offset, asked);
    *available = n;
    int64_t position = archive->base + offset;

    if (n <= reader->windowCapacity && reader->window) {
        bool inside = position >= reader->windowStart &&
                      position + n <= reader->windowStart + (int64_t)reader->windowLength;
        if (!inside) {
            reader->windowStart = position;
            reader->windowLength = BytesAvailableAt(archive, offset, reader->windowCapacity);
            if (FileReadAt(archive->file, position, reader->window, reader->windowLength) < reader->windowLength)
                reader->readFailed = true;
        }
        return reader->window + (position - reader->windowStart);
    }

    WorkFree(reader->own);
    // A head the file holds nothing of gets a buffer of no bytes (a valid
    // pointer that is never read).
    reader->own = (uint8_t*)WorkAlloc(n);
    if (!reader->own) return NULL;
    if (FileReadAt(archive->file, position, reader->own, n) < n) reader->readFailed = true;
    return reader->own;
}

bool LocateEntry(HeadReader* reader, int64_t offset, int32_t storedSize, uint32_t headSize, EntryLocator* locator)
{
    memset(locator, 0, sizeof *locator);
    if (storedSize == 0) return true;  // an empty slot has no place and no kind
    uint32_t available = 0;
    const uint8_t* head = ReadHead(reader, offset, headSize < 6 ? headSize : 6, &available);
    if (!head) return false;
    locator->storedSize = storedSize;
    locator->kind = S16At(head, available, 0);
    locator->declaredSize = S32At(head, available, 2);
    return true;
}

bool ScanEntryStreams(HeadReader* reader, int64_t offset, const EntryLocator* locator, EntryStreamSizes* sizes)
{
    uint32_t storedSize = (uint32_t)locator->storedSize;
    uint32_t held = BytesAvailableAt(reader->archive, offset, storedSize);
    EntryScan scan;
    EntryScanStart(&scan, locator);
    for (uint32_t at = 0; at < held;) {
        uint32_t n = held - at < ENTRY_PIECE_SIZE ? held - at : (uint32_t)ENTRY_PIECE_SIZE;
        uint32_t got;
        const uint8_t* piece = ReadHead(reader, offset + at, n, &got);
        if (!piece) return false;
        EntryScanSome(&scan, piece, got);
        at += n;
    }
    EntryScanZeros(&scan, storedSize - held);
    EntryScanSizes(&scan, sizes);
    return true;
}

ResultCode ReadEntryRecord(PluginState* state, EntryNumbering numberingMode, HeadReader* reader, int64_t offset,
                    uint32_t headSize, int32_t number, const EntryLocator* locator, EntryInfo* info)
{
    const uint8_t* head = NULL;
    uint32_t available = 0;
    EntryStreamSizes sizes;
    const EntryStreamSizes* scanned = NULL;
    if (locator->storedSize != 0) {
        head = ReadHead(reader, offset, headSize, &available);
        if (!head) return RESULT_NO_MEMORY;
        if (EntryNeedsStreamSizes(state, locator, head, available)) {
            if (!ScanEntryStreams(reader, offset, locator, &sizes)) return RESULT_NO_MEMORY;
            scanned = &sizes;
            // The scan moved the reader on: the head again, for the record.
            head = ReadHead(reader, offset, headSize, &available);
            if (!head) return RESULT_NO_MEMORY;
        }
    }
    EntryFindings found;
    if (!BuildEntryRecord(state, numberingMode, number, locator, head, available, scanned, info, &found))
        return RESULT_NO_RECORD;
    if (found.raisesLayout) state->memory.entryLayout = LAYOUT_KIND_SIZE;
    return RESULT_OK;
}
