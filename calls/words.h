// The names and words people read about archives, in one table for every
// program that shows them (qordat, spihost, the page): the layouts'
// names, the numbering modes' names, what each result code means, and what
// a slot lacks (DescribeSlotLack, calls/walk.h).
#ifndef MORQUENT_CALLS_WORDS_H
#define MORQUENT_CALLS_WORDS_H

#include <stdbool.h>
#include <stdint.h>

#include "archive/state.h"

// "raw", "kind-size", "kind-only" for LAYOUT_*; "raw" for any other value.
const char* LayoutName(int32_t layout);
// The layout of that name into *layout; false (nothing written) for none.
bool LayoutOfName(const char* name, EntryLayout* layout);

// "dummies", "kept", "packed" for NUMBERING_*; "dummies" for any other value.
const char* NumberingName(uint32_t numberingMode);
bool NumberingOfName(const char* name, EntryNumbering* numberingMode);

// What a result code of the archive calls means, in a few words.
const char* ResultMeaning(int code);

#endif
