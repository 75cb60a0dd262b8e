// Whole archives, generated from a recipe, through the sequence of calls the
// plug-in makes on them: the probe, the listing under every numbering mode
// and both CheckMode values, the lookup of every listed name and the
// extraction of every listed entry. The archive code is driven the way
// plugin/archive_file.cpp, listing.cpp, lookup.cpp and extract.cpp drive it,
// with one difference: every buffer handed over is a heap block of exactly
// the bytes the file delivers, so ASan reports a read past them (the DLL's
// read window would hide one).
//
// The input is a recipe, read with FuzzedDataProvider:
//   - the layout the archive is written with, and the archive's path;
//   - up to MAX_ENTRIES slots: empty, plain, compressed (tools/lzss_encoder.h)
//     or given outright as stored bytes, with content that is a bitmap, a
//     wave, a PNG, a RIFF that is no wave, or other bytes (repeated, zeros,
//     noise), whose size fields are true, 0, huge or off; heads whose kind
//     (0, 1, 8, others), declared size (0, negative, huge, off) or stored size
//     may be damaged;
//   - damage to the whole file: a count out of range or off, a cut inside the
//     count, the table, a head or a stream, or trailing bytes.
// Besides the sanitizers, the invariants below are checked, and an archive
// whose table is intact gives back, under the layout it was written with,
// exactly the content that went into it.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/entry.h"
#include "archive/names.h"
#include "archive/state.h"
#include "fuzz/check.h"
#include "tools/archive_writer.h"
#include "tools/lzss_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum {
    MAX_ENTRIES = 40,
    MAX_CONTENT = 6000,          // long enough for references across the 4,096-byte ring
    CONTENT_BUDGET = 12 * 1024,  // all contents together: encoding them is most of a run's time
    PROBE_SIZE = 2048,
    // Extraction expands an entry into a block of exactly fileSize bytes. A
    // declared or announced size can be anything up to 4 GiB; past this cap
    // only the first EXPAND_CAP bytes are expanded (ExpandEntry asked for
    // fewer bytes writes a prefix of the same output, through the same code:
    // the decoder's fast path and ring arithmetic are all reached well below
    // 256 KiB), so that one run stays around a millisecond.
    EXPAND_CAP = 256 * 1024,
    // Lookups and extractions visit the first VISIT_HEAD slots and the last
    // VISIT_TAIL (a count of 8191 would otherwise cost seconds per run); the
    // listing always builds every slot.
    VISIT_HEAD = 48,
    VISIT_TAIL = 8
};

// A heap block of exactly `n` bytes (for n = 0 a block that every access
// overruns).
struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    uint8_t* data() const { return bytes.get(); }
};

Block CopyOf(const uint8_t* from, size_t n)
{
    Block b;
    b.bytes.reset(new uint8_t[n]);
    b.size = (uint32_t)n;
    if (n) memcpy(b.bytes.get(), from, n);
    return b;
}

// ---------------------------------------------------------------------------
// The recipe

struct Slot {
    qordat::Entry entry;  // with storedBytes set to `stored`
    Bytes content;        // what went in (plain and compressed slots)
    Bytes stored;         // the entry's bytes as written, head included
    bool generated;       // plain or compressed from `content`, kind and declared size as a correct archive has them
};

struct Recipe {
    qordat::Layout layout = qordat::Layout::Raw;
    const char* path = "";
    std::vector<Slot> slots;
    qordat::Options options;
    Bytes trailing;
    bool tableIntact = true;  // count and every stored size as written, nothing cut
};

const char* const PATHS[] = {
    "C:\\Games\\Qor\\SCENE.DAT",
    "data",
    "D:\\a.b\\x~y-z_w.dat",  // separators inside the base name
    "C:\\dir\\"
    "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
    "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
    ".DAT",  // base name cut to 189 bytes
    "C:\\Games\\Qor\\scene.bmp",  // refused by the probe: the last base name stays
};

void PutU32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        if (at + i < b.size()) b[at + i] = (uint8_t)(v >> (8 * i));
    }
}

void PutText(Bytes& b, size_t at, const char* text)
{
    for (size_t i = 0; text[i] && at + i < b.size(); i++) b[at + i] = (uint8_t)text[i];
}

// A size field: the true value, or one of the values damaged files carry.
uint32_t SizeField(FuzzedDataProvider& in, uint32_t truth)
{
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 1: return 0;
    case 2: return 0x7FFFFFFF;
    case 3: return 0xFFFFFFFF;
    case 4: return truth + (uint32_t)in.ConsumeIntegralInRange<int32_t>(-3, 3);
    case 5: return in.ConsumeIntegral<uint32_t>();
    default: return truth;
    }
}

Bytes MakeContent(FuzzedDataProvider& in, size_t* budget)
{
    const uint8_t shape = in.ConsumeIntegral<uint8_t>();
    size_t length = (shape & 0x80) ? in.ConsumeIntegralInRange<size_t>(0, MAX_CONTENT)
                                   : in.ConsumeIntegralInRange<size_t>(0, 96);
    length = std::min(length, *budget);
    *budget -= length;
    const Bytes seed = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 32));

    Bytes content(length, 0);
    uint32_t noise = 0x9E3779B9u;
    for (uint8_t b : seed) noise = noise * 31 + b;
    for (size_t i = 0; i < length; i++) {
        switch ((shape >> 4) & 3) {
        case 0: content[i] = seed.empty() ? (uint8_t)(i * 7) : seed[i % seed.size()]; break;
        case 1: break;  // zeros: long references into the ring's initial zeros
        case 2: content[i] = i < seed.size() ? seed[i] : 0; break;
        default:
            noise = noise * 1664525u + 1013904223u;  // incompressible
            content[i] = (uint8_t)(noise >> 24);
            break;
        }
    }

    switch (shape & 7) {
    case 0:  // bitmap: total size at 2, pixel offset at 10
        PutText(content, 0, "BM");
        PutU32(content, 2, SizeField(in, (uint32_t)length));
        PutU32(content, 6, 0);
        PutU32(content, 10, 54);
        break;
    case 1:  // wave: RIFF chunk size (total - 8) at 4
        PutText(content, 0, "RIFF");
        PutU32(content, 4, SizeField(in, (uint32_t)length - 8));
        PutText(content, 8, "WAVEfmt ");
        PutU32(content, 16, 16);
        break;
    case 2: {
        static const uint8_t PNG[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
        for (size_t i = 0; i < 8 && i < length; i++) content[i] = PNG[i];
        break;
    }
    case 3:  // a RIFF that is not a wave
        PutText(content, 0, "RIFF");
        PutU32(content, 4, SizeField(in, (uint32_t)length - 8));
        PutText(content, 8, "AVI LIST");
        break;
    default: break;  // other content
    }
    return content;
}

int16_t KindField(FuzzedDataProvider& in)
{
    static const int16_t KINDS[] = {0, 1, 8, -1, 2, 0x4D42, 0x7FFF, 9};
    int choice = in.ConsumeIntegralInRange<int>(0, 8);
    return choice < 8 ? KINDS[choice] : in.ConsumeIntegral<int16_t>();
}

int32_t DamagedSize(FuzzedDataProvider& in, int32_t truth)
{
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return 0;
    case 1: return -1;
    case 2: return INT32_MIN;
    case 3: return INT32_MAX;
    case 4: return 0x40000000;
    case 5: return truth + in.ConsumeIntegralInRange<int32_t>(-4, 4);
    default: return in.ConsumeIntegral<int32_t>();
    }
}

// qordat::StoredBytes, with the streams of recent contents kept: mutations
// of a recipe mostly leave its contents alone, and encoding (whose set-up
// alone clears a few hundred KiB) would otherwise be half of every run.
Bytes CachedStoredBytes(const qordat::Entry& entry, qordat::Layout layout)
{
    if (!entry.compress || entry.empty || entry.storedBytes) return qordat::StoredBytes(entry, layout);
    static std::map<Bytes, Bytes> streams;
    auto found = streams.find(entry.content);
    if (found == streams.end()) {
        if (streams.size() >= 512) streams.clear();
        found = streams.emplace(entry.content, LzssEncode(entry.content)).first;
    }
    // The same entry stored plain with the stream as its content: the writer
    // puts the head a compressed entry gets in front of it.
    qordat::Entry plain = entry;
    plain.compress = false;
    plain.content = found->second;
    plain.kind = entry.kind.value_or(1);
    plain.declaredSize = entry.declaredSize.value_or((int32_t)entry.content.size());
    return qordat::StoredBytes(plain, layout);
}

Slot MakeSlot(FuzzedDataProvider& in, qordat::Layout layout, size_t* budget)
{
    Slot slot;
    slot.generated = false;
    const uint8_t what = in.ConsumeIntegral<uint8_t>();
    switch (what % 8) {
    case 0: slot.entry = qordat::Empty(); break;
    case 7: slot.entry = qordat::Stored(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 80))); break;
    default:
        slot.content = MakeContent(in, budget);
        slot.entry = what % 8 < 4 ? qordat::Plain(slot.content) : qordat::Compressed(slot.content);
        slot.generated = true;
        break;
    }
    // Damage to the head and the table entry, only when the top three bits
    // ask for it (a recipe that runs out asks for none).
    const uint8_t damage = in.ConsumeIntegral<uint8_t>();
    if ((damage & 0xE0) == 0xE0 && !slot.entry.empty) {
        if (damage & 1) slot.entry.kind = KindField(in);
        if (damage & 2) slot.entry.declaredSize = DamagedSize(in, (int32_t)slot.content.size());
        if (damage & 3) slot.generated = false;
    }
    slot.stored = CachedStoredBytes(slot.entry, layout);
    slot.entry.storedBytes = slot.stored;  // BuildArchive writes these as they are
    if ((damage & 0xE0) == 0xE0 && (damage & 4)) slot.entry.storedSize = DamagedSize(in, (int32_t)slot.stored.size());
    return slot;
}

void MakeRecipe(FuzzedDataProvider& in, Recipe* r)
{
    static const qordat::Layout LAYOUTS[3] = {qordat::Layout::Raw, qordat::Layout::KindSize, qordat::Layout::KindOnly};
    r->layout = LAYOUTS[in.ConsumeIntegralInRange<int>(0, 2)];
    r->path = PATHS[in.ConsumeIntegralInRange<size_t>(0, sizeof PATHS / sizeof PATHS[0] - 1)];
    size_t n = in.ConsumeIntegralInRange<size_t>(1, MAX_ENTRIES);
    size_t budget = CONTENT_BUDGET;
    for (size_t i = 0; i < n && in.remaining_bytes() > 0; i++) r->slots.push_back(MakeSlot(in, r->layout, &budget));
    r->options.layout = r->layout;
    for (const Slot& s : r->slots) {
        if (s.entry.storedSize && *s.entry.storedSize != (int32_t)s.stored.size()) r->tableIntact = false;
    }

    const int32_t count = (int32_t)r->slots.size();
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 6: r->options.count = 0; break;
    case 7: r->options.count = -1; break;
    case 8: r->options.count = MAX_ENTRY_COUNT; break;
    case 9: r->options.count = MAX_ENTRY_COUNT + 1; break;
    case 10: r->options.count = 0x00010001; break;
    case 11: r->options.count = INT32_MIN; break;
    case 12: r->options.count = INT32_MAX; break;
    case 13: r->options.count = count + in.ConsumeIntegralInRange<int32_t>(-3, 3); break;
    case 14: r->options.count = in.ConsumeIntegral<int32_t>(); break;
    default: break;
    }
    if (r->options.count && *r->options.count != count) r->tableIntact = false;

    // Where the entries begin in the file as written.
    std::vector<size_t> starts;
    size_t at = 4 + 4 * r->slots.size();
    for (const Slot& s : r->slots) {
        starts.push_back(at);
        at += s.stored.size();
    }
    const size_t fileSize = at;
    const size_t k = r->slots.empty() ? 0 : in.ConsumeIntegralInRange<size_t>(0, r->slots.size() - 1);
    const size_t kStart = r->slots.empty() ? 4 : starts[k];
    const size_t kSize = r->slots.empty() ? 0 : r->slots[k].stored.size();
    std::optional<size_t> cut;
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
    case 6: cut = in.ConsumeIntegralInRange<size_t>(0, 3); break;                          // inside the count
    case 7: cut = in.ConsumeIntegralInRange<size_t>(4, std::max<size_t>(4, 3 + 4 * r->slots.size())); break;  // inside the table
    case 8: cut = kStart + in.ConsumeIntegralInRange<size_t>(0, 5); break;                 // inside a head
    case 9: cut = kStart + in.ConsumeIntegralInRange<size_t>(0, kSize ? kSize - 1 : 0); break;  // inside an entry
    case 10: cut = in.ConsumeIntegralInRange<size_t>(0, fileSize); break;
    case 11: cut = fileSize ? fileSize - 1 : 0; break;
    default: r->trailing = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 40)); break;
    }
    if (cut && *cut < fileSize) {
        r->options.truncate = cut;
        r->tableIntact = false;
    }
}

// ---------------------------------------------------------------------------
// The plug-in's reading of a file, over an exact copy of what it delivers

struct File {
    const Bytes& bytes;
};

// Bytes the file holds from `position` on, at most `asked`.
uint32_t AvailableAt(const File& f, int64_t position, uint32_t asked)
{
    if (position < 0 || position >= (int64_t)f.bytes.size()) return 0;
    int64_t remaining = (int64_t)f.bytes.size() - position;
    return remaining < (int64_t)asked ? (uint32_t)remaining : asked;
}

// A read of `asked` bytes at `position`: exactly the bytes the file holds.
Block ReadHead(const File& f, int64_t position, uint32_t asked)
{
    uint32_t n = AvailableAt(f, position, asked);
    return CopyOf(n ? f.bytes.data() + position : nullptr, n);
}

// The count, and the table: 4 x count + 32 bytes, zero where the file ended.
struct Table {
    Block bytes;
    int32_t count = 0;
};

int32_t StoredSizeAt(const Table& t, int32_t index) { return ReadS32(t.bytes.data() + 4 + 4 * index); }

int64_t EntryOffset(const Table& t, int32_t index)
{
    int64_t offset = 4 + 4 * (int64_t)t.count;
    for (int32_t i = 0; i < index; i++) offset += StoredSizeAt(t, i);
    return offset;
}

// Reads and validates the count and the table in `mode`; false when the
// plug-in answers "not an archive".
bool OpenTable(const File& f, int mode, Table* t)
{
    Block countBytes = ReadHead(f, 0, 4);
    t->count = countBytes.size == 4 ? ContainerCount(countBytes.data()) : 0;
    if (t->count == 0) return false;
    CHECK(t->count >= 1 && t->count <= MAX_ENTRY_COUNT);
    const uint32_t length = 4 * (uint32_t)t->count + 32;
    t->bytes.bytes.reset(new uint8_t[length]);
    t->bytes.size = length;
    memset(t->bytes.data(), 0, length);
    uint32_t n = AvailableAt(f, 0, length);
    if (n) memcpy(t->bytes.data(), f.bytes.data(), n);
    return ValidateContainer(t->bytes.data(), (int32_t)length, mode) != 0;
}

void FillLocator(EntryLocator* locator, int64_t offset, int32_t storedSize, const Block& head)
{
    locator->offset = storedSize ? (int32_t)(uint32_t)offset : 0;
    locator->storedSize = storedSize;
    if (storedSize == 0) return;
    locator->kind = S16At(head.data(), head.size, 0);
    locator->declaredSize = S32At(head.data(), head.size, 2);
}

int32_t HeadReadSize(int32_t storedSize)
{
    return (CheckMode != 0 && entryLayout == LAYOUT_KIND_ONLY) ? storedSize : 50;
}

// The only change a record build may make to the layout: a raise from
// two-byte to six-byte heads, which takes a full scan, so CheckMode on.
void CheckLayoutChange(int32_t before)
{
    CHECK(entryLayout == before ||
          (before == LAYOUT_KIND_ONLY && entryLayout == LAYOUT_KIND_SIZE && CheckMode == 1));
}

// The record BuildEntryInfo filled (before the caller sets its position).
void CheckRecord(const EntryInfo& info, const EntryLocator& locator, int32_t number, int32_t layoutBefore)
{
    CHECK(memcmp(info.method, "QORDAT", 7) == 0 && info.method[7] == 0xAB);
    CHECK(info.position == (uint32_t)locator.offset);
    CHECK(info.compressedSize == (uint32_t)locator.storedSize);
    CHECK(info.timestamp == 0 && info.crc == 0 && info.path[0] == '\0');
    const char* nul = (const char*)memchr(info.fileName, '\0', sizeof info.fileName);
    CHECK(nul != nullptr);
    const size_t length = (size_t)(nul - info.fileName);
    const size_t baseLength = strlen(archiveBaseName);
    CHECK(length > baseLength + 4 && memcmp(info.fileName, archiveBaseName, baseLength) == 0);
    CHECK(info.fileName[length - 4] == '.');
    const bool dummy = strcmp(nul - 3, "DMY") == 0;
    CHECK(dummy == (locator.storedSize == 0));
    if (locator.storedSize == 0) CHECK(info.fileSize == 0);
    if (locator.storedSize != 0 && layoutBefore != LAYOUT_KIND_SIZE && layoutBefore != LAYOUT_KIND_ONLY)
        CHECK(info.fileSize == (uint32_t)locator.storedSize);

    // The lookup reads the number and the numbering mode back from the name.
    char copy[ENTRY_NAME_COPY_SIZE];
    CHECK(CopyEntryFilePart(info.fileName, copy));
    uint32_t mode = 99;
    CHECK(ParseEntryName(copy, &mode) == number);
    CHECK(mode == NumberingMode);
}

// A build may fail only for a non-empty entry under a layout with a head.
void CheckRefusal(const EntryLocator& locator, int32_t layoutBefore)
{
    CHECK(locator.storedSize != 0 && (layoutBefore == LAYOUT_KIND_SIZE || layoutBefore == LAYOUT_KIND_ONLY));
}

struct Listed {
    EntryInfo info;
    int32_t slot;
    int32_t layout;  // in force when its head was read and its record built
};

struct Listing {
    int result = 2;
    int32_t detected = LAYOUT_RAW;  // the layout the first pass read heads with
    std::vector<Listed> records;
};

// GetArchiveInfo: listing-mode validation, then the locating pass and the
// building pass.
Listing List(const File& f)
{
    Listing listing;
    const int32_t previousLayout = entryLayout;
    Table t;
    const bool accepted = OpenTable(f, VALIDATE_LISTING, &t);
    if (!accepted) {
        // Untouched, or left by a compressed first entry that was refused.
        CHECK(entryLayout == previousLayout || entryLayout == LAYOUT_KIND_ONLY);
        entryLayout = previousLayout;
        return listing;
    }
    CHECK(entryLayout == LAYOUT_RAW || entryLayout == LAYOUT_KIND_SIZE || entryLayout == LAYOUT_KIND_ONLY);
    // Heads are told apart by the kind of the first non-empty entry, the
    // bytes right after the table.
    const int16_t firstKind = S16At(t.bytes.data(), t.bytes.size, 4 + 4 * (uint32_t)t.count);
    CHECK((entryLayout == LAYOUT_RAW) == (firstKind != 0 && firstKind != 1 && firstKind != 8));
    listing.detected = entryLayout;

    std::vector<EntryLocator> locators((size_t)t.count);
    int64_t offset = 4 + 4 * (int64_t)t.count;
    int32_t nonEmpty = 0;
    for (int32_t i = 0; i < t.count; i++) {
        const int32_t storedSize = StoredSizeAt(t, i);
        CHECK(storedSize >= 0);
        Block head;
        if (storedSize != 0) {
            uint32_t asked = (uint32_t)HeadReadSize(storedSize);
            head = ReadHead(f, offset, std::min<uint32_t>(asked, 6));
            nonEmpty++;
        }
        FillLocator(&locators[(size_t)i], offset, storedSize, head);
        offset += storedSize;
    }

    int32_t packedNumber = 0;
    offset = 4 + 4 * (int64_t)t.count;
    for (int32_t i = 0; i < t.count; i++) {
        EntryLocator* locator = &locators[(size_t)i];
        const int32_t number = NumberingMode == NUMBERING_PACKED ? packedNumber : i;
        Block head;
        int32_t asked = 0;
        if (locator->storedSize != 0) {
            asked = HeadReadSize(locator->storedSize);
            head = ReadHead(f, offset, (uint32_t)asked);
            packedNumber++;
        }
        if (NumberingMode == NUMBERING_WITH_DUMMIES || locator->storedSize != 0) {
            Listed listed;
            memset(&listed.info, 0xAB, sizeof listed.info);
            listed.slot = i;
            listed.layout = entryLayout;
            const int ok = BuildEntryInfo(&listed.info, number, locator, locator->storedSize ? head.data() : nullptr,
                                          asked, (int32_t)head.size);
            CheckLayoutChange(listed.layout);
            if (!ok) {
                CheckRefusal(*locator, listed.layout);
                listing.result = 3;
                listing.records.clear();
                return listing;
            }
            CheckRecord(listed.info, *locator, number, listed.layout);
            listed.info.position = 3 * (uint32_t)i + NumberingMode;
            listing.records.push_back(listed);
        }
        offset += locator->storedSize;
    }
    CHECK(listing.records.size() == (size_t)(NumberingMode == NUMBERING_WITH_DUMMIES ? t.count : nonEmpty));
    listing.result = 0;
    return listing;
}

// Slots that lookups and extractions visit.
std::vector<int32_t> VisitedSlots(int32_t count)
{
    std::vector<int32_t> slots;
    for (int32_t i = 0; i < count; i++) {
        if (i < VISIT_HEAD || i >= count - VISIT_TAIL) slots.push_back(i);
    }
    return slots;
}

// GetFileInfo with `name`: the record of the slot it names, or a result code.
// `t` is the table as the call's own probe-mode validation accepted it.
int LookUp(const File& f, const Table& t, const char* name, EntryInfo* info, int32_t* slot, int32_t* layoutBefore)
{
    const uint32_t userNumbering = NumberingMode;
    char copy[ENTRY_NAME_COPY_SIZE];
    int result = 2;
    int32_t number = -1;
    if (CopyEntryFilePart(name, copy)) number = ParseEntryName(copy, &NumberingMode);
    int32_t index = -1;
    if (number >= 0 && NumberingMode != NUMBERING_PACKED) {
        index = number < t.count ? number : -1;
    } else if (number >= 0) {
        for (int32_t i = 0, seen = 0; i < t.count && index < 0; i++) {
            if (StoredSizeAt(t, i) != 0 && seen++ == number) index = i;
        }
    }
    if (index >= 0) {
        const int64_t offset = EntryOffset(t, index);
        const int32_t storedSize = StoredSizeAt(t, index);
        Block head;
        int32_t asked = 0;
        if (storedSize != 0) {
            asked = HeadReadSize(storedSize);
            head = ReadHead(f, offset, (uint32_t)asked);
        }
        FillLocator(&sharedLocator, offset, storedSize, head);
        memset(info, 0xAB, sizeof *info);
        *layoutBefore = entryLayout;
        const int ok = BuildEntryInfo(info, number, &sharedLocator, storedSize ? head.data() : nullptr, asked,
                                      (int32_t)head.size);
        CheckLayoutChange(*layoutBefore);
        if (ok) {
            CheckRecord(*info, sharedLocator, number, *layoutBefore);
            info->position = 3 * (uint32_t)index + NumberingMode;
            *slot = index;
            result = 0;
        } else {
            CheckRefusal(sharedLocator, *layoutBefore);
            result = 3;
        }
    }
    NumberingMode = userNumbering;
    return result;
}

// What an entry of an intact archive must give back under the layout it was
// written with, checked against the record built and the bytes expanded
// (`produced` of them, fileSize capped).
void CheckAgainstRecipe(const Recipe& r, int32_t index, int ok, const EntryInfo& info, const uint8_t* out,
                        uint32_t produced)
{
    const Slot& slot = r.slots[(size_t)index];
    const Bytes* expected = nullptr;
    uint32_t fileSize = 0;
    if (r.layout == qordat::Layout::Raw) {
        expected = &slot.stored;
        fileSize = (uint32_t)slot.stored.size();
    } else if (!slot.generated || slot.entry.empty) {
        return;
    } else if (r.layout == qordat::Layout::KindSize) {
        if (slot.content.empty()) return;  // a declared size of 0 is refused
        expected = &slot.content;
        fileSize = (uint32_t)slot.content.size();
    } else if (!slot.entry.compress) {
        expected = &slot.content;
        fileSize = (uint32_t)slot.content.size();
    } else {
        // A two-byte head before a stream: the content's own header gives the
        // size, or a scan of the stream when allowed.
        Bytes padded = slot.content;
        padded.resize(std::max<size_t>(padded.size(), 16), 0);
        int cls = SniffContent(slot.stored.data() + 2, slot.stored.size() - 2, SNIFF_STREAM);
        if (cls == CLASS_BMP) {
            fileSize = ReadU32(padded.data() + 2);
        } else if (cls == CLASS_WAV) {
            fileSize = ReadU32(padded.data() + 4) + 8;
        } else if (CheckMode) {
            fileSize = (uint32_t)slot.content.size();
        } else {
            CHECK(!ok);
            return;
        }
        expected = &slot.content;
    }
    CHECK(ok);
    CHECK(info.fileSize == fileSize);
    // The content, then zeros where the stream or the stored bytes ran out.
    const uint32_t same = std::min<uint32_t>(produced, (uint32_t)expected->size());
    CHECK(same == 0 || memcmp(out, expected->data(), same) == 0);
    static const uint8_t ZEROS[4096] = {};
    for (uint32_t at = same; at < produced; at += sizeof ZEROS)
        CHECK(memcmp(out + at, ZEROS, std::min<uint32_t>(sizeof ZEROS, produced - at)) == 0);
}

// GetFile at `position`: the whole entry read, its record built, and its
// content expanded into a block of exactly fileSize bytes. `t` as for LookUp.
void Extract(const File& f, const Table& t, const Recipe& r, int32_t position, const Listed* listed)
{
    const int32_t index = position / 3;
    CHECK(index < t.count);
    const uint32_t userNumbering = NumberingMode;
    NumberingMode = (uint32_t)(position % 3);

    int32_t number = index;
    if (NumberingMode == NUMBERING_PACKED) {
        number = -1;
        for (int32_t i = 0; i <= index; i++) number += StoredSizeAt(t, i) != 0;
    }
    const int64_t offset = EntryOffset(t, index);
    const int32_t storedSize = StoredSizeAt(t, index);
    Block entry;
    if (storedSize != 0) entry = ReadHead(f, offset, (uint32_t)storedSize);
    FillLocator(&sharedLocator, offset, storedSize, entry);
    EntryInfo info;
    memset(&info, 0xAB, sizeof info);
    const int32_t layoutBefore = entryLayout;
    const int ok = BuildEntryInfo(&info, number, &sharedLocator, storedSize ? entry.data() : nullptr, storedSize,
                                  (int32_t)entry.size);
    CheckLayoutChange(layoutBefore);
    if (ok) {
        CheckRecord(info, sharedLocator, number, layoutBefore);
    } else {
        CheckRefusal(sharedLocator, layoutBefore);
    }

    // The listing read 50 bytes where this reads the whole entry; for an
    // entry of 50 bytes or more under the same layout both see the same bytes
    // and must agree on the name and the size.
    if (listed && storedSize >= 50 && listed->layout == layoutBefore) {
        CHECK(ok);
        CHECK(info.fileSize == listed->info.fileSize);
        CHECK(strcmp(info.fileName, listed->info.fileName) == 0);
    }

    Block out;
    if (ok && storedSize != 0 && info.fileSize != 0) {
        const uint32_t wanted = std::min<uint32_t>(info.fileSize, EXPAND_CAP);
        out.bytes.reset(new uint8_t[wanted]);
        out.size = wanted;
        memset(out.data(), 0xCD, wanted);
        ExpandEntry(entry.data(), entry.size, sharedLocator.kind, out.data(), wanted);
    }
    if (r.tableIntact && index < (int32_t)r.slots.size() && entryLayout == layoutBefore &&
        layoutBefore == (int32_t)r.layout)
        CheckAgainstRecipe(r, index, ok, info, out.data(), out.size);
    NumberingMode = userNumbering;
}

// IsSupported with the recipe's path and the first 2,048 bytes.
void Probe(const File& f, const char* path, bool* accepted)
{
    const int32_t layoutBefore = entryLayout;
    Block window = CopyOf(f.bytes.data(), std::min<size_t>(f.bytes.size(), PROBE_SIZE));
    *accepted = ValidateContainer(window.data(), (int32_t)window.size, VALIDATE_PROBE) != 0;
    CHECK(entryLayout == layoutBefore);
    if (HasMediaExtension(path) || !*accepted) return;
    DeriveBaseName(path, archiveBaseName, sizeof archiveBaseName);
    CHECK(strlen(archiveBaseName) < sizeof archiveBaseName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024) return 0;
    FuzzedDataProvider in(data, size);
    Recipe r;
    MakeRecipe(in, &r);
    std::vector<qordat::Entry> entries;
    for (const Slot& s : r.slots) entries.push_back(s.entry);
    Bytes bytes = qordat::BuildArchive(entries, r.options);
    bytes.insert(bytes.end(), r.trailing.begin(), r.trailing.end());
    const File f{bytes};
    // FUZZ_ARCHIVE_DUMP=FILE writes the archive an input makes (to replay a
    // finding through qordat dump or the real DLL).
    static const char* const dump = getenv("FUZZ_ARCHIVE_DUMP");
    if (dump) {
        if (FILE* out = fopen(dump, "wb")) {
            fwrite(bytes.data(), 1, bytes.size(), out);
            fclose(out);
        }
    }

    // The process-wide state as the plug-in has it when loaded.
    entryLayout = LAYOUT_RAW;
    CheckMode = 0;
    NumberingMode = NUMBERING_WITH_DUMMIES;
    strcpy(archiveBaseName, "data");

    bool probed = false;
    Probe(f, r.path, &probed);

    // Each setting in turn, as a user who changes them between listings
    // would: the layout carries over from one to the next.
    for (uint32_t check = 0; check < 2; check++) {
        for (uint32_t numbering = 0; numbering < 3; numbering++) {
            CheckMode = check;
            NumberingMode = numbering;
            const Listing listing = List(f);
            // The probe sees at most the first 2,048 bytes; what it refuses,
            // the listing refuses too.
            if (listing.result != 2) CHECK(probed);
            if (listing.result == 2) continue;

            // Lookups: every listed name, or when the listing failed, the
            // names it would have given the visited slots.
            // The lookup and the extraction validate the table in probe mode
            // on every call; the answer depends on the file alone, so it is
            // read once here.
            Table t;
            CHECK(OpenTable(f, VALIDATE_PROBE, &t));
            std::vector<const Listed*> bySlot((size_t)t.count, nullptr);
            for (const Listed& l : listing.records) bySlot[(size_t)l.slot] = &l;
            int32_t packed = 0;
            std::vector<int32_t> visited = VisitedSlots(t.count);
            for (int32_t i = 0, v = 0; i < t.count && v < (int32_t)visited.size(); i++) {
                const bool empty = StoredSizeAt(t, i) == 0;
                const int32_t number = numbering == NUMBERING_PACKED ? packed : i;
                packed += !empty;
                if (visited[(size_t)v] != i) continue;
                v++;
                if (empty && numbering != NUMBERING_WITH_DUMMIES) continue;
                char name[200];
                const Listed* listed = bySlot[(size_t)i];
                if (listed) {
                    strcpy(name, listed->info.fileName);
                } else {
                    FormatEntryName(name, sizeof name, archiveBaseName, numbering, number, CLASS_DAT);
                }
                EntryInfo info;
                int32_t slot = -1, layoutBefore = -1;
                const int result = LookUp(f, t, name, &info, &slot, &layoutBefore);
                CHECK(NumberingMode == numbering);
                CHECK(result == 0 || result == 3);
                if (result == 0) CHECK(slot == i && info.position == 3 * (uint32_t)i + numbering);
                // Under the layout the listing read and built it with, the
                // lookup builds the same record.
                if (listed && listed->layout == listing.detected && layoutBefore == listed->layout) {
                    CHECK(result == 0);
                    CHECK(info.fileSize == listed->info.fileSize && info.compressedSize == listed->info.compressedSize);
                    CHECK(strcmp(info.fileName, listed->info.fileName) == 0);
                }
            }

            // Extractions: every visited slot at the position the listing
            // gives it.
            for (int32_t i : visited) {
                if (StoredSizeAt(t, i) == 0 && numbering != NUMBERING_WITH_DUMMIES) continue;
                Extract(f, t, r, 3 * i + (int32_t)numbering, bySlot[(size_t)i]);
                CHECK(NumberingMode == numbering);
            }
        }
    }
    return 0;
}
