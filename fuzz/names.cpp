// Archive paths and entry names over arbitrary bytes: the media-extension
// test, base names, and the reading of entry names. Strings are heap blocks
// of exactly their length and NUL, so ASan reports any read past them.
//
// Input: byte 0 the size of the base-name buffer (1 to 256), byte 1 the
// numbering mode (mod 3) and bytes 1-2 an entry number for the round trip;
// the rest, up to its first NUL, is the path or name.
#include <stdlib.h>
#include <string.h>

#include "archive/entry.h"
#include "archive/names.h"
#include "archive/state.h"

static void Check(bool condition)
{
    if (!condition) abort();
}

static char* CopyOf(const char* s, size_t length)
{
    char* copy = new char[length + 1];
    memcpy(copy, s, length);
    copy[length] = '\0';
    return copy;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || size > 4096) return 0;
    const size_t outSize = (size_t)data[0] + 1;
    const EntryNumbering mode = static_cast<EntryNumbering>(data[1] % 3);
    const int32_t number = (int32_t)((data[1] | data[2] << 8) % 8192);
    const char* text = (const char*)data + 3;
    const size_t length = strnlen(text, size - 3);

    char* name = CopyOf(text, length);
    HasMediaExtension(name);

    // Base names: cut to the buffer, and the caller's string left alone.
    char* base = new char[outSize];
    DeriveBaseName(name, base, outSize);
    Check(strlen(base) < outSize);
    Check(strlen(name) == length && memcmp(name, text, length) == 0);
    delete[] base;

    // The file part copy: the text after the last '\', whole or not at all.
    char* filePart = new char[ENTRY_NAME_COPY_SIZE];
    const char* slash = strrchr(name, '\\');
    const char* expected = slash ? slash + 1 : name;
    if (CopyEntryFilePart(name, filePart)) {
        Check(strcmp(filePart, expected) == 0);
    } else {
        Check(strlen(expected) >= ENTRY_NAME_COPY_SIZE && filePart[0] == '\0');
    }
    delete[] filePart;

    // Reading a name: a number or -1; the mode is set only to a valid one.
    char* parsed = CopyOf(text, length);
    EntryNumbering parsedMode = static_cast<EntryNumbering>(99);
    int32_t value = ParseEntryName(parsed, &parsedMode);
    Check(value >= -1);
    Check(parsedMode == 99 || parsedMode < 3);
    delete[] parsed;

    // Round trip: a name built from this path's base name reads back as the
    // number and mode it was built with. (A base name that begins with '.'
    // comes only from a file named like ".DAT"; its entry names read as
    // number 0, since a name is read only up to its first '.'.)
    char baseName[ARCHIVE_BASE_NAME_SIZE];
    DeriveBaseName(name, baseName, sizeof baseName);
    if (baseName[0] != '.') {
        char entryName[200];
        FormatEntryName(entryName, sizeof entryName, baseName, mode, number, data[2] % 5);
        Check(strlen(entryName) <= 198);  // base name up to 189 bytes, then at most 9
        char copy[ENTRY_NAME_COPY_SIZE];
        Check(CopyEntryFilePart(entryName, copy));
        EntryNumbering readMode = static_cast<EntryNumbering>(99);
        Check(ParseEntryName(copy, &readMode) == number);
        Check(readMode == mode);
    }
    delete[] name;
    return 0;
}
