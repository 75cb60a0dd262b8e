// The archive calls of the 00AM interface, as portable code.
//
// Each function here is one export's behaviour from its flags check to its
// return: plugin/exports.cpp forwards the exports to them with the plug-in's
// one PluginState, and qordat, native tests and fuzz targets call them with
// a state of their own, over the native side of the platform seam
// (calls/platform.h). Every call releases everything it took before it
// returns, whatever the code.
#ifndef MORQUENT_CALLS_CALLS_H
#define MORQUENT_CALLS_CALLS_H

#include <stdint.h>

#include "archive/entry.h"
#include "archive/state.h"
#include "calls/platform.h"
#include "calls/result.h"
#include "calls/walk.h"


// Bits 0-2 of the flags: the input kind; 0 (a file) is the only one accepted.
// Output kinds: bits 8-10 of GetFile's flags. Other bits are ignored.
enum OutputKind : unsigned { OUTPUT_DISK = 0, OUTPUT_MEMORY = 1 };

// The bytes a host offers the probe: the file's first 2,048.
enum { PROBE_SIZE = 2048 };

// IsSupported once the probe's bytes are at hand (`length` of them): 1 when
// `path` does not name a bitmap, wave or PNG and the bytes begin a valid
// container; the archive's base name then goes to state->memory.archiveBaseName.
// Otherwise 0, and the state is left as it was. Never touches the layout.
int ProbeArchive(PluginState* state, const char* path, const uint8_t* bytes, int32_t length);

// GetArchiveInfo: every entry of the archive whose count field is at file
// position `offset`, as one host block of EntryInfo records ended by a
// zeroed record, numbered as state->settings.NumberingMode says. *listHandle (when
// not null) receives the block on success and a null handle on every
// failure. Leaves the detected layout in state->memory.entryLayout (a file that is
// not an archive leaves the layout as it was). Returns:
//   RESULT_OK
//   RESULT_UNSUPPORTED_FLAGS  input kind other than a file
//   RESULT_CANNOT_OPEN        the file cannot be opened
//   RESULT_NOT_ARCHIVE        the count, the size table or the first entry's
//                             head is not this format's (in this setting)
//   RESULT_NO_MEMORY          a working buffer, or the lock of the block
//   RESULT_NO_HOST_MEMORY     the block for the records
//   RESULT_NO_RECORD          an entry whose record cannot be built
ResultCode ListArchive(PluginState* state, const char* path, int64_t offset, unsigned flags, HostBlock* listHandle);
enum { LIST_RESULTS = 0x7F };  // a bit per code ListArchive can return

// GetFileInfo: fills *info for the entry that `entryName` names, as the
// listing named it in the numbering mode its separator stands for (the
// record's position carries that mode). Reads entries by the layout the last
// listing left. Returns:
//   RESULT_OK
//   RESULT_UNSUPPORTED_FLAGS  input kind other than a file
//   RESULT_NOT_ARCHIVE        a null name or record; the file is not this
//                             format; a name that is no entry name, or a
//                             number that names no slot
//   RESULT_CANNOT_OPEN        the file cannot be opened
//   RESULT_NO_MEMORY          a working buffer
//   RESULT_NO_RECORD          the entry's record cannot be built (*info may
//                             then be partly written)
ResultCode FindEntry(PluginState* state, const char* path, int64_t offset, const char* entryName, unsigned flags,
              EntryInfo* info);
enum { FIND_RESULTS = 0x6F };  // never RESULT_NO_HOST_MEMORY

// GetFile: the entry at `position` (3 x table index + numbering mode) of the
// archive whose count field is at file position `offset` (a host's GetFile
// has no offset: the plug-in passes 0, the start of the file), read by the
// layout the last listing left.
// Output kind OUTPUT_MEMORY stores a host block's handle where `destination`
// points (null for an entry without content, and null on every failure);
// OUTPUT_DISK writes a file of the entry's name into the directory
// `destination`, and leaves no file behind on failure. Returns:
//   RESULT_OK
//   RESULT_UNSUPPORTED_FLAGS  input kind other than a file (before anything
//                             is opened); an output kind other than disk or
//                             memory, or memory output with no handle
//                             variable (once the entry's record is built, so
//                             the codes below for the file, the position and
//                             the record come first, but before any block,
//                             buffer or file for the output is made)
//   RESULT_OUTPUT_FAILED      the disk file cannot be created, written, ended
//                             or closed
//   RESULT_NOT_ARCHIVE        the file is not this format, or the position
//                             names no slot of its table
//   RESULT_CANNOT_OPEN        the file cannot be opened
//   RESULT_NO_MEMORY          a working buffer, or the lock of the block
//   RESULT_NO_HOST_MEMORY     the content's block, or content of 1 GiB or
//                             more (refused for disk output alike)
//   RESULT_NO_RECORD          the entry's record cannot be built
ResultCode ExtractEntry(PluginState* state, const char* path, int64_t offset, int64_t position, char* destination,
                 unsigned flags);
enum { EXTRACT_RESULTS = 0x7F };

// ExtractEntry with another bound on the content's size than the host's
// 1 GiB: content of `contentLimit` bytes or more is refused with
// RESULT_NO_HOST_MEMORY. A tool that extracts to disk, which writes in
// pieces, passes UINT64_MAX and gets every size the format holds. With
// `report` (may be null) it also learns what the file lacks of the entry,
// measured by the same walk that delivered the content (calls/walk.h);
// the report is zero when no content was walked.
ResultCode ExtractEntryUpTo(PluginState* state, const char* path, int64_t offset, int64_t position, char* destination,
                     unsigned flags, uint64_t contentLimit, SlotReport* report);

// GetFile's own two steps, for programs that take the content their own way
// (qordat's unpack digests it as it writes it): ExtractEntryUpTo is these
// two with a host block or a disk file as the place the content goes.
//
// The record the extraction builds for the slot at `place`, read through
// `reader` (calls/archive_file.h) by state->memory.entryLayout, which the build may
// raise: the entry read whole is its own head. Named in `numberingMode`.
// RESULT_OK, RESULT_NO_MEMORY or RESULT_NO_RECORD.
ResultCode ExtractionRecord(PluginState* state, HeadReader* reader, const SlotPlace* place,
                            EntryNumbering numberingMode, EntryInfo* info);
// The content's size as the extraction takes it from the record: none for
// an empty slot.
uint32_t ExtractionContentSize(const SlotPlace* place, const EntryInfo* info);
// The content's size the extraction gives the slot at `place`, which the
// listing recorded with `listedSize`, into *size: the same, unless the slot
// is shorter than the head the listing read, which then ran on into the
// slots after it (its kind, declared size and content may be theirs): the
// extraction reads the slot whole, and its own record's size is the one it
// gives. A record the extraction cannot build leaves `listedSize`. Nothing in
// *state changes. RESULT_OK or RESULT_NO_MEMORY.
ResultCode ExtractionSizeOfListed(const PluginState* state, HeadReader* reader, const SlotPlace* place,
                                  uint32_t listedSize, uint32_t* size);
// The content of that slot as a host gets it (the stored bytes the file
// lacks as zeros), by state->memory.entryLayout, expanded through `window` (the
// whole content, or more than the 4,096 bytes of history) and handed to
// `write` (null when the window holds the whole content), *report filled.
// RESULT_OK, RESULT_NO_MEMORY or RESULT_OUTPUT_FAILED.
ResultCode ExtractionWalk(const PluginState* state, HeadReader* reader, const SlotPlace* place, const EntryInfo* info,
                          uint8_t* window, uint32_t windowSize, SlotWrite write, void* context, SlotReport* report);

// The listing reads entry heads through a window of this many bytes, so that
// thousands of small entries cost a few large reads.
enum { HEAD_WINDOW_SIZE = 64 * 1024 };

// The stored entry is read in pieces of this many bytes, by the scan that
// sizes an entry and by the extraction that expands it, so that their
// working memory stays a few hundred KiB whatever the entry's size.
enum { ENTRY_PIECE_SIZE = 64 * 1024 };

#endif
