// Entry-header layout detection.
//
// An archive does not say which entry-header layout its entries use. The
// listing works it out from the head of the first non-empty entry, which is
// always the bytes right after the size table (empty slots occupy no bytes).
#ifndef MORQUENT_ARCHIVE_DETECT_H
#define MORQUENT_ARCHIVE_DETECT_H

#include <stdint.h>

#include "archive/state.h"

// Detects the layout of a container whose count (already validated) is
// `count`, from the first `length` bytes at `bytes`, and stores it in
// state->entryLayout (CheckMode is state->CheckMode). Returns 1 when the
// archive is acceptable and 0 when not:
//   - fewer than 4 x count + 16 bytes offered: 0, entryLayout untouched;
//   - a compressed first entry whose content can be confirmed neither as a
//     bitmap or wave of the declared size nor as a bitmap, wave or PNG after a
//     two-byte head, with CheckMode off: 0, entryLayout left LAYOUT_KIND_ONLY
//     (the listing puts back the value it saved).
// Bytes past `length` (an archive whose slots are all empty, a file that ends
// inside the detection bytes) read as zero.
int DetectEntryLayout(PluginState* state, const uint8_t* bytes, int32_t length, int32_t count);

#endif
