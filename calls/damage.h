// What the entries of a listed archive lack.
//
// A host receives an entry whose bytes the file does not hold, or whose
// stream ends before the size its record gives, with the missing bytes as
// zeros: the calls never compare sizes with the file. A host that wants to
// tell such an entry from a whole one (to warn before saving it, or to show
// it in a listing) asks here, after the listing, with the listing's records.
#ifndef MORQUENT_CALLS_DAMAGE_H
#define MORQUENT_CALLS_DAMAGE_H

#include <stdint.h>

#include "archive/entry.h"
#include "archive/state.h"

struct EntryDamage {
    uint64_t storedMissing;   // stored bytes that lie past the end of the file
    uint64_t contentMissing;  // content bytes that neither the stored bytes at
                              // hand nor the entry's stream provide
    bool compressed;          // the content is the expansion of a stream
};

// The bytes an entry lacks, as reported to people: the content's missing
// bytes, or when the content is not short, the stored bytes the file lacks.
static inline uint64_t EntryMissingBytes(const EntryDamage* damage)
{
    return damage->contentMissing ? damage->contentMissing : damage->storedMissing;
}

// Fills damage[0, count) for the listing's records[0, count) of the archive
// whose count field is at file position `offset`, by the layout the listing
// left in `state`: where each slot lies by the size table, how much of it the
// file holds, and for a compressed entry how much content its stream gives.
// Returns RESULT_OK, RESULT_CANNOT_OPEN, RESULT_NOT_ARCHIVE (no valid count)
// or RESULT_NO_MEMORY.
int CheckEntriesDamage(const PluginState* state, const char* path, int64_t offset, const EntryInfo* records,
                       int32_t count, EntryDamage* damage);

#endif
