// What the entries of a listed archive lack. See calls/damage.h.
#include "calls/damage.h"

#include <string.h>

#include "archive/table.h"
#include "calls/calls.h"

ResultCode CheckEntriesDamage(const PluginState* state, const char* path, int64_t offset, const EntryInfo* records,
                       int32_t count, SlotReport* reports)
{
    memset(reports, 0, sizeof *reports * (size_t)(count > 0 ? count : 0));
    ArchiveReader reader;
    ResultCode result = OpenArchiveReader(&reader, path, offset);
    // A listing's records are in table order: one walk over the table places
    // them all.
    TableWalk walk;
    if (result == RESULT_OK) ArchiveWalkStart(&reader.archive, &walk);
    SlotPlace place;
    place.index = -1;
    SlotSink measure = {NULL, 0, NULL, NULL, false};
    for (int32_t i = 0; result == RESULT_OK && i < count; i++) {
        int64_t index = SlotOfPosition((int64_t)records[i].position);
        if (index >= reader.archive.count) continue;
        TableWalkTo(&walk, &place, (int32_t)index);
        // Measured against what the extraction gives, which reads a slot
        // shorter than the listing's head whole.
        uint32_t size;
        result = ExtractionSizeOfListed(state, &reader.reader, &place, (uint32_t)records[i].fileSize, &size);
        if (result == RESULT_OK)
            result = WalkSlot(&reader.reader, &place, state->memory.entryLayout, size, &measure, &reports[i]);
    }
    CloseArchiveReader(&reader);
    return result;
}
