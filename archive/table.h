// The size table walked: where each slot lies, what the file holds of it,
// and how the numbers in entry names map to slots.
//
// The table is the count field and one signed 32-bit size per slot; the
// slots lie back to back after it, in table order, an empty slot (size 0)
// taking no bytes. Nothing stores where a slot begins: it is the sum of the
// sizes before it. A file cut short may end inside the table (the sizes it
// lacks read as zero, as everywhere else) or inside a slot.
#ifndef MORQUENT_ARCHIVE_TABLE_H
#define MORQUENT_ARCHIVE_TABLE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "archive/bytes.h"
#include "archive/state.h"

// One slot as the size table places it.
struct SlotPlace {
    int32_t index;          // its place in the table, from 0
    int32_t storedSize;     // the size-table value (0: an empty slot)
    int32_t packedNumber;   // how many non-empty slots come before it
    bool sizeInFile;        // the file holds the slot's size field whole
    int64_t offset;         // its first byte, counted from the count field;
                            // -1 from a negative size on (a damaged table
                            // places nothing after it)
    uint64_t held;          // of its stored bytes, how many the file holds
    uint64_t storedMissing; // and how many lie past the end of the file
};

// A walk over the slots of a table in order, one SlotPlace at a time.
struct TableWalk {
    const uint8_t* table;  // the container from its count field on
    size_t tableLength;    // bytes readable at `table` (sizes past it read as zero)
    int32_t count;         // slots (a valid count, 1 to MAX_ENTRY_COUNT)
    int64_t fileLength;    // bytes of the file from the count field on
    int32_t sizesHeld;     // sizes the table bytes hold whole (the rest read as zero)
    int32_t sizesInFile;   // sizes the file holds whole
    int32_t next;          // the slot TableWalkNext gives next
    int64_t offset;        // where that slot begins (-1 after a negative size)
    int32_t nonEmpty;      // non-empty slots before it
};

// Starts a walk at slot 0. `table` holds the count field and the sizes
// (`tableLength` bytes of them readable, zero past that); `fileLength` is
// how many bytes the file holds from the count field on, which tells what
// it lacks of the table and of each slot.
void TableWalkStart(TableWalk* walk, const uint8_t* table, size_t tableLength, int32_t count, int64_t fileLength);

// The next slot's place in *place; false (nothing written) past the last.
// Inline: a listing walks thousands of slots twice.
static inline bool TableWalkNext(TableWalk* walk, SlotPlace* place)
{
    // A listing walks thousands of slots twice: the common case (the size
    // in the table bytes, the slot whole in the file) is kept cheap.
    if (walk->next >= walk->count) return false;
    int32_t index = walk->next++;
    int32_t size = index < walk->sizesHeld ? ReadS32(walk->table + 4 + 4 * (size_t)index) : 0;
    place->index = index;
    place->storedSize = size;
    place->packedNumber = walk->nonEmpty;
    place->sizeInFile = index < walk->sizesInFile;
    place->offset = size < 0 ? -1 : walk->offset;
    place->held = 0;
    place->storedMissing = 0;
    if (place->offset >= 0 && size > 0) {
        int64_t end = place->offset + size;
        if (end <= walk->fileLength) {
            place->held = (uint32_t)size;
        } else {
            int64_t inFile = walk->fileLength > place->offset ? walk->fileLength - place->offset : 0;
            place->held = (uint64_t)inFile;
            place->storedMissing = (uint64_t)(end - place->offset - inFile);
        }
    }
    // Nothing is placed after a negative size: where it ends is unknown.
    walk->offset = walk->offset < 0 || size < 0 ? -1 : walk->offset + size;
    walk->nonEmpty += size != 0;
    return true;
}


// Moves the walk on to slot `index` (0 <= index < count) and puts its place
// in *place, which holds the walk's last place (index -1 before the first):
// forward from there, or again from slot 0 for a slot already passed. Slots
// asked for in table order cost one walk over the table in all.
void TableWalkTo(TableWalk* walk, SlotPlace* place, int32_t index);

// The place of slot `index` (0 <= index < count), walking from slot 0.
void TablePlaceOf(const uint8_t* table, size_t tableLength, int32_t count, int64_t fileLength, int32_t index,
                  SlotPlace* place);

// Where the slots end, counted from the count field: the first byte after
// the last one (what follows belongs to the file, not to the archive), or
// -1 when a negative size leaves it unknown.
int64_t TableEntriesEnd(const uint8_t* table, size_t tableLength, int32_t count);

// The size-table value of slot `index`, zero where the table bytes end.
int32_t TableStoredSize(const uint8_t* table, size_t tableLength, int32_t index);

// How many of the count's sizes the file does not hold whole: the table is
// cut when this is not 0.
int32_t TableSizesMissing(int32_t count, int64_t fileLength);

// Numbering. A slot's number in the names the listing makes: its table
// index, or under NUMBERING_PACKED its place among the non-empty slots.
static inline int32_t SlotNumber(const SlotPlace* place, EntryNumbering numberingMode)
{
    return numberingMode == NUMBERING_PACKED ? place->packedNumber : place->index;
}

// The slot that entry number `number` names under `numberingMode`, or -1
// when it names none (a packed number names only non-empty slots).
int32_t SlotOfNumber(const uint8_t* table, size_t tableLength, int32_t count, EntryNumbering numberingMode,
                     int32_t number);

// A record's position, as the host hands it back: 3 x table index + the
// numbering mode its name was made in. The two read back from a position.
static inline int64_t EntryPosition(int32_t index, EntryNumbering numberingMode)
{
    return 3 * (int64_t)index + numberingMode;
}
static inline int64_t SlotOfPosition(int64_t position) { return position / 3; }
static inline EntryNumbering NumberingOfPosition(int64_t position) { return (EntryNumbering)(position % 3); }

#endif
