// Entry-header layout detection.
//
// An archive does not say which entry-header layout its entries use. The
// listing works it out from the head of the first non-empty entry, which is
// always the bytes right after the size table (empty slots occupy no bytes).
#ifndef MORQUENT_ARCHIVE_DETECT_H
#define MORQUENT_ARCHIVE_DETECT_H

#include <stdint.h>

#include "archive/state.h"

// What DetectEntryLayout answers for an archive it does not accept: no
// layout, and never one an archive's memory holds.
static const EntryLayout LAYOUT_REFUSED = (EntryLayout)-1;

// The layout of a container whose count (already validated) is `count`,
// detected from the first `length` bytes at `bytes` under the CheckMode
// setting `checkMode`: LAYOUT_RAW, LAYOUT_KIND_SIZE or LAYOUT_KIND_ONLY, or
// LAYOUT_REFUSED when the archive is not acceptable:
//   - fewer than 4 x count + 16 bytes offered;
//   - a compressed first entry whose content can be confirmed neither as a
//     bitmap or wave of the declared size nor as a bitmap, wave or PNG after a
//     two-byte head, with CheckMode off.
// Bytes past `length` (an archive whose slots are all empty, a file that ends
// inside the detection bytes) read as zero. Changes nothing.
EntryLayout DetectEntryLayout(uint32_t checkMode, const uint8_t* bytes, int32_t length, int32_t count);

#endif
