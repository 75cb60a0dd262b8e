// Entry records: content sniffing, sizes and invented names.
//
// The archive stores no names and, under some layouts, no sizes. This module
// turns what it does store into the record that the 00AM archive interface
// hands to the host: 428 bytes in 32-bit plug-ins, 448 in 64-bit ones.
#ifndef MORQUENT_ARCHIVE_ENTRY_H
#define MORQUENT_ARCHIVE_ENTRY_H

#include <stddef.h>
#include <stdint.h>

#include "archive/lzss.h"
#include "archive/record_layout.h"
#include "archive/state.h"

// Content classes; the class is the index into the extension table.
enum {
    CLASS_BMP = 0,  // "BM"
    CLASS_WAV = 1,  // "RIFF" (plain content also needs "WAVEfmt" at +8)
    CLASS_PNG = 2,  // 89 50 4E 47
    CLASS_DAT = 3,  // anything else
    CLASS_DMY = 4   // an empty entry
};

// Where SniffContent looks for the signatures.
enum {
    SNIFF_STREAM = 0,  // an LZSS stream starting with literals: signatures at byte 1
    SNIFF_PLAIN = 1,   // plain content: signatures at byte 0
    SNIFF_EMPTY = 2    // nothing is read; always CLASS_DMY
};

extern const char ENTRY_EXTENSIONS[5][4];  // "BMP", "WAV", "PNG", "DAT", "DMY"

// Integer fields of EntryInfo that follow the host's pointer width: 32 bits
// in 32-bit plug-ins (.spi), 64 bits in 64-bit ones (.sph). Portable builds
// on other systems use the 32-bit record.
#if defined(_WIN64)
typedef uint64_t EntryWord;
#else
typedef uint32_t EntryWord;
#endif

#pragma pack(push, 1)
// The per-entry record of the 00AM archive interface, as the host reads it.
struct EntryInfo {
    uint8_t method[8];         // "QORDAT" and a NUL; byte 7 is not written
    EntryWord position;        // 3 x table index + NumberingMode (set by the callers)
    EntryWord compressedSize;  // the stored size
    EntryWord fileSize;        // the content size
    EntryWord timestamp;       // 0
    char path[200];            // empty
    char fileName[200];        // base name, separator, number, '.', extension
    uint32_t crc;              // 0
#if defined(_WIN64)
    uint32_t padding;          // the 64-bit record is padded to a multiple of 8
#endif
};
#pragma pack(pop)

CHECK_RECORD_LAYOUT(EntryInfo);

// Classifies `length` bytes of content (bytes past `length` read as zero).
// SNIFF_STREAM reads bytes 1 to 4, SNIFF_PLAIN bytes 0 to 3 and, after
// "RIFF", bytes 8 to 14. The first matching signature wins, in class order.
int SniffContent(const uint8_t* bytes, size_t length, int mode);

// SniffContent on the bytes of a `length`-byte buffer from `offset` on. An
// offset at or past the end leaves no bytes to look at.
int SniffContentAt(const uint8_t* bytes, size_t length, size_t offset, int mode);

// Writes the first 16 bytes that the LZSS stream at `offset` decodes to, the
// buffer's bytes from `offset` up to `length` (below 4 GiB) being its input.
// Nothing at or past `length` is read; what the input cannot produce is zero.
void DecodeStreamHead(const uint8_t* bytes, size_t length, size_t offset, uint8_t decoded[16]);

// The size that bitmap or wave content announces in its first 16 bytes: a
// bitmap's file size (u32 at byte 2), a wave's RIFF chunk size (u32 at byte
// 4) plus the 8 bytes of the chunk's own header, modulo 2^32. Other classes
// announce nothing: 0.
uint32_t AnnouncedContentSize(int contentClass, const uint8_t decoded[16]);

// What a compressed entry of unknown content under LAYOUT_KIND_ONLY is sized
// by when CheckMode allows full scans: the entry's whole stored length read
// as an LZSS stream from byte 2 and from byte 6 (0 for a stream that starts
// at or past the end). Bytes that the file does not hold (an archive cut
// short) count as zero, as they do everywhere else.
struct EntryStreamSizes {
    uint32_t entryEnd;  // the entry bytes scanned: its stored size
    int32_t from2, from6;
};

// True when the record of the entry cannot be built from its head (the first
// `available` bytes, at least the first 6 when the entry has them) and needs
// EntryStreamSizes: a kind-1 entry under LAYOUT_KIND_ONLY whose stream does
// not begin as a bitmap or wave, with CheckMode set.
bool EntryNeedsStreamSizes(const PluginState* state, const EntryLocator* locator, const uint8_t* head,
                           size_t available);

// EntryStreamSizes of an entry whose bytes come in pieces: EntryScanStart,
// EntryScanSome on every piece the file holds, in order from entry byte 0,
// EntryScanZeros for the rest of the stored size, then EntryScanSizes. The
// stream from byte 6 is scanned only when the locator's declared size is a
// real size (no other can match it).
struct EntryScan {
    uint32_t seen;  // entry bytes handed in so far
    bool withFrom6;
    LzssScan from2, from6;
};

void EntryScanStart(EntryScan* scan, const EntryLocator* locator);
void EntryScanSome(EntryScan* scan, const uint8_t* piece, uint32_t length);
void EntryScanZeros(EntryScan* scan, uint32_t length);
void EntryScanSizes(const EntryScan* scan, EntryStreamSizes* sizes);

// An entry's head: the first bytes of it that its record is built from. A
// record looks at 36 of them at most (the kind, the declared size, and the
// input that the first 16 bytes of a stream from byte 2 can take: two flag
// bytes and sixteen two-byte references); the plug-in has always read 50.
enum { ENTRY_HEAD_SIZE = 50 };

// How many bytes are read as the head of an entry of `storedSize` bytes. The
// one rule, for the listing, the lookup and the extraction alike:
//   - an entry that is read whole has its own bytes as its head, ENTRY_HEAD_SIZE
//     at most: always in the extraction (`readWhole`), and in the listing and
//     the lookup when full scans apply (`checkMode` on under LAYOUT_KIND_ONLY),
//     since a scan counts the entry's bytes and none after it;
//   - otherwise ENTRY_HEAD_SIZE, whatever the stored size: the head of an
//     entry shorter than that runs on into the entries after it, and those
//     bytes may decide its extension, as hosts have always been shown.
// An empty entry has no head: 0.
uint32_t EntryHeadSize(int32_t storedSize, EntryLayout layout, uint32_t checkMode, bool readWhole);

// What BuildEntryRecord learnt about an entry besides its record.
struct EntryFindings {
    uint32_t contentSize;  // the content's size, as in the record's fileSize
    int contentClass;      // CLASS_*, which gave the name's extension
    bool raisesLayout;     // the entry shows six-byte heads under LAYOUT_KIND_ONLY:
                           // the caller sets the layout to LAYOUT_KIND_SIZE
};

// Fills `info` for one entry and `found` with what it learnt. Returns 1 on
// success and 0 when no record can be built (every caller then fails its
// whole call with code 3; `info` may be partly written and `found` is not).
// Changes nothing but *info and *found.
//
//   state          the layout, CheckMode and base name the entry is read by
//   numberingMode  the numbering the name is made in (its separator)
//   number         the number in the name
//   locator        the entry; kind and declaredSize hold entry bytes 0-1 and
//                  2-5 for a non-empty entry
//   head           the entry's first bytes as read (null for an empty entry);
//                  the first 36 are all a record looks at
//   headAvailable  how many bytes the head holds (a read that met the end of
//                  the file holds fewer than asked for); the rest count as zero
//   sizes          the entry's EntryStreamSizes, or null when they were not
//                  scanned: an entry that needs them then has no record
//
// The record's position is left 0: only the caller knows the slot.
int BuildEntryRecord(const PluginState* state, EntryNumbering numberingMode, int32_t number, const EntryLocator* locator,
                     const uint8_t* head, uint32_t headAvailable, const EntryStreamSizes* sizes, EntryInfo* info,
                     EntryFindings* found);

// The payload of a slot: where it begins after the slot's head and whether
// it is an LZSS stream, by the layout and the kind (entry bytes 0-1):
//   LAYOUT_RAW        no head: the payload is the whole slot, plain
//   LAYOUT_KIND_SIZE  a six-byte head: kind 1 a stream, every other kind plain
//   LAYOUT_KIND_ONLY  a two-byte head: kind 0 plain, every other kind a stream
// A slot shorter than its head has an empty payload: `start` never passes the
// stored size.
struct SlotPayload {
    uint32_t start;   // entry byte where the payload begins
    bool compressed;  // the content is the expansion of the payload
};

// The head's size under `layout`: 0, 6 or 2 bytes.
uint32_t LayoutHeadSize(EntryLayout layout);

SlotPayload SlotPayloadOf(EntryLayout layout, int16_t kind, uint32_t storedSize);

// Where an entry's content comes from under `layout`, the layout in force
// once its record was built: under LAYOUT_KIND_SIZE a kind-1 entry is the
// LZSS expansion of the bytes from 6 on and other kinds a copy of them; under LAYOUT_KIND_ONLY a kind-0 entry is a copy of the bytes from 2 on
// and other kinds their expansion; under LAYOUT_RAW the entry is its content.
// The content is fileSize bytes; stored bytes that the file does not hold
// are handed in as zeros like any others, and what the stored bytes do not
// fill is zero.
struct EntryExpansion {
    uint32_t start;     // entry byte where the payload begins
    bool compressed;
    uint32_t seen;      // entry bytes handed in so far
    uint32_t fileSize;  // the content's size
    uint32_t produced;  // content bytes so far
    LzssDecoder decoder;
};

void EntryExpandStart(EntryExpansion* x, EntryLayout layout, int16_t kind, uint32_t fileSize);

// How a call of EntryExpandSome ended.
enum ExpandStatus {
    EXPAND_NEEDS_INPUT,  // every byte of the piece was used and the content is not complete: the next piece
    EXPAND_OUTPUT_FULL,  // the room is full: call again with new room and the rest of the piece
                         // (possibly none: the rest of a reference the room cut may still come)
    EXPAND_FINISHED      // the whole content (fileSize bytes) is out; the rest of the piece is not needed
};

// Hands in the entry's next *length bytes and writes the content they give to
// output[*outPos, outputLength), never past the content's end, advancing
// *outPos; *length becomes the bytes of the piece used. output[0, *outPos)
// holds the content so far, at least its last 4,096 bytes (LzssDecodeSome's
// history). The caller zero-fills what the stored bytes leave of the content
// (they are used up with EXPAND_NEEDS_INPUT before the content is complete).
ExpandStatus EntryExpandSome(EntryExpansion* x, const uint8_t* piece, uint32_t* length, uint8_t* output,
                           uint32_t* outPos, uint32_t outputLength);

// Writes "<base><separator><number, at least 3 digits>.<extension>" into
// `out` (at most `outSize` bytes with the NUL, cut when it does not fit).
void FormatEntryName(char* out, size_t outSize, const char* baseName, EntryNumbering numberingMode, int32_t number,
                     int contentClass);

#endif
