// Names: the probe's media-extension test, the archive's base name, and the
// reading of an invented entry name back into a numbering mode and a number.
//
// All of it works on bytes, without regard to multi-byte characters: a byte
// 0x5C is a directory separator and a byte 0x2E a dot wherever it stands, as
// the host passes ANSI paths.
#ifndef MORQUENT_ARCHIVE_NAMES_H
#define MORQUENT_ARCHIVE_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include "archive/state.h"

// True when the text after the last '.' of the whole name (directory part
// included) is "BMP", "WAV" or "PNG", ignoring ASCII case. Such files are
// media, never archives of this format.
bool HasMediaExtension(const char* name);

// Writes the base name of `filePath` to `out` (at most outSize - 1 bytes and
// a NUL): the file-name component after the last '\' (a '\' at position 0
// does not count) up to its first '.' (a '.' at position 0 of the whole name
// does not count). The caller's string is not modified.
void DeriveBaseName(const char* filePath, char* out, size_t outSize);

enum { ENTRY_NAME_COPY_SIZE = 256 };

// Copies the file part of `name` (what follows its last '\') into `copy`, a
// buffer of ENTRY_NAME_COPY_SIZE bytes. Only the file part is looked at when
// an entry name is read, so a long directory part does not matter. Returns
// false, writing only a NUL, when the file part does not fit.
bool CopyEntryFilePart(const char* name, char copy[ENTRY_NAME_COPY_SIZE]);

// Reads an entry name as the listing makes them, "<anything><sep><digits>.<ext>":
// the last separator before the file part's first '.' sets *numberingMode
// ('~' 0, '-' 1, '_' 2); without one the whole part before the '.' is the
// number and *numberingMode is not touched. Writes a NUL over that '.'.
// Returns the number (no digits: 0), or -1 when a byte of it is not a digit
// or its value does not fit in 31 bits. *numberingMode may have been set even
// when -1 is returned.
int32_t ParseEntryName(char* name, EntryNumbering* numberingMode);

#endif
