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
#include "calls/walk.h"

// Fills reports[0, count) for the listing's records[0, count) of the archive
// whose count field is at file position `offset`, by the layout the listing
// left in `state`: each slot measured by the walk (calls/walk.h) without
// expanding it, against the content size its extraction gives: its record's,
// or for a slot shorter than the head the listing read, the extraction's own
// (ExtractionSizeOfListed, calls/calls.h). Returns
// RESULT_OK, RESULT_CANNOT_OPEN, RESULT_NOT_ARCHIVE (no valid count or size
// table) or RESULT_NO_MEMORY.
ResultCode CheckEntriesDamage(const PluginState* state, const char* path, int64_t offset, const EntryInfo* records,
                       int32_t count, SlotReport* reports);

#endif
