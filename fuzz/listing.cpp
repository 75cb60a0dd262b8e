// Listing-mode validation (with layout detection) and entry records over
// arbitrary bytes, settings and layouts. Every buffer handed over is a heap
// block of exactly the size passed with it, so ASan reports any read outside.
//
// Input:
//   byte 0  bits 0-1 layout before detection, bit 2 CheckMode, bits 3-4
//           NumberingMode (mod 3), bits 5-6 layout for the record
//   byte 1-2  stored size of the entry (little-endian, 0 to 65535)
//   byte 3  bit 0 whole entry read (else a 50-byte head), bit 1 stored size =
//           the bytes that follow, bit 2 longest base name, bits 3-7 number
//   rest    the container (for validation) and the entry's head (for the record)
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/entry.h"
#include "archive/names.h"
#include "archive/state.h"

static PluginState state;  // what validation and the record run under

static const EntryLayout LAYOUTS[4] = {LAYOUT_RAW, LAYOUT_KIND_SIZE, LAYOUT_KIND_ONLY, static_cast<EntryLayout>(7)};

static void Check(bool condition)
{
    if (!condition) abort();
}

static void FuzzValidation(const uint8_t* body, size_t n, int32_t layoutBefore)
{
    uint8_t* offered = n ? new uint8_t[n] : nullptr;
    if (n) memcpy(offered, body, n);
    state.memory.entryLayout = static_cast<EntryLayout>(layoutBefore);
    int accepted = ValidateContainer(&state, offered, (int32_t)n, VALIDATE_LISTING);
    if (accepted) {
        Check(state.memory.entryLayout == LAYOUT_RAW || state.memory.entryLayout == LAYOUT_KIND_SIZE ||
              state.memory.entryLayout == LAYOUT_KIND_ONLY);
    } else {
        // A refusal changes nothing.
        Check(state.memory.entryLayout == layoutBefore);
    }
    // Probe mode never touches the layout.
    int32_t detected = state.memory.entryLayout;
    ValidateContainer(&state, offered, (int32_t)n, VALIDATE_PROBE);
    Check(state.memory.entryLayout == detected);
    delete[] offered;
}

static void FuzzRecord(const uint8_t* body, size_t n, EntryLayout layout, int32_t storedSize, bool whole, int32_t number)
{
    int32_t headLength = (int32_t)EntryHeadSize(storedSize, layout, state.settings.CheckMode, whole);
    if (whole) headLength = storedSize;  // the whole entry at hand, as a scan sees it
    size_t available = (size_t)headLength < n ? (size_t)headLength : n;
    uint8_t* head = available ? new uint8_t[available] : nullptr;
    if (available) memcpy(head, body, available);

    EntryLocator locator = {storedSize, 0, 0};
    if (storedSize) {
        locator.kind = S16At(head, available, 0);
        locator.declaredSize = S32At(head, available, 2);
    }
    EntryInfo info;
    memset(&info, 0xAB, sizeof info);
    state.memory.entryLayout = layout;
    // Read whole, the entry is scanned over its stored size, what the file
    // lacks as zeros, as the calls scan it.
    EntryStreamSizes sizes;
    if (whole && storedSize) {
        EntryScan scan;
        EntryScanStart(&scan, &locator);
        EntryScanSome(&scan, head, (uint32_t)available);
        EntryScanZeros(&scan, (uint32_t)storedSize - (uint32_t)available);
        EntryScanSizes(&scan, &sizes);
    }
    EntryFindings found;
    const EntryLocator before = locator;
    const EntryNumbering numberingMode = state.settings.NumberingMode;
    int ok = BuildEntryRecord(&state, numberingMode, number, &locator, storedSize ? head : nullptr,
                              (uint32_t)available, whole && storedSize ? &sizes : nullptr, &info, &found);
    delete[] head;

    // The builder changes nothing it is given; the only change it may ask
    // for is a raise from two-byte to six-byte heads.
    Check(state.memory.entryLayout == layout && memcmp(&before, &locator, sizeof locator) == 0);
    if (!ok) {
        Check(storedSize != 0 && (layout == LAYOUT_KIND_SIZE || layout == LAYOUT_KIND_ONLY));
        return;
    }
    Check(memcmp(info.method, "QORDAT", 7) == 0 && info.method[7] == 0xAB);
    Check(!found.raisesLayout || layout == LAYOUT_KIND_ONLY);
    Check(info.fileSize == found.contentSize && found.contentClass >= CLASS_BMP && found.contentClass <= CLASS_DMY);
    Check(info.position == 0 && info.compressedSize == (uint32_t)storedSize);
    Check(info.timestamp == 0 && info.crc == 0 && info.path[0] == '\0');
    if (storedSize == 0) Check(info.fileSize == 0);
    if (storedSize != 0 && layout != LAYOUT_KIND_SIZE && layout != LAYOUT_KIND_ONLY)
        Check(info.fileSize == (uint32_t)storedSize);
    Check(memchr(info.fileName, '\0', sizeof info.fileName) != nullptr);

    // The lookup reads the number and the numbering mode back from the name.
    char copy[ENTRY_NAME_COPY_SIZE];
    Check(CopyEntryFilePart(info.fileName, copy));
    EntryNumbering mode = static_cast<EntryNumbering>(99);
    Check(ParseEntryName(copy, &mode) == number);
    Check(mode == numberingMode);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4 || size > 0x100000) return 0;
    const uint8_t settings = data[0];
    const uint8_t read = data[3];
    const uint8_t* body = data + 4;
    const size_t n = size - 4;

    state.settings.CheckMode = (settings >> 2) & 1;
    state.settings.NumberingMode = static_cast<EntryNumbering>(((settings >> 3) & 3) % 3);
    memset(state.memory.archiveBaseName, 0, sizeof state.memory.archiveBaseName);
    if (read & 4) {
        memset(state.memory.archiveBaseName, 'n', sizeof state.memory.archiveBaseName - 1);
    } else {
        strcpy(state.memory.archiveBaseName, "data");
    }

    FuzzValidation(body, n, LAYOUTS[settings & 3]);

    int32_t storedSize = (read & 2) ? (int32_t)n : (int32_t)(data[1] | data[2] << 8);
    int32_t number = (int32_t)((read >> 3) * 263);  // 0 to 8153
    FuzzRecord(body, n, LAYOUTS[(settings >> 5) & 3], storedSize, read & 1, number);

    state = PluginState();
    return 0;
}
