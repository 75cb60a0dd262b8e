// QOR's DAT container: validation of the count and the size table.
//
// The container has no magic number, no names and no offsets:
//
//   offset 0            entry count, signed 32-bit, 1 to 8191
//   offset 4            stored size of each entry, signed 32-bit, >= 0
//   offset 4 + 4*count  the entries' bytes back to back, in table order
//
// A stored size of 0 is an empty slot that occupies no bytes. Nothing after
// the last entry belongs to the container, and the file's length is never
// compared with the sizes.
#ifndef MORQUENT_ARCHIVE_CONTAINER_H
#define MORQUENT_ARCHIVE_CONTAINER_H

#include <stdint.h>

#include "archive/state.h"

enum {
    VALIDATE_PROBE = 0,    // count and size table only; no state is touched
    VALIDATE_LISTING = 1   // the same check, then entry-header layout detection
};

enum { MAX_ENTRY_COUNT = 0x1FFF };

// Checks that `bytes` (the first `length` bytes of a container) begin a valid
// container. Returns 1 when they do and 0 when they do not.
//
// The count must be in its encoded form: byte 1 below 0x20, bytes 2 and 3 zero,
// the value above zero; that admits exactly 1 to 8191. Then every size that
// begins inside the offered bytes must not be negative; a size cut off by the
// end of the offered bytes is read with its missing bytes as zero. Fewer than
// four offered bytes hold no count and are refused.
//
// In VALIDATE_LISTING mode the layout detection runs after the check
// (DetectEntryLayout): an archive it accepts leaves its layout in
// state->memory.entryLayout, one it refuses is refused (0) and changes nothing.
// Every other mode is probe mode, which needs no state (null will do).
int ValidateContainer(PluginState* state, const uint8_t* bytes, int32_t length, int mode);

// The entry count of a container whose first four bytes are `bytes`, when
// those bytes are a count in its valid encoded form; otherwise 0.
int32_t ContainerCount(const uint8_t* bytes);

#endif
