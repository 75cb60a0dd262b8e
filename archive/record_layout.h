// Where each field of the 00AM interface's per-entry record lies: the method
// (8 bytes), four integers as wide as the host's pointers (position,
// compressed size, file size, timestamp), the path (200 bytes), the file name
// (200 bytes) and the CRC (4 bytes), packed, the whole padded to a multiple of
// the integers' width. That is 428 bytes for 32-bit hosts and 448 for 64-bit
// ones. The plug-in's EntryInfo and the hosts' HostRecord are both checked
// against it.
#ifndef MORQUENT_ARCHIVE_RECORD_LAYOUT_H
#define MORQUENT_ARCHIVE_RECORD_LAYOUT_H

#include <stddef.h>

// Width of the record's integers: 8 bytes in 64-bit Windows builds, 4 in
// 32-bit ones and in portable builds on other systems.
#if defined(_WIN64)
#define RECORD_WORD 8
#else
#define RECORD_WORD 4
#endif

enum {
    RECORD_METHOD_AT = 0,
    RECORD_POSITION_AT = 8,
    RECORD_COMPRESSED_SIZE_AT = RECORD_POSITION_AT + RECORD_WORD,
    RECORD_FILE_SIZE_AT = RECORD_COMPRESSED_SIZE_AT + RECORD_WORD,
    RECORD_TIMESTAMP_AT = RECORD_FILE_SIZE_AT + RECORD_WORD,
    RECORD_PATH_AT = RECORD_TIMESTAMP_AT + RECORD_WORD,
    RECORD_FILE_NAME_AT = RECORD_PATH_AT + 200,
    RECORD_CRC_AT = RECORD_FILE_NAME_AT + 200,
    RECORD_SIZE = (RECORD_CRC_AT + 4 + RECORD_WORD - 1) / RECORD_WORD * RECORD_WORD
};
static_assert(RECORD_SIZE == (RECORD_WORD == 8 ? 448 : 428), "the interface's record sizes");

// Checks at compile time that `Type` has every field of the record where the
// interface puts it, and the record's size.
#define CHECK_RECORD_LAYOUT(Type)                                                                         \
    static_assert(sizeof(Type) == RECORD_SIZE, #Type ": the record's size");                              \
    static_assert(offsetof(Type, method) == RECORD_METHOD_AT, #Type ": method");                          \
    static_assert(offsetof(Type, position) == RECORD_POSITION_AT, #Type ": position");                    \
    static_assert(offsetof(Type, compressedSize) == RECORD_COMPRESSED_SIZE_AT, #Type ": compressedSize"); \
    static_assert(offsetof(Type, fileSize) == RECORD_FILE_SIZE_AT, #Type ": fileSize");                   \
    static_assert(offsetof(Type, timestamp) == RECORD_TIMESTAMP_AT, #Type ": timestamp");                 \
    static_assert(offsetof(Type, path) == RECORD_PATH_AT, #Type ": path");                                \
    static_assert(offsetof(Type, fileName) == RECORD_FILE_NAME_AT, #Type ": fileName");                   \
    static_assert(offsetof(Type, crc) == RECORD_CRC_AT && sizeof(((Type*)0)->crc) == 4, #Type ": crc")

#endif
