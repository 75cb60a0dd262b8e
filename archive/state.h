// The state that the archive calls share: the entry-header layouts, the
// numbering modes, the entry locator, and the record of settings and
// detected layout that every call takes.
#ifndef MORQUENT_ARCHIVE_STATE_H
#define MORQUENT_ARCHIVE_STATE_H

#include <stdint.h>

// Entry-header layouts. An archive does not say which one its entries use;
// the listing detects it and leaves it in entryLayout.
enum EntryLayout : int32_t {
    LAYOUT_RAW = 0,        // no head: the entry's bytes are its content
    LAYOUT_KIND_SIZE = 1,  // kind (16 bits) and declared size (32 bits), payload at byte 6
    LAYOUT_KIND_ONLY = 2   // kind (16 bits), payload at byte 2
};

// How empty table slots are listed and entries numbered (user setting).
enum EntryNumbering : uint32_t {
    NUMBERING_WITH_DUMMIES = 0,  // every slot, empty ones as *.DMY, number = table index
    NUMBERING_KEEP = 1,          // non-empty slots, number = table index
    NUMBERING_PACKED = 2         // non-empty slots, number = place among non-empty slots
};

// The byte between the base name and the number of an entry name, indexed by
// numbering mode: '~', '-', '_'. Names are made with it and read back by it,
// so a looked-up name tells the mode it was listed in.
extern const char NUMBERING_SEPARATORS[3];

// Room for the archive's base name. Entry names are the base name plus at
// most ten bytes ("~1234.BMP" and a NUL) and must fit the 200-byte fileName
// field of EntryInfo, so base names are kept up to 189 bytes and cut there.
enum { ARCHIVE_BASE_NAME_SIZE = 190 };

// One archive entry as the interface calls locate it: what its slot and its
// first six bytes say. Where it lies is the caller's (EntryOffset, calls/).
struct EntryLocator {
    int32_t storedSize;    // the size-table value; 0 when empty
    int16_t kind;          // entry bytes 0-1 (non-empty entries only)
    int32_t declaredSize;  // entry bytes 2-5 (non-empty entries only)
};

// The user's two settings, as the settings store loads them and the dialog
// changes them. The calls only read them; each takes them as they stand
// when it starts.
struct PluginSettings {
    // 1 lets compressed entries of unknown content be sized by scanning
    // their whole stream.
    uint32_t CheckMode;
    // NUMBERING_*, how the listing numbers entries. The lookup and the
    // extraction number by the mode of the name or position they are given
    // instead, passed down as a parameter.
    EntryNumbering NumberingMode;
};

// What the plug-in remembers of the archives it is given, from one call to
// the next.
struct ArchiveMemory {
    // The layout the last listing detected (LAYOUT_*). A call that builds a
    // record raises it from LAYOUT_KIND_ONLY to LAYOUT_KIND_SIZE when the
    // record shows six-byte heads. The lookup and the extraction read
    // entries by it.
    EntryLayout entryLayout;
    // Base name of the archive that the probe last accepted; the first part
    // of every entry name.
    char archiveBaseName[ARCHIVE_BASE_NAME_SIZE];
};

// What lasts from one archive call to the next, as one plain record that
// every call and every function that depends on it takes as a parameter:
// the settings apart from the archive's memory. Nothing in it is per-call
// scratch; the calls never write a setting (only the settings store and the
// dialog do). The plug-in keeps the one instance a host's process uses
// (plugin/); tools, tests and fuzz targets make their own. A zeroed record
// is the state of a freshly loaded plug-in with default settings.
struct PluginState {
    PluginSettings settings;
    ArchiveMemory memory;
};

#endif
