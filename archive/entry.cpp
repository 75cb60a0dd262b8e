#include "archive/entry.h"

#include <assert.h>
#include <stdio.h>
#include <string.h>

#include "archive/bytes.h"
#include "archive/lzss.h"

const char ENTRY_EXTENSIONS[5][4] = {"BMP", "WAV", "PNG", "DAT", "DMY"};

static const uint8_t SIGNATURE_BM[2] = {'B', 'M'};
static const uint8_t SIGNATURE_RIFF[4] = {'R', 'I', 'F', 'F'};
static const uint8_t SIGNATURE_WAVEFMT[7] = {'W', 'A', 'V', 'E', 'f', 'm', 't'};
static const uint8_t SIGNATURE_PNG[4] = {0x89, 0x50, 0x4E, 0x47};

// True when the `n` bytes at `offset` equal `signature` (bytes past `length`
// read as zero, and no signature contains a zero byte).
static int MatchesAt(const uint8_t* bytes, size_t length, size_t offset, const uint8_t* signature, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (ByteAt(bytes, length, offset + i) != signature[i]) return 0;
    }
    return 1;
}

int SniffContent(const uint8_t* bytes, size_t length, int mode)
{
    if (mode == SNIFF_EMPTY) return CLASS_DMY;
    // A stream's first byte is a flag byte; with literals first, the content
    // starts right after it.
    size_t s = (mode == SNIFF_STREAM) ? 1 : 0;
    if (MatchesAt(bytes, length, s, SIGNATURE_BM, 2)) return CLASS_BMP;
    if (MatchesAt(bytes, length, s, SIGNATURE_RIFF, 4)) {
        // A plain RIFF must also be a wave; in a stream "RIFF" alone will do.
        if (mode == SNIFF_STREAM || MatchesAt(bytes, length, s + 8, SIGNATURE_WAVEFMT, 7)) return CLASS_WAV;
    }
    if (MatchesAt(bytes, length, s, SIGNATURE_PNG, 4)) return CLASS_PNG;
    return CLASS_DAT;
}

int SniffContentAt(const uint8_t* bytes, size_t length, size_t offset, int mode)
{
    // Never a pointer outside the buffer: past its end, no bytes at all.
    if (offset >= length) return SniffContent(bytes, 0, mode);
    return SniffContent(bytes + offset, length - offset, mode);
}

void DecodeStreamHead(const uint8_t* bytes, size_t length, size_t offset, uint8_t decoded[16])
{
    uint32_t inputLength = offset < length ? (uint32_t)(length - offset) : 0;
    LzssDecode(inputLength ? bytes + offset : bytes, inputLength, decoded, 16);
}

uint32_t AnnouncedContentSize(int contentClass, const uint8_t decoded[16])
{
    if (contentClass == CLASS_BMP) return ReadU32(decoded + 2);      // BITMAPFILEHEADER.bfSize
    if (contentClass == CLASS_WAV) return ReadU32(decoded + 4) + 8;  // RIFF chunk size + 8
    return 0;
}

// The payload's size of a plain entry: what its head leaves of the slot.
static uint32_t ClampedPayload(int32_t storedSize, EntryLayout layout)
{
    uint32_t stored = storedSize > 0 ? (uint32_t)storedSize : 0;
    return stored - SlotPayloadOf(layout, 0, stored).start;
}

bool EntryNeedsStreamSizes(const PluginState* state, const EntryLocator* locator, const uint8_t* head,
                           size_t available)
{
    if (!state->settings.CheckMode || state->memory.entryLayout != LAYOUT_KIND_ONLY) return false;
    if (locator->storedSize == 0 || locator->kind != 1) return false;
    int cls = SniffContentAt(head, available, 2, SNIFF_STREAM);
    return cls != CLASS_BMP && cls != CLASS_WAV;
}

void EntryScanStart(EntryScan* scan, const EntryLocator* locator)
{
    scan->seen = 0;
    scan->withFrom6 = locator->declaredSize > 0;
    LzssScanStart(&scan->from2);
    LzssScanStart(&scan->from6);
}

// Hands the part of a piece at entry bytes [at, at + length) that lies at or
// past entry byte `from` to `scan`.
static void ScanFrom(LzssScan* scan, uint32_t from, const uint8_t* piece, uint32_t at, uint32_t length)
{
    if (at + (uint64_t)length <= from) return;
    uint32_t skip = at < from ? from - at : 0;
    LzssScanSome(scan, piece + skip, length - skip);
}

void EntryScanSome(EntryScan* scan, const uint8_t* piece, uint32_t length)
{
    ScanFrom(&scan->from2, 2, piece, scan->seen, length);
    if (scan->withFrom6) ScanFrom(&scan->from6, 6, piece, scan->seen, length);
    scan->seen += length;
}

// LzssScanZeros on the part of `length` zero bytes at entry bytes
// [at, at + length) that lies at or past entry byte `from`.
static void ScanZerosFrom(LzssScan* scan, uint32_t from, uint32_t at, uint32_t length)
{
    if (at + (uint64_t)length <= from) return;
    uint32_t skip = at < from ? from - at : 0;
    LzssScanZeros(scan, length - skip);
}

void EntryScanZeros(EntryScan* scan, uint32_t length)
{
    ScanZerosFrom(&scan->from2, 2, scan->seen, length);
    if (scan->withFrom6) ScanZerosFrom(&scan->from6, 6, scan->seen, length);
    scan->seen += length;
}

void EntryScanSizes(const EntryScan* scan, EntryStreamSizes* sizes)
{
    sizes->entryEnd = scan->seen;
    sizes->from2 = LzssScanCount(&scan->from2);
    sizes->from6 = LzssScanCount(&scan->from6);
}

// Some archives thought to have two-byte heads do carry six-byte heads: a
// stream after byte 6 that decodes to exactly the declared size shows it, and
// the whole archive is taken as LAYOUT_KIND_SIZE from then on. A declared
// size of 0 proves nothing (a stream cut after its head, or a tiny entry
// whose first literals are zero, scans to 0) and is invalid under
// LAYOUT_KIND_SIZE: raising on it would list this entry and then refuse every
// later record of it, and misread the entries after it.
static bool ShowsSixByteHead(const EntryLocator* locator, const EntryStreamSizes* sizes)
{
    return sizes->entryEnd >= 6 && locator->declaredSize > 0 && sizes->from6 == locator->declaredSize;
}

uint32_t EntryHeadSize(int32_t storedSize, EntryLayout layout, uint32_t checkMode, bool readWhole)
{
    if (storedSize <= 0) return 0;
    bool whole = readWhole || (checkMode != 0 && layout == LAYOUT_KIND_ONLY);
    if (whole && storedSize < ENTRY_HEAD_SIZE) return (uint32_t)storedSize;
    return ENTRY_HEAD_SIZE;
}

// Content size of a compressed (kind 1) entry under LAYOUT_KIND_ONLY, whose
// stream begins at entry byte 2 (`cls` is what it begins as) and whose size
// is not stored: a bitmap or wave announces it in its own header; anything
// else is sized by its scanned stream, when the setting allows it and the
// caller scanned the entry. Returns 0 when the size cannot be had.
static int SizeKindOnlyStream(const PluginState* state, const EntryLocator* locator, const uint8_t* head,
                              size_t available, const EntryStreamSizes* sizes, int cls, EntryFindings* found)
{
    if (cls == CLASS_BMP || cls == CLASS_WAV) {
        uint8_t decoded[16];
        DecodeStreamHead(head, available, 2, decoded);
        found->contentSize = AnnouncedContentSize(cls, decoded);
        return 1;
    }
    if (!state->settings.CheckMode || !sizes) return 0;
    if (ShowsSixByteHead(locator, sizes)) {
        found->raisesLayout = true;
        found->contentSize = (uint32_t)locator->declaredSize;
    } else {
        found->contentSize = (uint32_t)sizes->from2;
    }
    return 1;
}

// Content size and class of a non-empty entry under one of the two layouts
// with a head. Returns 0 for an entry that has no record under it.
static int SizeHeadedEntry(const PluginState* state, const EntryLocator* locator, const uint8_t* head,
                           size_t available, const EntryStreamSizes* sizes, EntryFindings* found)
{
    int16_t kind = locator->kind;
    if (kind != 0 && kind != 1 && kind != 8) return 0;
    if (state->memory.entryLayout == LAYOUT_KIND_SIZE) {
        if (locator->declaredSize <= 0) return 0;
        if (kind == 8) {
            // Kind 8 declares a size that is not the content's.
            found->contentSize = ClampedPayload(locator->storedSize, LAYOUT_KIND_SIZE);
            found->contentClass = SniffContentAt(head, available, 6, SNIFF_PLAIN);
        } else {
            found->contentSize = (uint32_t)locator->declaredSize;
            found->contentClass = SniffContentAt(head, available, 6, kind == 1 ? SNIFF_STREAM : SNIFF_PLAIN);
        }
        return 1;
    }
    if (kind == 0) {
        found->contentSize = ClampedPayload(locator->storedSize, LAYOUT_KIND_ONLY);
        found->contentClass = SniffContentAt(head, available, 2, SNIFF_PLAIN);
        return 1;
    }
    // Kind 1, and kind 8 with a two-byte head: extraction expands both as a
    // stream from byte 2, so they are named from that stream.
    found->contentClass = SniffContentAt(head, available, 2, SNIFF_STREAM);
    if (kind == 1) return SizeKindOnlyStream(state, locator, head, available, sizes, found->contentClass, found);
    // Kind 8's size is the four bytes after the kind, which must be a real size.
    if (locator->declaredSize <= 0) return 0;
    found->contentSize = (uint32_t)locator->declaredSize;
    return 1;
}

int BuildEntryRecord(const PluginState* state, EntryNumbering numberingMode, int32_t number, const EntryLocator* locator,
                     const uint8_t* head, uint32_t headAvailable, const EntryStreamSizes* sizes, EntryInfo* info,
                     EntryFindings* found)
{
    memcpy(info->method, "QORDAT", 7);
    info->position = 0;
    info->compressedSize = locator->storedSize > 0 ? (uint32_t)locator->storedSize : 0;

    size_t available = head ? headAvailable : 0;
    EntryFindings f = {0, CLASS_DMY, false};
    if (locator->storedSize <= 0) {
        f.contentClass = SniffContent(head, 0, SNIFF_EMPTY);
    } else if (state->memory.entryLayout == LAYOUT_KIND_SIZE || state->memory.entryLayout == LAYOUT_KIND_ONLY) {
        if (!SizeHeadedEntry(state, locator, head, available, sizes, &f)) return 0;
    } else {
        f.contentSize = (uint32_t)locator->storedSize;
        f.contentClass = SniffContentAt(head, available, 0, SNIFF_PLAIN);
    }

    info->fileSize = f.contentSize;
    info->timestamp = 0;
    info->path[0] = '\0';
    FormatEntryName(info->fileName, sizeof info->fileName, state->memory.archiveBaseName, numberingMode, number,
                    f.contentClass);
    info->crc = 0;
    *found = f;
    return 1;
}

uint32_t LayoutHeadSize(EntryLayout layout)
{
    return layout == LAYOUT_KIND_SIZE ? 6 : layout == LAYOUT_KIND_ONLY ? 2 : 0;
}

SlotPayload SlotPayloadOf(EntryLayout layout, int16_t kind, uint32_t storedSize)
{
    SlotPayload payload;
    uint32_t head = LayoutHeadSize(layout);
    payload.start = head < storedSize ? head : storedSize;
    payload.compressed = layout == LAYOUT_KIND_SIZE ? kind == 1 : layout == LAYOUT_KIND_ONLY ? kind != 0 : false;
    return payload;
}

void EntryExpandStart(EntryExpansion* x, EntryLayout layout, int16_t kind, uint32_t fileSize)
{
    // The expansion is handed the stored bytes only, so an unclamped start
    // skips no more than the slot holds.
    SlotPayload payload = SlotPayloadOf(layout, kind, UINT32_MAX);
    x->start = payload.start;
    x->compressed = payload.compressed;
    x->seen = 0;
    x->fileSize = fileSize;
    x->produced = 0;
    LzssDecoderStart(&x->decoder);
}

ExpandStatus EntryExpandSome(EntryExpansion* x, const uint8_t* piece, uint32_t* length, uint8_t* output,
                             uint32_t* outPos, uint32_t outputLength)
{
    assert(*outPos <= outputLength);
    // The room ends where the content does.
    uint32_t before = *outPos;
    if (outputLength - *outPos > x->fileSize - x->produced) outputLength = *outPos + (x->fileSize - x->produced);
    // The head before the payload is skipped.
    uint32_t used = 0;
    if (x->seen < x->start) used = x->start - x->seen < *length ? x->start - x->seen : *length;
    uint32_t payload = *length - used;
    if (x->compressed) {
        LzssDecodeSome(&x->decoder, piece + used, &payload, output, outPos, outputLength);
    } else {
        uint32_t room = outputLength - *outPos;
        if (payload > room) payload = room;
        if (payload) memcpy(output + *outPos, piece + used, payload);
        *outPos += payload;
    }
    used += payload;
    x->seen += used;
    x->produced += *outPos - before;
    *length = used;
    if (x->produced == x->fileSize) return EXPAND_FINISHED;
    // Both the decoder and the copy stop only when the room is full or the
    // piece is used up.
    return *outPos == outputLength ? EXPAND_OUTPUT_FULL : EXPAND_NEEDS_INPUT;
}

void FormatEntryName(char* out, size_t outSize, const char* baseName, EntryNumbering numberingMode, int32_t number,
                     int contentClass)
{
    assert(numberingMode < 3 && contentClass >= 0 && contentClass < 5);
    char separator = numberingMode < 3 ? NUMBERING_SEPARATORS[numberingMode] : NUMBERING_SEPARATORS[0];
    snprintf(out, outSize, "%s%c%03d.%s", baseName, separator, (int)number, ENTRY_EXTENSIONS[contentClass]);
}
