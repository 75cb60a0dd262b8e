// The archive calls of the 00AM interface, as portable code.
//
// Each function here is one export's behaviour from its flags check to its
// return: plugin/exports.cpp forwards the six exports to them, and native
// tests, fuzz targets and tools call them directly, through the native side
// of the platform seam (calls/platform.h). The process-wide state they read
// and write is archive/state.h.
#ifndef MORQUENT_CALLS_CALLS_H
#define MORQUENT_CALLS_CALLS_H

#include <stdint.h>

#include "archive/entry.h"
#include "calls/platform.h"

// Result codes of the archive calls.
enum {
    RESULT_OK = 0,
    RESULT_UNSUPPORTED_FLAGS = 1,  // input other than a file; bad output kind; disk output failed
    RESULT_NOT_ARCHIVE = 2,        // not this format; a name or position that names no entry
    RESULT_NO_RECORD = 3,          // a record for the entry could not be built
    RESULT_NO_HOST_MEMORY = 4,     // a block for the host could not be allocated
    RESULT_NO_MEMORY = 5,          // a working buffer could not be allocated, or a block locked
    RESULT_CANNOT_OPEN = 6         // the archive file could not be opened
};

// Output kinds: bits 8-10 of GetFile's flags.
enum { OUTPUT_DISK = 0, OUTPUT_MEMORY = 1 };

// The bytes a host offers the probe: the file's first 2,048.
enum { PROBE_SIZE = 2048 };

// IsSupported once the probe's bytes are at hand (`length` of them): 1 when
// `path` does not name a bitmap, wave or PNG and the bytes begin a valid
// container; the archive's base name is then remembered for entry names.
// Otherwise 0, and nothing changes.
int ProbeArchive(const char* path, const uint8_t* bytes, int32_t length);

// GetArchiveInfo: every entry of the archive whose count field is at file
// position `offset`, as one host block of EntryInfo records ended by a
// zeroed record. *listHandle (when not null) receives the block on success
// and a null handle on every failure. Detects entryLayout.
int ListArchive(const char* path, int64_t offset, unsigned flags, HostBlock* listHandle);

// GetFileInfo: fills *info for the entry that `entryName` names, as the
// listing named it in the numbering mode its separator stands for.
int FindEntry(const char* path, int64_t offset, const char* entryName, unsigned flags, EntryInfo* info);

// GetFile: the entry at `position` (3 x table index + numbering mode) of the
// archive at the start of `path`. Output kind OUTPUT_MEMORY stores a host
// block's handle where `destination` points (null for an entry without
// content, and null on every failure); OUTPUT_DISK writes a file of the
// entry's name into the directory `destination`.
int ExtractEntry(const char* path, int64_t position, char* destination, unsigned flags);

// The listing reads entry heads through a window of this many bytes, so that
// thousands of small entries cost a few large reads. 0 reads every head into
// a buffer of its own of exactly the bytes the file delivers (the fuzz
// targets set it, so that a read past a head is seen).
extern uint32_t headWindowSize;
enum { HEAD_WINDOW_SIZE = 64 * 1024 };

// The extraction reads a stored entry in pieces of this many bytes and
// expands each as it comes, so that its working memory stays a few hundred
// KiB whatever the entry's size.
enum { ENTRY_PIECE_SIZE = 64 * 1024 };

#endif
