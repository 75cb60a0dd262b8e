// Content sniffing and entry records: sizes, classes and names under every
// entry-header layout and kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/bytes.h"
#include "archive/entry.h"
#include "archive/state.h"
#include "writer/lzss_encoder.h"
#include "tests/support/test_content.h"

namespace {

using namespace test_content;

// The first 40 bytes of a 1,078-byte bitmap, a 44-byte wave, a 64-byte PNG.
const Bytes kBitmap = Pad(Bitmap(1078), 40);
const Bytes kWave = Wave(44);
const Bytes kPng = Png(64);

int Sniff(const Bytes& b, int mode)
{
    Bytes exact(b);  // heap block of exactly b.size() bytes: ASan sees any overread
    return SniffContent(exact.empty() ? nullptr : exact.data(), exact.size(), mode);
}

TEST(SniffContent, ClassifiesInEachMode)
{
    const Bytes waveHeader = Cat({Str("RIFF"), Le32(36), Str("WAVEfmt")});  // exactly 15 bytes
    struct Row {
        const char* what;
        Bytes bytes;
        int mode;
        int expected;
    } rows[] = {
        {"plain BM", Str("BM"), SNIFF_PLAIN, CLASS_BMP},
        {"plain B then nothing", Str("B"), SNIFF_PLAIN, CLASS_DAT},
        {"plain RIFF WAVEfmt", waveHeader, SNIFF_PLAIN, CLASS_WAV},
        {"plain RIFF, WAVEfmt cut short", Bytes(waveHeader.begin(), waveHeader.end() - 1), SNIFF_PLAIN, CLASS_DAT},
        {"plain RIFF, no WAVEfmt", Cat({Str("RIFF"), Le32(36), Str("AVI LIST")}), SNIFF_PLAIN, CLASS_DAT},
        {"plain PNG", {0x89, 'P', 'N', 'G'}, SNIFF_PLAIN, CLASS_PNG},
        {"plain PNG cut", {0x89, 'P', 'N'}, SNIFF_PLAIN, CLASS_DAT},
        {"stream BM after flag", Str("\xFF" "BM"), SNIFF_STREAM, CLASS_BMP},
        {"stream RIFF alone is a wave", Bytes{0, 'R', 'I', 'F', 'F'}, SNIFF_STREAM, CLASS_WAV},
        {"stream PNG", {0x00, 0x89, 'P', 'N', 'G'}, SNIFF_STREAM, CLASS_PNG},
        {"stream signature at byte 0 is not seen", Str("BMxx"), SNIFF_STREAM, CLASS_DAT},
        {"stream RIFF cut", Bytes{0, 'R', 'I', 'F'}, SNIFF_STREAM, CLASS_DAT},
        {"empty mode reads nothing", Str("BM"), SNIFF_EMPTY, CLASS_DMY},
        {"empty mode without bytes", {}, SNIFF_EMPTY, CLASS_DMY},
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, Sniff(row.bytes, row.mode)) << row.what;
}

PluginState state;  // what the records are built under

class EntryRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        state = {};
        strcpy(state.memory.archiveBaseName, "data");
    }

    struct Built {
        int ok;
        EntryInfo info;
        EntryLocator locator;
        EntryFindings found;
        std::string name() const { return info.fileName; }
    };

    // Builds the record of an entry of `storedSize` bytes whose head buffer
    // holds exactly `head` (headAvailable = head.size()), read with
    // `headLength` asked for, named in state.settings.NumberingMode. kind and
    // declaredSize come from the head as the callers take them, and a raise
    // the builder asks for is applied as the callers apply it.
    static Built Build(const Bytes& head, int32_t storedSize, int32_t headLength, int32_t number = 4)
    {
        Built b;
        memset(&b.info, 0xAB, sizeof b.info);
        memset(&b.found, 0xAB, sizeof b.found);
        uint8_t* exact = head.empty() ? nullptr : new uint8_t[head.size()];
        if (exact) memcpy(exact, head.data(), head.size());
        b.locator = {storedSize, S16At(head.data(), head.size(), 0), S32At(head.data(), head.size(), 2)};
        const EntryNumbering mode = state.settings.NumberingMode;
        const uint32_t available = (uint32_t)head.size();
        if (storedSize == 0) {
            b.locator.kind = 0x7777;  // not looked at for an empty slot
            b.ok = BuildEntryRecord(&state, mode, number, &b.locator, nullptr, 0, nullptr, &b.info, &b.found);
        } else if (headLength == storedSize) {
            // Read whole: scanned over the stored size, what the head lacks as zeros.
            EntryScan scan;
            EntryStreamSizes sizes;
            EntryScanStart(&scan, &b.locator);
            EntryScanSome(&scan, exact, (uint32_t)head.size());
            EntryScanZeros(&scan, (uint32_t)storedSize - (uint32_t)head.size());
            EntryScanSizes(&scan, &sizes);
            b.ok = BuildEntryRecord(&state, mode, number, &b.locator, exact, available, &sizes, &b.info, &b.found);
        } else {
            b.ok = BuildEntryRecord(&state, mode, number, &b.locator, exact, available, nullptr, &b.info, &b.found);
        }
        delete[] exact;
        if (b.ok && b.found.raisesLayout) state.memory.entryLayout = LAYOUT_KIND_SIZE;
        return b;
    }
    // A 50-byte head read of an entry that is the last in the file.
    static Built Build50(const Bytes& entry, int32_t storedSize = -1)
    {
        Bytes head(entry.begin(), entry.begin() + std::min<size_t>(entry.size(), ENTRY_HEAD_SIZE));
        return Build(head, storedSize < 0 ? (int32_t)entry.size() : storedSize, ENTRY_HEAD_SIZE);
    }
    static Built BuildWhole(const Bytes& entry) { return Build(entry, (int32_t)entry.size(), (int32_t)entry.size()); }
};

// Every row of the size-and-class table, with heads read as the listing reads them.
TEST_F(EntryRecord, SizeAndClassByLayoutAndKind)
{
    const int other = 7;  // any layout value but 1 and 2 means no head
    struct Row {
        const char* what;
        int layout;
        Bytes entry;
        int32_t stored;  // -1: the entry's length
        uint32_t fileSize;
        const char* ext;
    } rows[] = {
        {"raw bitmap", LAYOUT_RAW, Pad(kBitmap, 300), -1, 300, "BMP"},
        {"raw wave", LAYOUT_RAW, kWave, -1, 44, "WAV"},
        {"raw RIFF without WAVEfmt", LAYOUT_RAW, Cat({Str("RIFF"), Le32(4), Str("AVI LIST")}), -1, 16, "DAT"},
        {"other layout value, bad kind", other, Pad(Head(0x55, -9), 20), -1, 20, "DAT"},
        {"kind-size 0 bitmap", LAYOUT_KIND_SIZE, Cat({Head(0, 1078), kBitmap}), 1084, 1078, "BMP"},
        {"kind-size 0 plain BM seen at byte 6 only", LAYOUT_KIND_SIZE, Cat({Head(0, 9), Str("xBM")}), -1, 9, "DAT"},
        {"kind-size 1 wave stream", LAYOUT_KIND_SIZE, Cat({Head(1, 5000), Literals(Str("RIFF"))}), 120, 5000, "WAV"},
        {"kind-size 1 png stream", LAYOUT_KIND_SIZE, Cat({Head(1, 64), Literals(kPng)}), -1, 64, "PNG"},
        {"kind-size 1 signature needs the flag byte", LAYOUT_KIND_SIZE, Cat({Head(1, 40), kBitmap}), -1, 40, "DAT"},
        {"kind-size 8: stored - 6", LAYOUT_KIND_SIZE, Pad(Cat({Head(8, 7), kBitmap}), 100), -1, 94, "BMP"},
        {"kind-only 0: stored - 2", LAYOUT_KIND_ONLY, Cat({Head(0), kWave}), -1, 44, "WAV"},
        {"kind-only 0 unknown", LAYOUT_KIND_ONLY, Pad(Head(0), 30), -1, 28, "DAT"},
        {"kind-only 1 bitmap size from its header", LAYOUT_KIND_ONLY, Cat({Head(1), Literals(kBitmap)}), 900, 1078, "BMP"},
        {"kind-only 1 wave: chunk size + 8", LAYOUT_KIND_ONLY, Cat({Head(1), Literals(kWave)}), -1, 44, "WAV"},
        {"kind-only 8: declared size, stream class at 2", LAYOUT_KIND_ONLY, Pad(Cat({Head(8), {0}, Str("BM\x01")}), 60),
         -1, 0x014D4200, "BMP"},
        {"kind-only 8 unknown", LAYOUT_KIND_ONLY, Pad(Head(8, 500), 60), -1, 500, "DAT"},
    };
    for (const Row& row : rows) {
        state.memory.entryLayout = static_cast<EntryLayout>(row.layout);
        Built b = Build50(row.entry, row.stored);
        ASSERT_EQ(1, b.ok) << row.what;
        EXPECT_EQ(row.fileSize, b.info.fileSize) << row.what;
        EXPECT_EQ(uint32_t(row.stored < 0 ? row.entry.size() : row.stored), b.info.compressedSize) << row.what;
        EXPECT_EQ(std::string("data~004.") + row.ext, b.name()) << row.what;
        EXPECT_EQ(row.layout, state.memory.entryLayout) << row.what;
    }
}

// The builder returns what it found and changes nothing else: not the
// locator, not the state (a raise is the caller's to apply).
TEST_F(EntryRecord, ReturnsWhatItFoundAndLeavesTheLocator)
{
    state.memory.entryLayout = LAYOUT_KIND_ONLY;
    const Bytes bitmap = Cat({Head(1), Literals(kBitmap)});
    Built b = Build50(bitmap);
    EXPECT_EQ(1078u, b.found.contentSize);
    EXPECT_EQ(CLASS_BMP, b.found.contentClass);
    EXPECT_FALSE(b.found.raisesLayout);
    EXPECT_EQ(S32At(bitmap.data(), bitmap.size(), 2), b.locator.declaredSize) << "the locator keeps entry bytes 2-5";
    b = Build50(Cat({Head(0), kWave}));
    EXPECT_EQ(44u, b.found.contentSize);
    EXPECT_EQ(CLASS_WAV, b.found.contentClass);

    state.settings.CheckMode = 1;
    const Bytes sixByteHead = Cat({Head(1, (int32_t)kPng.size()), LzssEncode(kPng)});
    const Bytes stored(sixByteHead);
    EntryLocator locator = {(int32_t)stored.size(), 1, (int32_t)kPng.size()};
    EntryScan scan;
    EntryStreamSizes sizes;
    EntryScanStart(&scan, &locator);
    EntryScanSome(&scan, stored.data(), (uint32_t)stored.size());
    EntryScanSizes(&scan, &sizes);
    EntryInfo info;
    EntryFindings found;
    ASSERT_EQ(1, BuildEntryRecord(&state, NUMBERING_KEEP, 9, &locator, stored.data(), (uint32_t)stored.size(), &sizes,
                                  &info, &found));
    EXPECT_TRUE(found.raisesLayout);
    EXPECT_EQ(LAYOUT_KIND_ONLY, state.memory.entryLayout) << "the builder does not raise the layout itself";
    EXPECT_EQ((uint32_t)kPng.size(), found.contentSize);
    EXPECT_STREQ("data-009.DAT", info.fileName);
}

TEST_F(EntryRecord, RefusedKindsAndDeclaredSizes)
{
    struct Row {
        const char* what;
        int layout;
        Bytes entry;
    } rows[] = {
        {"kind-size 0, declared 0", LAYOUT_KIND_SIZE, Cat({Head(0, 0), kBitmap})},
        {"kind-size 1, declared -1", LAYOUT_KIND_SIZE, Cat({Head(1, -1), Literals(kBitmap)})},
        {"kind-size 8, declared 0", LAYOUT_KIND_SIZE, Pad(Cat({Head(8, 0), kBitmap}), 100)},
        {"kind-size 8, declared INT32_MIN", LAYOUT_KIND_SIZE, Pad(Cat({Head(8, INT32_MIN), kBitmap}), 100)},
        {"kind-size kind 2", LAYOUT_KIND_SIZE, Cat({Head(2, 40), kBitmap})},
        {"kind-size kind -1", LAYOUT_KIND_SIZE, Cat({Head(-1, 40), kBitmap})},
        {"kind-size plain bitmap (kind 0x4D42)", LAYOUT_KIND_SIZE, kBitmap},
        {"kind-only kind 9", LAYOUT_KIND_ONLY, Cat({Head(9), kBitmap})},
        {"kind-only kind 0x100", LAYOUT_KIND_ONLY, Cat({Head(0x100), kBitmap})},
        {"kind-only 8, declared 0", LAYOUT_KIND_ONLY, Pad(Head(8, 0), 60)},
        {"kind-only 8, declared negative", LAYOUT_KIND_ONLY, Pad(Head(8, -500), 60)},
        {"kind-only 1 png stream, scan not allowed", LAYOUT_KIND_ONLY, Cat({Head(1), Literals(kPng)})},
        {"kind-only 1 unknown stream, scan not allowed", LAYOUT_KIND_ONLY, Pad(Head(1), 80)},
    };
    for (const Row& row : rows) {
        state.memory.entryLayout = static_cast<EntryLayout>(row.layout);
        EXPECT_EQ(0, Build50(row.entry).ok) << row.what;
        EXPECT_EQ(row.layout, state.memory.entryLayout) << row.what;
    }
}

TEST_F(EntryRecord, EmptySlotIsADummyUnderEveryLayout)
{
    for (int layout : {LAYOUT_RAW, LAYOUT_KIND_SIZE, LAYOUT_KIND_ONLY}) {
        state.memory.entryLayout = static_cast<EntryLayout>(layout);
        state.settings.CheckMode = 1;
        Built b = Build({}, 0, 0, 0);
        ASSERT_EQ(1, b.ok) << layout;
        EXPECT_EQ(0u, b.info.fileSize);
        EXPECT_EQ(0u, b.info.compressedSize);
        EXPECT_EQ(0u, b.info.position);
        EXPECT_EQ("data~000.DMY", b.name());
    }
}

// A kind-1 entry under the two-byte-head layout whose content does not
// announce its size: sized by a scan of the whole entry when allowed.
TEST_F(EntryRecord, KindOnlyStreamOfUnknownContentIsScannedWhenAllowed)
{
    const Bytes content = Pad(Str("no signature here, but it repeats repeats repeats"), 300);
    const Bytes stream = LzssEncode(content);
    ASSERT_LT(stream.size(), content.size());  // references as well as literals

    // A real two-byte head: the scan from byte 6 does not meet bytes 2-5.
    const Bytes twoByteHead = Cat({Head(1), stream});
    state.memory.entryLayout = LAYOUT_KIND_ONLY;
    EXPECT_EQ(0, BuildWhole(twoByteHead).ok) << "CheckMode off";
    state.settings.CheckMode = 1;
    EXPECT_EQ(0, Build50(twoByteHead).ok) << "only 50 bytes at hand";
    Built b = BuildWhole(twoByteHead);
    ASSERT_EQ(1, b.ok);
    EXPECT_EQ(300u, b.info.fileSize);
    EXPECT_EQ("data~004.DAT", b.name());
    EXPECT_EQ(LAYOUT_KIND_ONLY, state.memory.entryLayout);

    // A six-byte head with a compressed PNG behind it: the stream from byte 6
    // decodes to exactly the declared size, so the archive has six-byte heads.
    const Bytes sixByteHead = Cat({Head(1, (int32_t)kPng.size()), LzssEncode(kPng)});
    state.settings.CheckMode = 0;
    EXPECT_EQ(0, BuildWhole(sixByteHead).ok);
    EXPECT_EQ(LAYOUT_KIND_ONLY, state.memory.entryLayout);
    state.settings.CheckMode = 1;
    b = BuildWhole(sixByteHead);
    ASSERT_EQ(1, b.ok);
    EXPECT_EQ(LAYOUT_KIND_SIZE, state.memory.entryLayout);
    EXPECT_EQ(64u, b.info.fileSize);
    // Named from the stream at byte 2, where the declared size's upper bytes stand.
    EXPECT_EQ("data~004.DAT", b.name());
    // From here on the same entry is a plain six-byte-head record.
    b = Build50(sixByteHead);
    ASSERT_EQ(1, b.ok);
    EXPECT_EQ(64u, b.info.fileSize);
    EXPECT_EQ("data~004.PNG", b.name());
}

// Entries shorter than their head, and heads cut by the end of the file:
// sizes clamp at 0, scans never run over a negative length or past the
// bytes really there, and missing head bytes read as zero.
TEST_F(EntryRecord, ShortEntriesAndCutHeads)
{
    const Bytes next(50, 0x77);  // the bytes of the entries that follow
    struct Row {
        const char* what;
        int layout;
        uint32_t check;
        Bytes head;  // exactly what the buffer holds
        int32_t stored;
        int32_t headLength;
        uint32_t fileSize;
        const char* ext;
    } rows[] = {
        {"kind-size 8, stored 4", LAYOUT_KIND_SIZE, 0, Cat({Head(8, 5), next}), 4, 50, 0, "DAT"},
        {"kind-size 8, stored 6", LAYOUT_KIND_SIZE, 0, Cat({Head(8, 5), next}), 6, 50, 0, "DAT"},
        {"kind-only 0, stored 1", LAYOUT_KIND_ONLY, 0, Cat({Head(0), next}), 1, 50, 0, "DAT"},
        {"kind-only 0, stored 2", LAYOUT_KIND_ONLY, 0, Cat({Head(0), Str("BM"), next}), 2, 50, 0, "BMP"},
        {"kind-only 1 whole, stored 1: nothing to scan", LAYOUT_KIND_ONLY, 1, {1}, 1, 1, 0, "DAT"},
        {"kind-only 1 whole, stored 2", LAYOUT_KIND_ONLY, 1, Head(1), 2, 2, 0, "DAT"},
        {"kind-only 1 whole, stored 4: only the scan from 2", LAYOUT_KIND_ONLY, 1, {1, 0, 0, 'x'}, 4, 4, 1, "DAT"},
        {"kind-only 1 whole, stored 6, declared 0: no raise", LAYOUT_KIND_ONLY, 1, Head(1, 0), 6, 6, 3, "DAT"},
        // Nine bytes of stream, 89 missing: eight literals, then nine groups
        // of a zero flag and eight zeros, then a zero flag and seven zeros.
        {"kind-only 1 whole, cut by the end of the file", LAYOUT_KIND_ONLY, 1,
         Cat({Head(1), Literals(Str("xxxxxxxx"))}), 100, 100, 8 + 72 + 7, "DAT"},
        {"kind-only 1 bitmap stream cut after the size's low bytes", LAYOUT_KIND_ONLY, 0,
         Cat({Head(1), {0, 'B', 'M', 0x36, 0x04}}), 100, 50, 1078, "BMP"},
        {"kind-only 1 wave stream cut inside its chunk size", LAYOUT_KIND_ONLY, 0,
         Cat({Head(1), {0, 'R', 'I', 'F', 'F', 36}}), 100, 50, 44, "WAV"},
        {"kind-size 0, cut inside the declared size", LAYOUT_KIND_SIZE, 0, {0, 0, 5}, 100, 50, 5, "DAT"},
        {"kind-size 0, cut inside the bitmap signature", LAYOUT_KIND_SIZE, 0, Cat({Head(0, 9), Str("B")}), 100, 50, 9,
         "DAT"},
        {"raw, nothing read", LAYOUT_RAW, 0, {}, 10, 50, 10, "DAT"},
    };
    for (const Row& row : rows) {
        state.memory.entryLayout = static_cast<EntryLayout>(row.layout);
        state.settings.CheckMode = row.check;
        Built b = Build(row.head, row.stored, row.headLength);
        ASSERT_EQ(1, b.ok) << row.what;
        EXPECT_EQ(row.fileSize, b.info.fileSize) << row.what;
        EXPECT_EQ(std::string("data~004.") + row.ext, b.name()) << row.what;
        EXPECT_EQ(row.layout, state.memory.entryLayout) << row.what;
    }
}

// Extraction: the payload after the layout's head is copied or expanded by
// kind, never past the content size, and what it does not fill is zero. Every
// output is an exactly-sized heap block pre-filled with 0xCD, so ASan reports
// a write past fileSize and a byte left unwritten shows.
using Expansion = EntryRecord;
TEST_F(Expansion, CopyOrExpandByLayoutAndKindBoundedByTheContentSize)
{
    const Bytes content = Str("content!");
    const Bytes stream = Literals(content);  // 9 bytes that decode to `content`
    const Bytes zeros4(4, 0);
    struct Row {
        const char* what;
        int layout;
        Bytes entry;
        uint32_t fileSize;
        Bytes expected;
    } rows[] = {
        {"raw: the entry itself", LAYOUT_RAW, content, 8, content},
        {"kind-size 0: copy from 6", LAYOUT_KIND_SIZE, Cat({Head(0, 8), content}), 8, content},
        {"kind-size 8: copy from 6", LAYOUT_KIND_SIZE, Cat({Head(8, 99), content}), 8, content},
        {"kind-size 1: expansion from 6", LAYOUT_KIND_SIZE, Cat({Head(1, 8), stream}), 8, content},
        {"kind-only 0: copy from 2", LAYOUT_KIND_ONLY, Cat({Head(0), content}), 8, content},
        {"kind-only 1: expansion from 2", LAYOUT_KIND_ONLY, Cat({Head(1), stream}), 8, content},
        {"kind-only 8: expansion from 2", LAYOUT_KIND_ONLY, Cat({Head(8), stream}), 8, content},
        {"raw copy cut at the content size", LAYOUT_RAW, content, 3, Str("con")},
        {"kind-size copy cut at the content size", LAYOUT_KIND_SIZE, Cat({Head(0, 5), content}), 5, Str("conte")},
        {"kind-only copy cut at the content size", LAYOUT_KIND_ONLY, Cat({Head(0), content}), 1, Str("c")},
        {"expansion cut at the content size", LAYOUT_KIND_ONLY, Cat({Head(1), stream}), 2, Str("co")},
        {"copy short of the content size", LAYOUT_KIND_SIZE, Cat({Head(0, 12), content}), 12, Cat({content, zeros4})},
        {"expansion short of the content size", LAYOUT_KIND_ONLY, Cat({Head(1), stream}), 12, Cat({content, zeros4})},
        {"entry shorter than its head", LAYOUT_KIND_SIZE, {0, 0, 4}, 4, zeros4},
    };
    for (const Row& row : rows) {
        const Bytes entry(row.entry);
        Bytes out(row.fileSize, 0xCD);
        EntryExpansion x;
        EntryExpandStart(&x, static_cast<EntryLayout>(row.layout), S16At(entry.data(), entry.size(), 0), row.fileSize);
        uint32_t pos = 0, used = (uint32_t)entry.size();
        ExpandStatus status = EntryExpandSome(&x, entry.data(), &used, out.data(), &pos, row.fileSize);
        // Finished exactly when the entry fills the content; the caller zeroes the rest.
        EXPECT_EQ(status == EXPAND_FINISHED, pos == row.fileSize) << row.what;
        std::fill(out.begin() + pos, out.end(), 0);
        EXPECT_EQ(row.expected, out) << row.what;
    }
}

// What stopped a call is what its status says: the piece used up (every
// byte of it used), the room full, or the content complete. The decoder
// alone cannot know the content's end; the expansion stops there.
TEST_F(Expansion, StatusSaysWhatStoppedTheCall)
{
    const Bytes content = Str("content!");
    const Bytes entry = Cat({Head(1), Literals(content)});  // kind-only head, then a flag byte and 8 literals
    struct Row {
        const char* what;
        bool decoderAlone;  // LzssDecodeSome on the stream; else EntryExpandSome on the entry
        uint32_t offered;   // bytes handed in
        uint32_t room;
        uint32_t fileSize;  // the expansion's content size
        int status;         // LzssStatus or ExpandStatus
        uint32_t used, produced;
    } rows[] = {
        {"decoder: input used up", true, 4, 100, 0, LZSS_NEEDS_INPUT, 4, 3},
        {"decoder: all of it, room to spare", true, 9, 100, 0, LZSS_NEEDS_INPUT, 9, 8},
        {"decoder: room full", true, 9, 5, 0, LZSS_OUTPUT_FULL, 6, 5},
        {"decoder: room full with the last byte", true, 9, 8, 0, LZSS_OUTPUT_FULL, 9, 8},
        {"expansion: piece used up inside the head", false, 1, 100, 8, EXPAND_NEEDS_INPUT, 1, 0},
        {"expansion: piece used up", false, 6, 100, 8, EXPAND_NEEDS_INPUT, 6, 3},
        {"expansion: room full", false, 11, 5, 8, EXPAND_OUTPUT_FULL, 8, 5},
        {"expansion: content complete", false, 11, 100, 8, EXPAND_FINISHED, 11, 8},
        {"expansion: content complete as the room fills", false, 11, 8, 8, EXPAND_FINISHED, 11, 8},
        {"expansion: complete before the piece ends", false, 11, 100, 3, EXPAND_FINISHED, 6, 3},
        {"expansion: stream used up short of the content", false, 11, 100, 12, EXPAND_NEEDS_INPUT, 11, 8},
    };
    for (const Row& row : rows) {
        Bytes out(row.room, 0xCD);
        uint32_t used = row.offered, pos = 0;
        int status;
        if (row.decoderAlone) {
            LzssDecoder decoder;
            LzssDecoderStart(&decoder);
            Bytes piece(entry.begin() + 2, entry.begin() + 2 + row.offered);
            status = LzssDecodeSome(&decoder, piece.data(), &used, out.data(), &pos, row.room);
        } else {
            EntryExpansion x;
            EntryExpandStart(&x, LAYOUT_KIND_ONLY, 1, row.fileSize);
            Bytes piece(entry.begin(), entry.begin() + row.offered);
            status = EntryExpandSome(&x, piece.data(), &used, out.data(), &pos, row.room);
        }
        EXPECT_EQ(row.status, status) << row.what;
        EXPECT_EQ(row.used, used) << row.what;
        EXPECT_EQ(row.produced, pos) << row.what;
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + pos, content.begin())) << row.what;
    }
}

TEST_F(EntryRecord, NamesAndFixedFields)
{
    struct Row {
        uint32_t mode;
        int32_t number;
        Bytes entry;
        const char* name;
    } rows[] = {
        {NUMBERING_WITH_DUMMIES, 4, kBitmap, "data~004.BMP"},
        {NUMBERING_PACKED, 1234, Str("plain data"), "data_1234.DAT"},
        {NUMBERING_KEEP, 7, kWave, "data-007.WAV"},
        {NUMBERING_WITH_DUMMIES, 0, {}, "data~000.DMY"},
        {NUMBERING_KEEP, 8191, kPng, "data-8191.PNG"},
    };
    for (const Row& row : rows) {
        state.settings.NumberingMode = static_cast<EntryNumbering>(row.mode);
        Built b = Build(row.entry, (int32_t)row.entry.size(), 50, row.number);
        ASSERT_EQ(1, b.ok) << row.name;
        EXPECT_EQ(row.name, b.name());
        EXPECT_EQ(0, memcmp(b.info.method, "QORDAT", 7)) << row.name;
        EXPECT_EQ(0xAB, b.info.method[7]) << "byte 7 of method is not written";
        EXPECT_EQ(0u, b.info.position) << "the caller's to set";
        EXPECT_EQ(0u, b.info.timestamp);
        EXPECT_EQ(0u, b.info.crc);
        EXPECT_EQ('\0', b.info.path[0]);
        EXPECT_EQ(char(0xAB), b.info.path[1]) << "only the path's NUL is written";
    }
}

}  // namespace
