// LZSS as used by QOR's DAT compressed entries.
//
// Stream format. A 4,096-byte ring, all zeros at the start, with a write
// position that starts at 4078 (0xFEE) and advances, modulo 4,096, with every
// output byte; every output byte is also stored into the ring. The stream is
// a sequence of groups: one flag byte, then up to eight tokens whose kinds are
// the flag bits from bit 0 upwards.
//
//   flag bit 0  literal: one byte, the output byte
//   flag bit 1  reference: two bytes b0 b1
//               ring position = b0 | (b1 >> 4) << 8   (absolute, 0..4095)
//               length        = (b1 & 0x0F) + 3       (3..18)
//               copied byte by byte, so a source that overlaps the bytes
//               being written repeats them
//
// There is no end marker and no stored length: the decoder stops when it has
// produced the bytes it was asked for, the scan at the end of its input.
#ifndef MORQUENT_ARCHIVE_LZSS_H
#define MORQUENT_ARCHIVE_LZSS_H

#include <stdint.h>

enum {
    LZSS_RING_SIZE = 4096,
    LZSS_RING_START = 4096 - 18,
    LZSS_MIN_MATCH = 3,
    LZSS_MAX_MATCH = 18
};

// Writes exactly `outputLength` bytes to `output`: the first outputLength
// bytes that the stream decodes to. The result depends only on the input
// bytes that those outputs need, and nothing at or past `inputLength` is ever
// read (the fast path may look a few bytes ahead inside that bound; with
// outputLength 0 nothing is read at all); a reference cut by the wanted length
// is produced only in part. When the stream ends before the output is
// complete, the rest of the output is set to zero, so the result is always
// defined. Writes nothing outside output[0, outputLength) and allocates
// nothing; input and output must not overlap.
void LzssDecode(const uint8_t* input, uint32_t inputLength, uint8_t* output, uint32_t outputLength);

// A decoder that takes its input and gives its output in pieces: where it
// stands in the stream between two calls of LzssDecodeSome. A plain record;
// LzssDecoderStart sets it up for the start of a stream.
struct LzssDecoder {
    uint32_t produced;      // output bytes so far
    uint32_t flags;         // the group's unused flag bits under a sentinel bit; 1 between groups
    uint32_t held;          // 0x100 | first byte of a reference whose second byte has not come; else 0
    uint32_t copyDistance;  // a reference cut by the end of the output room: its distance back
    uint32_t copyLeft;      //   and how many of its bytes are still to come
};

void LzssDecoderStart(LzssDecoder* decoder);

// How a call of LzssDecodeSome ended. The stream has no end mark, so the
// decoder cannot tell the end of the content: whoever knows the content's
// size stops there (EntryExpandSome, archive/entry.h).
enum LzssStatus {
    LZSS_NEEDS_INPUT,  // every byte offered was used and the room is not full: offer more
    LZSS_OUTPUT_FULL   // the room is full: call again with new room and the input not used
                       // (possibly none: the rest of a reference the room cut may still come)
};

// Decodes the next *inputLength bytes of the stream into
// output[*outPos, outputLength), advances *outPos past what it wrote and sets
// *inputLength to the bytes it used. output[0, *outPos) must hold the last
// *outPos bytes produced, at least the last 4,096 of them (all of them while
// fewer were produced): that is the history references copy from. Stops when
// the input is used up (LZSS_NEEDS_INPUT) or the room is full
// (LZSS_OUTPUT_FULL), a token cut either way being carried in *decoder. The
// stream has no end mark: a caller that has no more input and gets
// LZSS_NEEDS_INPUT has all the stream gives, and zero-fills the rest of its
// content as LzssDecode does. The output is byte for byte what LzssDecode
// gives, however the input and the output are cut. Scratch bytes may be
// written anywhere in output[*outPos, outputLength) and are overwritten
// before *outPos passes them. The decoder produces less than 4 GiB in all.
LzssStatus LzssDecodeSome(LzssDecoder* decoder, const uint8_t* input, uint32_t* inputLength, uint8_t* output,
                          uint32_t* outPos, uint32_t outputLength);

// The number of output bytes that the complete tokens among the first
// `inputLength` bytes decode to. A flag byte as the last byte, or a reference
// whose second byte lies past the end, adds nothing. Reads only flag bytes and
// the second byte of each reference; never reads at or past inputLength.
// Saturates: a count above INT32_MAX (possible from about 253 MB of input made
// of long references) is returned as INT32_MAX, never wrapped.
int32_t LzssDecodedSize(const uint8_t* input, uint32_t inputLength);

// LzssDecodedSize of a stream that comes in pieces: LzssScanStart, then
// LzssScanSome on each piece in order, then LzssScanCount gives what
// LzssDecodedSize gives on the pieces put together, however they are cut.
struct LzssScan {
    uint64_t count;  // output bytes of the complete tokens so far
    uint32_t flags;  // as in LzssDecoder
    uint32_t held;   // 1 while a reference's second byte has not come
};

void LzssScanStart(LzssScan* scan);
void LzssScanSome(LzssScan* scan, const uint8_t* input, uint32_t inputLength);
// LzssScanSome on `length` zero bytes, without reading or needing them: the
// scan of a stream whose last bytes are missing from the file and read as
// zero. Costs the same for a byte or a gigabyte.
void LzssScanZeros(LzssScan* scan, uint64_t length);
int32_t LzssScanCount(const LzssScan* scan);

#endif
