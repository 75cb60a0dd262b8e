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
    size_t held = tableLength >= 4 ? (tableLength - 4) / 4 : 0;
    walk->sizesHeld = held < (size_t)count ? (int32_t)held : count;
    walk->sizesInFile = count - TableSizesMissing(count, fileLength);
    walk->next = 0;
    walk->offset = 4 + 4 * (int64_t)count;
    walk->nonEmpty = 0;
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

// The end of the first `n` slots, counted from the count field, and how
// many of them hold bytes: the sizes the table bytes hold, in one tight
// loop (a lookup in a table of thousands adds thousands); the rest read as
// zero and add nothing. Unsigned sums: a negative size places nothing,
// whatever the sum, and its sign bit shows in the OR of them all.
static int64_t SlotsEnd(const uint8_t* table, size_t tableLength, int32_t count, int32_t n, int32_t* nonEmpty)
{
    size_t held = tableLength >= 4 ? (tableLength - 4) / 4 : 0;
    if ((size_t)n > held) n = (int32_t)held;
    const uint8_t* sizes = table + 4;
    uint64_t sum = 0;
    uint32_t signs = 0;
    int32_t filled = 0;
    for (int32_t i = 0; i < n; i++) {
        uint32_t size = ReadU32(sizes + 4 * (size_t)i);
        sum += size;
        signs |= size;
        filled += size != 0;
    }
    *nonEmpty = filled;
    return signs >> 31 ? -1 : 4 + 4 * (int64_t)count + (int64_t)sum;
}

int64_t TableEntriesEnd(const uint8_t* table, size_t tableLength, int32_t count)
{
    int32_t nonEmpty;
    return SlotsEnd(table, tableLength, count, count, &nonEmpty);
}

void TablePlaceOf(const uint8_t* table, size_t tableLength, int32_t count, int64_t fileLength, int32_t index,
                  SlotPlace* place)
{
    TableWalk walk;
    TableWalkStart(&walk, table, tableLength, count, fileLength);
    walk.offset = SlotsEnd(table, tableLength, count, index, &walk.nonEmpty);
    walk.next = index;
    TableWalkNext(&walk, place);
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
