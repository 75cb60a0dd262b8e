#include "archive/detect.h"

#include "archive/bytes.h"
#include "archive/entry.h"
#include "archive/state.h"

static int IsMediaClass(int cls) { return cls == CLASS_BMP || cls == CLASS_WAV || cls == CLASS_PNG; }

// A compressed first entry: a bitmap or wave stream after a six-byte head
// whose own size field matches the declared size proves LAYOUT_KIND_SIZE.
static EntryLayout DetectCompressed(uint32_t checkMode, const uint8_t* bytes, uint32_t length, uint32_t h,
                                 int32_t declared)
{
    int cls = SniffContentAt(bytes, length, h + 6, SNIFF_STREAM);
    if (cls == CLASS_BMP || cls == CLASS_WAV) {
        uint8_t decoded[16];
        DecodeStreamHead(bytes, length, h + 6, decoded);
        if (AnnouncedContentSize(cls, decoded) == (uint32_t)declared) return LAYOUT_KIND_SIZE;
    }
    if (IsMediaClass(SniffContentAt(bytes, length, h + 2, SNIFF_STREAM))) return LAYOUT_KIND_ONLY;
    // Unknown content after a two-byte head can only be sized by a full
    // scan, which the setting has to allow.
    return checkMode ? LAYOUT_KIND_ONLY : LAYOUT_REFUSED;
}

EntryLayout DetectEntryLayout(uint32_t checkMode, const uint8_t* bytes, int32_t length, int32_t count)
{
    if (length < 0 || (int64_t)length < 4 * (int64_t)count + 16) return LAYOUT_REFUSED;
    uint32_t n = (uint32_t)length;
    uint32_t h = 4 + 4 * (uint32_t)count;  // head of the first non-empty entry

    int16_t kind = S16At(bytes, n, h);
    int32_t declared = S32At(bytes, n, h + 2);

    if (kind == 0 || kind == 8) {
        // Plain payload: media content at byte 6 or at byte 2 tells which head.
        if (IsMediaClass(SniffContentAt(bytes, n, h + 6, SNIFF_PLAIN))) return LAYOUT_KIND_SIZE;
        if (IsMediaClass(SniffContentAt(bytes, n, h + 2, SNIFF_PLAIN))) return LAYOUT_KIND_ONLY;
        return LAYOUT_KIND_SIZE;
    }
    if (kind == 1) return DetectCompressed(checkMode, bytes, n, h, declared);
    // Any other kind: the entry has no head. (Plain bitmaps, waves and PNGs
    // begin 42 4D, 52 49 and 89 50, which read as kinds 0x4D42, 0x4952, 0x5089.)
    return LAYOUT_RAW;
}
