// The one walk over a slot's stored bytes. See calls/walk.h.
#include "calls/walk.h"

#include <stdio.h>
#include <string.h>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/lzss.h"
#include "calls/calls.h"

// Stored bytes that the file does not hold are zeros; a host's expansion is
// handed them from here.
static const uint8_t ZERO_PIECE[4096] = {0};

// Everything one walk keeps between its steps.
struct Walk {
    HeadReader* reader;
    const SlotPlace* place;
    const SlotSink* sink;
    EntryExpansion expansion;
    uint32_t pos;        // content bytes in the window
    uint32_t unwritten;  // where the window's bytes not yet handed on begin
};

// Hands the window's new bytes to the sink, keeping the history when `full`.
static bool FlushWindow(Walk* w, bool full)
{
    const SlotSink* sink = w->sink;
    if (w->pos > w->unwritten && sink->write &&
        !sink->write(sink->context, sink->window + w->unwritten, w->pos - w->unwritten))
        return false;
    w->unwritten = w->pos;
    if (full) {
        // Only a window that cannot hold the whole content fills: it is
        // larger than the history the references reach.
        memmove(sink->window, sink->window + w->pos - LZSS_RING_SIZE, LZSS_RING_SIZE);
        w->pos = w->unwritten = LZSS_RING_SIZE;
    }
    return true;
}

// Expands one piece of stored bytes into the window, handing on each
// window that fills. Returns the expansion's last status, or -1 when the
// sink refuses bytes.
static int ExpandPiece(Walk* w, const uint8_t* piece, uint32_t length)
{
    ExpandStatus status = EXPAND_NEEDS_INPUT;
    for (uint32_t used = 0;;) {
        uint32_t n = length - used;
        status = EntryExpandSome(&w->expansion, piece + used, &n, w->sink->window, &w->pos, w->sink->windowSize);
        used += n;
        if (status != EXPAND_OUTPUT_FULL) return status;
        // Full, and the content goes on: out with the window, or with the
        // rest of a reference the window cut.
        if (!FlushWindow(w, true)) return -1;
    }
}

// The content the payload of the held stored bytes gives, without
// expanding it: a plain payload's length, a stream's scanned size.
static ResultCode MeasurePayload(Walk* w, const SlotPayload* payload, uint64_t* gives)
{
    uint64_t held = w->place->held;
    if (!payload->compressed) {
        *gives = held > payload->start ? held - payload->start : 0;
        return RESULT_OK;
    }
    LzssScan scan;
    LzssScanStart(&scan);
    for (uint64_t at = payload->start; at < held;) {
        uint32_t n = held - at < ENTRY_PIECE_SIZE ? (uint32_t)(held - at) : (uint32_t)ENTRY_PIECE_SIZE;
        uint32_t got;
        const uint8_t* piece = ReadHead(w->reader, w->place->offset + (int64_t)at, n, &got);
        if (!piece) return RESULT_NO_MEMORY;
        LzssScanSome(&scan, piece, got);
        at += n;
    }
    *gives = scan.count;
    return RESULT_OK;
}

// Expands the held stored bytes, then for a host the missing ones as
// zeros; *delivered is what the held bytes gave.
static ResultCode ExpandPayload(Walk* w, uint32_t* delivered)
{
    const SlotPlace* place = w->place;
    uint64_t held = place->held;
    int status = EXPAND_NEEDS_INPUT;
    for (uint64_t at = 0; at < held && status != EXPAND_FINISHED;) {
        uint32_t n = held - at < ENTRY_PIECE_SIZE ? (uint32_t)(held - at) : (uint32_t)ENTRY_PIECE_SIZE;
        uint32_t got;
        const uint8_t* piece = ReadHead(w->reader, place->offset + (int64_t)at, n, &got);
        // The file holds these bytes: a read that falls short still
        // delivers n bytes (zeros), so only a buffer can be missing.
        if (!piece) return RESULT_NO_MEMORY;
        status = ExpandPiece(w, piece, n);
        if (status < 0) return RESULT_OUTPUT_FAILED;
        at += n;
    }
    *delivered = w->expansion.produced;
    if (w->sink->asHost) {
        for (uint64_t left = place->storedMissing; left && status != EXPAND_FINISHED;) {
            uint32_t n = left < sizeof ZERO_PIECE ? (uint32_t)left : (uint32_t)sizeof ZERO_PIECE;
            status = ExpandPiece(w, ZERO_PIECE, n);
            if (status < 0) return RESULT_OUTPUT_FAILED;
            left -= n;
        }
    }
    return RESULT_OK;
}

// For a host, the content that the stored bytes did not fill, as zeros.
static bool ZeroFillContent(Walk* w)
{
    const SlotSink* sink = w->sink;
    uint32_t produced = w->expansion.produced, size = w->expansion.fileSize;
    if (produced >= size) return true;
    if (!sink->write) {  // the window holds the whole content
        memset(sink->window + w->pos, 0, size - produced);
        return true;
    }
    memset(sink->window, 0, sink->windowSize);
    while (produced < size) {
        uint32_t n = size - produced < sink->windowSize ? size - produced : sink->windowSize;
        if (!sink->write(sink->context, sink->window, n)) return false;
        produced += n;
    }
    return true;
}

static SlotLack LackOf(const SlotReport* r)
{
    if (!r->place.sizeInFile) return SLOT_SIZE_PAST_END;
    if (r->place.storedMissing) return SLOT_CUT;
    if (r->contentMissing) return SLOT_STREAM_SHORT;
    return SLOT_WHOLE;
}

ResultCode WalkSlot(HeadReader* reader, const SlotPlace* place, EntryLayout layout, uint32_t contentSize, const SlotSink* sink,
             SlotReport* report)
{
    memset(report, 0, sizeof *report);
    report->place = *place;
    report->contentSize = contentSize;
    reader->readFailed = false;
    ResultCode result = RESULT_OK;
    uint32_t delivered = 0;
    Walk w;
    memset(&w, 0, sizeof w);
    w.reader = reader;
    w.place = place;
    w.sink = sink;
    // A slot that holds nothing, or lies nowhere (after a negative size),
    // has no payload; its content, if any, is all missing.
    if (place->storedSize > 0 && place->offset >= 0) {
        uint32_t got = 0;
        const uint8_t* kindBytes = ReadHead(reader, place->offset, 2, &got);
        if (!kindBytes) return RESULT_NO_MEMORY;
        int16_t kind = S16At(kindBytes, got, 0);
        report->payload = SlotPayloadOf(layout, kind, (uint32_t)place->storedSize);
        EntryExpandStart(&w.expansion, layout, kind, contentSize);
        if (!sink->window) {
            uint64_t gives = 0;
            result = MeasurePayload(&w, &report->payload, &gives);
            delivered = gives < contentSize ? (uint32_t)gives : contentSize;
        } else if (contentSize) {
            result = ExpandPayload(&w, &delivered);
        }
    } else {
        EntryExpandStart(&w.expansion, layout, 0, contentSize);
    }
    if (result == RESULT_OK && sink->window && contentSize) {
        if (!FlushWindow(&w, false) || (sink->asHost && !ZeroFillContent(&w))) result = RESULT_OUTPUT_FAILED;
    }
    report->contentDelivered = delivered;
    report->contentMissing = contentSize - delivered;
    report->readFailed = reader->readFailed;
    report->lack = LackOf(report);
    return result;
}

// "1 stored byte", "600 stored bytes".
static const char* Plural(uint64_t n) { return n == 1 ? "" : "s"; }

void DescribeSlotLack(const SlotReport* r, char* out, size_t outSize)
{
    unsigned long long stored = r->place.storedMissing, content = r->contentMissing;
    switch (r->lack) {
    case SLOT_SIZE_PAST_END:
        snprintf(out, outSize, "its size lies past the end of the file (the size table is cut)");
        break;
    case SLOT_CUT:
        // Content of no known size (no record) loses nothing that can be told.
        if (r->contentSize)
            snprintf(out, outSize, "the archive ends before the entry does: %llu stored byte%s missing, %llu content byte%s lost",
                     stored, Plural(stored), content, Plural(content));
        else
            snprintf(out, outSize, "the archive ends before the entry does: %llu stored byte%s missing", stored,
                     Plural(stored));
        break;
    case SLOT_STREAM_SHORT:
        snprintf(out, outSize, "%s: %llu content byte%s lost",
                 r->payload.compressed ? "its stream ends early" : "its stored bytes end before its size", content,
                 Plural(content));
        break;
    default:
        if (outSize) out[0] = 0;
    }
}

ResultCode OpenArchiveReader(ArchiveReader* r, const char* path, int64_t base)
{
    memset(r, 0, sizeof *r);
    // The probe's check needs no state: the layout is the caller's.
    ResultCode result = OpenArchive(NULL, path, base, VALIDATE_PROBE, &r->archive);
    if (result != RESULT_OK) return result;
    r->open = true;
    if (!OpenHeadReader(&r->reader, &r->archive, ENTRY_PIECE_SIZE)) {
        CloseArchiveReader(r);
        return RESULT_NO_MEMORY;
    }
    return RESULT_OK;
}

void CloseArchiveReader(ArchiveReader* r)
{
    CloseHeadReader(&r->reader);
    if (r->open) CloseArchive(&r->archive);
    r->open = false;
}

