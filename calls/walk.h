// The one walk over a slot's stored bytes: its payload expanded (or copied)
// in pieces through a sink, and what the file lacks of it measured on the
// way. The extraction, the damage check, and every tool that reads, checks or
// unpacks entries go through it, so that a slot gives the same content and
// the same report to all of them.
#ifndef MORQUENT_CALLS_WALK_H
#define MORQUENT_CALLS_WALK_H

#include <stddef.h>
#include <stdint.h>

#include "archive/entry.h"
#include "archive/table.h"
#include "calls/archive_file.h"

// What the file lacks of a slot, as one value.
enum SlotLack {
    SLOT_WHOLE = 0,       // the file holds every stored byte and they give the whole content
    SLOT_SIZE_PAST_END,   // the file ends inside the size table, before the slot's size
    SLOT_CUT,             // the file ends inside the slot: stored bytes are missing
    SLOT_STREAM_SHORT     // every stored byte is there, but the stream gives less than the content's size
};

// One slot as a walk found it.
struct SlotReport {
    SlotPlace place;            // where the table puts it, what the file holds of it
    SlotPayload payload;        // where its payload begins, whether it is a stream
    uint32_t contentSize;       // the content's size (the record's fileSize)
    uint32_t contentDelivered;  // of it, what the stored bytes the file holds give
    uint32_t contentMissing;    // contentSize - contentDelivered: content lost
    bool readFailed;            // a read of bytes the file holds failed (an I/O
                                // error, not damage): the figures are not to be trusted
    SlotLack lack;
};

// Takes `length` bytes of content, in order; false stops the walk
// (RESULT_OUTPUT_FAILED).
typedef bool (*SlotWrite)(void* context, const uint8_t* bytes, uint32_t length);

// Where a walk puts the content.
struct SlotSink {
    // Room for content. Null measures only: nothing is expanded or handed
    // on, and a stream is only scanned for the size it gives.
    uint8_t* window;
    // The whole content, or more than LZSS_RING_SIZE bytes: a window that
    // fills is handed to `write` and keeps its last LZSS_RING_SIZE bytes,
    // the history the stream's references reach.
    uint32_t windowSize;
    // Takes the content as the window fills, and the rest at the end; null
    // when the window holds the whole content, which then stays in it.
    SlotWrite write;
    void* context;
    // As a host gets it: the stored bytes the file lacks go through the
    // expansion as zeros, and the content they do not fill is zero. Without
    // it the content ends where the stored bytes at hand end.
    bool asHost;
};

// The content of the slot at `place` (read through `reader`) under `layout`,
// `contentSize` bytes of it at most, into `sink`, and *report filled:
// the kind read from the slot's first two bytes chooses the payload
// (SlotPayloadOf); the stored bytes the file holds are read in pieces of
// at most ENTRY_PIECE_SIZE. Returns RESULT_OK (whatever the slot lacks, which
// is the report's), RESULT_NO_MEMORY when a piece cannot be had, or
// RESULT_OUTPUT_FAILED when the sink refuses bytes.
ResultCode WalkSlot(HeadReader* reader, const SlotPlace* place, EntryLayout layout, uint32_t contentSize, const SlotSink* sink,
             SlotReport* report);

// What the report says the slot lacks, in the words every program shows
// ("" when it lacks nothing), at most `outSize` bytes with the NUL.
void DescribeSlotLack(const SlotReport* report, char* out, size_t outSize);

// An archive opened for tools that walk its slots: the file, its table and
// a reader whose window serves a piece at a time.
struct ArchiveReader {
    ArchiveFile archive;
    HeadReader reader;
    bool open;
};

// Opens the container whose count field is at `base` of `path` and checks
// its count and size table as the probe does (the layout is the caller's).
// Returns RESULT_OK, RESULT_CANNOT_OPEN, RESULT_NOT_ARCHIVE or
// RESULT_NO_MEMORY, with nothing left open on failure.
ResultCode OpenArchiveReader(ArchiveReader* reader, const char* path, int64_t base);
void CloseArchiveReader(ArchiveReader* reader);  // also on a reader never opened (zeroed)

// The reader's table is reader->archive's: ArchivePlaceOf and
// ArchiveWalkStart (calls/archive_file.h) place its slots.

#endif
