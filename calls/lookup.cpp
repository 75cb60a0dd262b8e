// The record of one entry, found by the name the listing gave it (GetFileInfo).
#include <string.h>

#include "archive/container.h"
#include "archive/entry.h"
#include "archive/names.h"
#include "archive/table.h"
#include "calls/archive_file.h"
#include "calls/calls.h"

// Finds the entry that `entryName` names and fills the host's record; the
// name's separator tells the numbering mode it was listed in (none: the
// user's), and the record is made in that mode.
static ResultCode FillRecordOfName(PluginState* state, const ArchiveFile* archive, const char* entryName, EntryInfo* info)
{
    char copy[ENTRY_NAME_COPY_SIZE];
    if (!CopyEntryFilePart(entryName, copy)) return RESULT_NOT_ARCHIVE;
    EntryNumbering numberingMode = state->settings.NumberingMode;  // a name without a separator is in the user's numbering
    int32_t number = ParseEntryName(copy, &numberingMode);
    if (number < 0) return RESULT_NOT_ARCHIVE;
    int32_t index = SlotOfNumber(archive->table, (size_t)archive->tableLength, archive->count, numberingMode, number);
    if (index < 0) return RESULT_NOT_ARCHIVE;

    SlotPlace place;
    ArchivePlaceOf(archive, index, &place);
    int64_t offset = place.offset;
    int32_t storedSize = place.storedSize;
    HeadReader reader;
    // A window of one head: the locator and the record read it once.
    if (!OpenHeadReader(&reader, archive, ENTRY_HEAD_SIZE)) return RESULT_NO_MEMORY;
    uint32_t headSize = EntryHeadSize(storedSize, state->memory.entryLayout, state->settings.CheckMode, false);
    EntryLocator locator;
    ResultCode result = RESULT_NO_MEMORY;
    if (LocateEntry(&reader, offset, storedSize, headSize, &locator))
        result = ReadEntryRecord(state, numberingMode, &reader, offset, headSize, number, &locator, info);
    if (result == RESULT_OK) info->position = (EntryWord)EntryPosition(index, numberingMode);
    CloseHeadReader(&reader);
    return result;
}

ResultCode FindEntry(PluginState* state, const char* path, int64_t offset, const char* entryName, unsigned flags,
              EntryInfo* info)
{
    if (!InputIsFile(flags)) return RESULT_UNSUPPORTED_FLAGS;
    if (!entryName || !info) return RESULT_NOT_ARCHIVE;

    ArchiveFile archive;
    ResultCode result = OpenArchive(state, path, offset, VALIDATE_PROBE, &archive);
    if (result != RESULT_OK) return result;
    result = FillRecordOfName(state, &archive, entryName, info);
    CloseArchive(&archive);
    return result;
}
