#include "archive/table.h"

#include <string.h>

#include "archive/bytes.h"

int32_t TableStoredSize(const uint8_t* table, size_t tableLength, int32_t index)
{
    return S32At(table, tableLength, 4 + 4 * (size_t)index);
}

int32_t TableSizesMissing(int32_t count, int64_t fileLength)
{
    // Size field i lies at bytes [4 + 4i, 8 + 4i) from the count field.
    int64_t whole = fileLength < 4 ? 0 : (fileLength - 4) / 4;
    return whole >= count ? 0 : count - (int32_t)whole;
}

void TableWalkStart(TableWalk* walk, const uint8_t* table, size_t tableLength, int32_t count, int64_t fileLength)
{
    walk->table = table;
    walk->tableLength = tableLength;
    walk->count = count;
    walk->fileLength = fileLength;
    walk->next = 0;
    walk->offset = 4 + 4 * (int64_t)count;
    walk->nonEmpty = 0;
}

bool TableWalkNext(TableWalk* walk, SlotPlace* place)
{
    if (walk->next >= walk->count) return false;
    int32_t index = walk->next++;
    int32_t size = TableStoredSize(walk->table, walk->tableLength, index);
    place->index = index;
    place->storedSize = size;
    place->packedNumber = walk->nonEmpty;
    place->sizeInFile = 8 + 4 * (int64_t)index <= walk->fileLength;
    place->offset = size < 0 ? -1 : walk->offset;
    place->held = 0;
    place->storedMissing = 0;
    if (place->offset >= 0 && size > 0) {
        int64_t inFile = walk->fileLength > place->offset ? walk->fileLength - place->offset : 0;
        place->held = inFile < size ? (uint64_t)inFile : (uint64_t)size;
        place->storedMissing = (uint64_t)size - place->held;
    }
    // Nothing is placed after a negative size: where it ends is unknown.
    walk->offset = walk->offset < 0 || size < 0 ? -1 : walk->offset + size;
    walk->nonEmpty += size != 0;
    return true;
}

void TableWalkTo(TableWalk* walk, SlotPlace* place, int32_t index)
{
    if (index < place->index) {
        TableWalkStart(walk, walk->table, walk->tableLength, walk->count, walk->fileLength);
        place->index = -1;
    }
    while (place->index < index && TableWalkNext(walk, place)) {
    }
}

void TablePlaceOf(const uint8_t* table, size_t tableLength, int32_t count, int64_t fileLength, int32_t index,
                  SlotPlace* place)
{
    TableWalk walk;
    TableWalkStart(&walk, table, tableLength, count, fileLength);
    // The sizes before the slot only add up (a lookup in a table of
    // thousands adds thousands): those the table bytes hold, in one tight
    // loop; the rest read as zero and add nothing. Its own place is then
    // read whole.
    size_t held = tableLength >= 4 ? (tableLength - 4) / 4 : 0;
    int32_t n = (size_t)index < held ? index : (int32_t)held;
    const uint8_t* sizes = table + 4;
    // Unsigned sums: a negative size places nothing, whatever the sum, and
    // its sign bit shows in the OR of them all.
    uint64_t sum = 0;
    uint32_t signs = 0;
    int32_t nonEmpty = 0;
    for (int32_t i = 0; i < n; i++) {
        uint32_t size = ReadU32(sizes + 4 * (size_t)i);
        sum += size;
        signs |= size;
        nonEmpty += size != 0;
    }
    walk.offset = signs >> 31 ? -1 : walk.offset + (int64_t)sum;
    walk.nonEmpty = nonEmpty;
    walk.next = index;
    TableWalkNext(&walk, place);
}

int32_t SlotNumber(const SlotPlace* place, EntryNumbering numberingMode)
{
    return numberingMode == NUMBERING_PACKED ? place->packedNumber : place->index;
}

int32_t SlotOfNumber(const uint8_t* table, size_t tableLength, int32_t count, EntryNumbering numberingMode,
                     int32_t number)
{
    if (number < 0) return -1;
    if (numberingMode != NUMBERING_PACKED) return number < count ? number : -1;
    int32_t seen = 0;
    for (int32_t i = 0; i < count; i++) {
        if (TableStoredSize(table, tableLength, i) == 0) continue;
        if (seen++ == number) return i;
    }
    return -1;
}
