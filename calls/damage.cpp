// What the entries of a listed archive lack. See calls/damage.h.
#include "calls/damage.h"

#include <string.h>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/lzss.h"
#include "calls/calls.h"
#include "calls/platform.h"

// Everything one check takes, released in one place.
struct DamageCheck {
    PlatformFile* file;
    uint8_t* table;  // the size table, zero where the file ended
    uint8_t* piece;  // ENTRY_PIECE_SIZE bytes of a stream being scanned
};

static int FinishCheck(DamageCheck* check, int result)
{
    WorkFree(check->piece);
    WorkFree(check->table);
    if (check->file) FileClose(check->file);
    return result;
}

// The content bytes that the `available` stored bytes at file position
// `begin` provide, the payload starting at entry byte `start`.
static uint64_t ProvidedContent(DamageCheck* check, int64_t begin, uint64_t available, uint32_t start,
                                bool compressed)
{
    uint64_t payload = available > start ? available - start : 0;
    if (!compressed) return payload;
    LzssScan scan;
    LzssScanStart(&scan);
    for (uint64_t at = 0; at < payload;) {
        uint32_t n = payload - at < ENTRY_PIECE_SIZE ? (uint32_t)(payload - at) : (uint32_t)ENTRY_PIECE_SIZE;
        uint32_t got = FileReadAt(check->file, begin + start + (int64_t)at, check->piece, n);
        if (got == 0) break;
        LzssScanSome(&scan, check->piece, got);
        at += got;
    }
    return scan.count;
}

int CheckEntriesDamage(const PluginState* state, const char* path, int64_t offset, const EntryInfo* records,
                       int32_t count, EntryDamage* damage)
{
    DamageCheck check;
    memset(&check, 0, sizeof check);
    memset(damage, 0, sizeof *damage * (size_t)(count > 0 ? count : 0));
    int64_t fileLength = 0;
    check.file = FileOpenRead(path, &fileLength);
    if (!check.file) return FinishCheck(&check, RESULT_CANNOT_OPEN);
    uint8_t four[4];
    FileReadAt(check.file, offset, four, sizeof four);
    int32_t slots = ContainerCount(four);
    if (slots == 0) return FinishCheck(&check, RESULT_NOT_ARCHIVE);
    check.table = (uint8_t*)WorkAlloc(4 * (size_t)slots);
    check.piece = (uint8_t*)WorkAlloc(ENTRY_PIECE_SIZE);
    if (!check.table || !check.piece) return FinishCheck(&check, RESULT_NO_MEMORY);
    FileReadAt(check.file, offset + 4, check.table, 4 * (uint32_t)slots);  // a cut table reads as zeros

    // Each slot's first byte, from the count field, walked once for the
    // records in table order (a listing's records are in table order).
    int32_t slot = 0;
    int64_t slotOffset = 4 + 4 * (int64_t)slots;
    for (int32_t i = 0; i < count; i++) {
        const EntryInfo* record = &records[i];
        int64_t index = (int64_t)(record->position / 3);
        if (index >= slots) continue;
        if (index < slot) {  // out of table order: walk again from the start
            slot = 0;
            slotOffset = 4 + 4 * (int64_t)slots;
        }
        for (; slot < index && slotOffset >= 0; slot++) {
            int32_t size = ReadS32(&check.table[4 * slot]);
            slotOffset = size >= 0 ? slotOffset + size : -1;
        }
        int32_t stored = ReadS32(&check.table[4 * index]);
        if (slotOffset < 0 || stored <= 0 || record->fileSize == 0) continue;

        EntryDamage* d = &damage[i];
        int64_t begin = offset + slotOffset;
        uint64_t inFile = begin < fileLength ? (uint64_t)(fileLength - begin) : 0;
        uint64_t available = (uint64_t)stored < inFile ? (uint64_t)stored : inFile;
        d->storedMissing = (uint64_t)stored - available;
        // Where the content comes from under the listing's layout, by the
        // extraction's own rule (EntryExpandStart).
        uint8_t kindBytes[2] = {0, 0};
        FileReadAt(check.file, begin, kindBytes, available < 2 ? (uint32_t)available : 2);
        EntryExpansion payload;
        EntryExpandStart(&payload, state->entryLayout, S16At(kindBytes, sizeof kindBytes, 0), record->fileSize);
        d->compressed = payload.compressed;
        uint64_t provided = ProvidedContent(&check, begin, available, payload.start, d->compressed);
        d->contentMissing = record->fileSize > provided ? record->fileSize - provided : 0;
    }
    return FinishCheck(&check, RESULT_OK);
}
