// Whole archives, generated from a recipe, through the archive calls
// themselves (calls/calls.h) over the native seam: the probe, the listing
// under every numbering mode and both CheckMode values, the lookup of every
// listed name and the extraction of every listed entry, to memory and to
// disk. The archive is served as a memory file under the recipe's path;
// every working buffer and block is a heap block of exactly its size, so
// ASan reports a read past one.
//
// The input is a recipe, read with FuzzedDataProvider:
//   - the layout the archive is written with, and the archive's path;
//   - up to MAX_ENTRIES slots: empty, plain, compressed (writer/lzss_encoder.h)
//     or given outright as stored bytes, with content that is a bitmap, a
//     wave, a PNG, a RIFF that is no wave, or other bytes (repeated, zeros,
//     noise), whose size fields are true, 0, huge or off; heads whose kind
//     (0, 1, 8, others), declared size (0, negative, huge, off) or stored size
//     may be damaged;
//   - damage to the whole file: a count out of range or off, a cut inside the
//     count, the table, a head or a stream, or trailing bytes;
//   - now and then a failure (an open, a buffer, a host block, a lock, a read,
//     a disk write) in one of the calls.
// Besides the sanitizers, the invariants below are checked against the table
// as the file holds it, and an archive whose table is intact gives back,
// under the layout it was written with, exactly the content that went in.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/entry.h"
#include "archive/names.h"
#include "archive/state.h"
#include "calls/calls.h"
#include "tests/support/platform_test.h"
#include "fuzz/check.h"
#include "tests/support/archive_builder.h"
#include "writer/lzss_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

enum {
    MAX_ENTRIES = 40,
    MAX_CONTENT = 6000,          // long enough for references across the 4,096-byte ring
    CONTENT_BUDGET = 12 * 1024,  // all contents together: encoding them is most of a run's time
    // An extraction's block is refused past this size (code 4): a declared or
    // announced size can be anything up to 4 GiB, and a run should stay near
    // a millisecond. The decoder's fast path and ring arithmetic are all
    // reached well below it.
    HOST_BLOCK_LIMIT = 256 * 1024,
    // A listing's block holds at most 8,191 records and the end mark.
    LISTING_BLOCK_LIMIT = (MAX_ENTRY_COUNT + 1) * sizeof(EntryInfo),
    // Lookups and extractions visit the first VISIT_HEAD slots and the last
    // VISIT_TAIL; of a table of more than LARGE_TABLE slots (a damaged count)
    // only the first and the last, since each of them reads and validates the
    // whole table. The listing always builds every slot.
    VISIT_HEAD = 48,
    VISIT_TAIL = 8,
    LARGE_TABLE = 1024
};

// ---------------------------------------------------------------------------
// The recipe

struct Slot {
    test_archive::Entry entry;  // with storedBytes set to `stored`
    Bytes content;        // what went in (plain and compressed slots)
    Bytes stored;         // the entry's bytes as written, head included
    bool generated;       // plain or compressed from `content`, kind and declared size as a correct archive has them
};

struct Recipe {
    test_archive::Layout layout = test_archive::Layout::Raw;
    const char* path = "";
    std::vector<Slot> slots;
    test_archive::Options options;
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

// test_archive::StoredBytes, with the streams of recent contents kept: mutations
// of a recipe mostly leave its contents alone, and encoding (whose set-up
// alone clears a few hundred KiB) would otherwise be half of every run.
Bytes CachedStoredBytes(const test_archive::Entry& entry, test_archive::Layout layout)
{
    if (!entry.compress || entry.empty || entry.storedBytes) return test_archive::StoredBytes(entry, layout);
    static std::map<Bytes, Bytes> streams;
    auto found = streams.find(entry.content);
    if (found == streams.end()) {
        if (streams.size() >= 512) streams.clear();
        found = streams.emplace(entry.content, LzssEncode(entry.content)).first;
    }
    // The same entry stored plain with the stream as its content: the writer
    // puts the head a compressed entry gets in front of it.
    test_archive::Entry plain = entry;
    plain.compress = false;
    plain.content = found->second;
    plain.kind = entry.kind.value_or(1);
    plain.declaredSize = entry.declaredSize.value_or((int32_t)entry.content.size());
    return test_archive::StoredBytes(plain, layout);
}

Slot MakeSlot(FuzzedDataProvider& in, test_archive::Layout layout, size_t* budget)
{
    Slot slot;
    slot.generated = false;
    const uint8_t what = in.ConsumeIntegral<uint8_t>();
    switch (what % 8) {
    case 0: slot.entry = test_archive::Empty(); break;
    case 7:
        if (what & 0x80) {
            // A kind-1 stream a little longer than a read piece (groups of
            // eight literals, cheap to make): sized, when scanned, and
            // expanded over two pieces, or over one and zeros when cut.
            Bytes b = {1, 0};
            const size_t length = ENTRY_PIECE_SIZE + in.ConsumeIntegralInRange<size_t>(0, 64);
            const uint8_t fill = in.ConsumeIntegral<uint8_t>();
            while (b.size() < length) b.push_back((b.size() - 2) % 9 ? fill : 0);
            slot.entry = test_archive::Stored(b);
        } else {
            slot.entry = test_archive::Stored(in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 80)));
        }
        break;
    default:
        slot.content = MakeContent(in, budget);
        slot.entry = what % 8 < 4 ? test_archive::Plain(slot.content) : test_archive::Compressed(slot.content);
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
    static const test_archive::Layout LAYOUTS[3] = {test_archive::Layout::Raw, test_archive::Layout::KindSize, test_archive::Layout::KindOnly};
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

// What the probe makes of each of PATHS: the base name it remembers, or
// nothing for the media name it refuses.
const char* ProbedBaseName(const char* path)
{
    static const std::string LONG(ARCHIVE_BASE_NAME_SIZE - 1, 'n');
    const char* const NAMES[] = {"SCENE", "data", "x~y-z_w", LONG.c_str(), nullptr};
    static_assert(sizeof NAMES / sizeof NAMES[0] == sizeof PATHS / sizeof PATHS[0], "one name per path");
    size_t i = 0;
    while (PATHS[i] != path) i++;
    return NAMES[i];
}

// ---------------------------------------------------------------------------
// The table as the file holds it, read here on its own (bytes past the end
// read as zero): what the records must say about each slot

struct Table {
    int32_t count = 0;  // 0 unless the count field holds 1 to 8191
    std::vector<int32_t> sizes;
    std::vector<int32_t> packed;  // non-empty slots before each slot
    int32_t nonEmpty = 0;
    bool negative = false;  // a size below zero
    int16_t firstKind = 0;  // the two bytes after the table
};

Table ReadTable(const Bytes& file)
{
    Table t;
    const int32_t count = S32At(file.data(), file.size(), 0);
    if (file.size() < 4 || count < 1 || count > MAX_ENTRY_COUNT) return t;
    t.count = count;
    for (int32_t i = 0; i < count; i++) {
        t.sizes.push_back(S32At(file.data(), file.size(), 4 + 4 * (size_t)i));
        t.packed.push_back(t.nonEmpty);
        t.nonEmpty += t.sizes.back() != 0;
        t.negative |= t.sizes.back() < 0;
    }
    t.firstKind = S16At(file.data(), file.size(), 4 + 4 * (size_t)count);
    return t;
}

// ---------------------------------------------------------------------------
// The calls, each followed by the checks every call gets

enum CallKind { CALL_LIST, CALL_FIND, CALL_MEMORY, CALL_DISK };
// What the plug-in keeps between calls, for this run's calls.
PluginState state;

int& Countdown(int kind) { return FaultCountdown(nativeFaults, kind); }

struct Run {
    const Recipe& r;
    const Table t;
    uint32_t check = 0;  // the settings of the current listing
    EntryNumbering numbering = NUMBERING_WITH_DUMMIES;
    int32_t detected = -1;              // the layout a listing with state.settings.CheckMode 0 left: detection's
    int calls = 0;                      // calls so far that may meet the planned failure
    int faultCall = -1, faultKind = 0, faultCountdown = 0;  // the planned failure
};

int32_t NumberOf(const Run& run, int32_t slot)
{
    return run.numbering == NUMBERING_PACKED ? run.t.packed[(size_t)slot] : slot;
}

struct Outcome {
    int result;
    HostBlock block;  // handed over to the host
};
HostBlock const STALE = (HostBlock)PATHS;  // what the host's handle variable held before a call

// Makes a call (`make`), then checks what every call must leave: nothing
// outstanding but the block it handed over, a null handle on failure, the
// settings as they were, the layout put back on code 2 and at most raised
// otherwise. When the planned failure hit the call, checks the code such a
// failure gives, frees the block and makes the call again. `before` gets the
// layout the call found.
template <typename Make>
Outcome Call(Run& run, CallKind call, int32_t* before, Make make)
{
    for (;;) {
        // Only calls that make operations of the planned kind are counted: a
        // lookup takes no host block, and only disk output writes files.
        const int kind = run.faultKind;
        const bool meets = kind >= FAULT_CREATE
                               ? call == CALL_DISK
                               : call != CALL_FIND || kind < FAULT_HOST_ALLOC || kind > FAULT_HOST_LOCK;
        const bool armed = meets && run.calls++ == run.faultCall;
        if (armed) Countdown(kind) = run.faultCountdown;
        *before = state.memory.entryLayout;
        const Outcome o = make();
        const bool hit = armed && Countdown(kind) == 0;
        nativeFaults = NativeFaults();

        CHECK(o.result >= RESULT_OK && o.result <= RESULT_CANNOT_OPEN);
        if (o.result != RESULT_OK) CHECK(o.block == nullptr);
        const NativeOutstanding left = NativeCountOutstanding();
        CHECK(left.files == 0 && left.workBuffers == 0 && left.hostLocks == 0 && left.outputs == 0);
        CHECK(left.hostBlocks == (o.block ? 1 : 0));
        CHECK(state.settings.CheckMode == run.check && state.settings.NumberingMode == run.numbering);
        // A record build may raise two-byte heads to six-byte ones, which
        // takes a full scan, so state.settings.CheckMode on.
        if (o.result == RESULT_NOT_ARCHIVE) {
            CHECK(state.memory.entryLayout == *before);
        } else if (call != CALL_LIST) {
            CHECK(state.memory.entryLayout == *before ||
                  (*before == LAYOUT_KIND_ONLY && state.memory.entryLayout == LAYOUT_KIND_SIZE && state.settings.CheckMode == 1));
        }
        if (!hit) return o;
        const int expected = FaultResultCode(kind);
        CHECK(expected >= 0 ? o.result == expected
                            : o.result != RESULT_NO_MEMORY && o.result != RESULT_UNSUPPORTED_FLAGS &&
                                  o.result != RESULT_CANNOT_OPEN);
        if (o.block) HostFree(o.block);
    }
}

// A record a call handed over for `slot`.
void CheckRecord(const Run& run, const EntryInfo& info, int32_t slot, int32_t layout)
{
    const int32_t storedSize = run.t.sizes[(size_t)slot];
    CHECK(memcmp(info.method, "QORDAT\0", 8) == 0);  // byte 7 is left as it was: zero
    CHECK(info.position == 3 * (uint32_t)slot + run.numbering);
    CHECK(info.compressedSize == (uint32_t)storedSize);
    CHECK(info.timestamp == 0 && info.crc == 0 && info.path[0] == '\0');
    const char* nul = (const char*)memchr(info.fileName, '\0', sizeof info.fileName);
    CHECK(nul != nullptr);
    const size_t length = (size_t)(nul - info.fileName);
    const size_t baseLength = strlen(state.memory.archiveBaseName);
    CHECK(length > baseLength + 4 && memcmp(info.fileName, state.memory.archiveBaseName, baseLength) == 0);
    CHECK(info.fileName[length - 4] == '.');
    const bool dummy = strcmp(nul - 3, "DMY") == 0;
    CHECK(dummy == (storedSize == 0));
    if (storedSize == 0) CHECK(info.fileSize == 0);
    if (storedSize != 0 && layout == LAYOUT_RAW) CHECK(info.fileSize == (uint32_t)storedSize);

    // The lookup reads the number and the numbering mode back from the name.
    char copy[ENTRY_NAME_COPY_SIZE];
    CHECK(CopyEntryFilePart(info.fileName, copy));
    EntryNumbering mode = static_cast<EntryNumbering>(99);
    CHECK(ParseEntryName(copy, &mode) == NumberOf(run, slot));
    CHECK(mode == run.numbering);
}

// A listing's outcome, its records copied out of the block it handed over.
struct Listing {
    int result = RESULT_NOT_ARCHIVE;
    int32_t layout = LAYOUT_RAW;  // state.memory.entryLayout after it
    bool uniform = false;         // every record built under `layout` (none raised it)
    std::vector<EntryInfo> records;
    std::vector<const EntryInfo*> bySlot;
};

Listing List(Run& run)
{
    const Table& t = run.t;
    nativeHostBlockLimit = LISTING_BLOCK_LIMIT;
    int32_t before;
    const Outcome o = Call(run, CALL_LIST, &before, [&] {
        HostBlock block = STALE;
        const int result = ListArchive(&state, run.r.path, 0, 0, &block);
        return Outcome{result, block};
    });
    Listing l;
    l.result = o.result;
    CHECK(l.result == RESULT_OK || l.result == RESULT_NOT_ARCHIVE || l.result == RESULT_NO_RECORD);
    if (l.result == RESULT_NOT_ARCHIVE) return l;

    CHECK(t.count != 0 && !t.negative);
    l.layout = state.memory.entryLayout;
    CHECK(l.layout == LAYOUT_RAW || l.layout == LAYOUT_KIND_SIZE || l.layout == LAYOUT_KIND_ONLY);
    // Heads are told apart by the kind of the first non-empty entry, the
    // bytes right after the table; detection does not depend on CheckMode,
    // and only a build under state.settings.CheckMode 1 raises what it found.
    CHECK((l.layout == LAYOUT_RAW) == (t.firstKind != 0 && t.firstKind != 1 && t.firstKind != 8));
    if (run.check == 0) {
        CHECK(run.detected < 0 || l.layout == run.detected);
        run.detected = l.layout;
    } else if (run.detected >= 0) {
        CHECK(l.layout == run.detected || (run.detected == LAYOUT_KIND_ONLY && l.layout == LAYOUT_KIND_SIZE));
    }
    l.uniform = run.check == 0 || l.layout != LAYOUT_KIND_SIZE || run.detected == LAYOUT_KIND_SIZE;
    // A build fails only under a layout with a head.
    if (l.result == RESULT_NO_RECORD) {
        CHECK(l.layout != LAYOUT_RAW);
        return l;
    }

    // One record per slot, or per non-empty slot, then a zeroed one.
    const size_t records = run.numbering == NUMBERING_WITH_DUMMIES ? (size_t)t.count : (size_t)t.nonEmpty;
    CHECK(NativeHostBlockSize(o.block) == (records + 1) * sizeof(EntryInfo));
    const EntryInfo* bytes = (const EntryInfo*)HostLock(o.block);
    l.records.assign(bytes, bytes + records);
    static const EntryInfo END = {};
    CHECK(memcmp(&bytes[records], &END, sizeof END) == 0);
    HostUnlock(o.block);
    HostFree(o.block);

    l.bySlot.assign((size_t)t.count, nullptr);
    int32_t slot = -1;
    for (const EntryInfo& info : l.records) {
        do slot++;
        while (run.numbering != NUMBERING_WITH_DUMMIES && t.sizes[(size_t)slot] == 0);
        CheckRecord(run, info, slot, l.layout);
        l.bySlot[(size_t)slot] = &info;
    }
    return l;
}

// The lookup of the name the listing gave `slot`, or when it gave none, the
// name it would have.
void LookUp(Run& run, const Listing& l, int32_t slot)
{
    const EntryInfo* listed = l.bySlot.empty() ? nullptr : l.bySlot[(size_t)slot];
    char name[sizeof(EntryInfo::fileName)];
    if (listed) {
        strcpy(name, listed->fileName);
    } else {
        FormatEntryName(name, sizeof name, state.memory.archiveBaseName, run.numbering, NumberOf(run, slot), CLASS_DAT);
    }
    EntryInfo info;
    int32_t before;
    const int result = Call(run, CALL_FIND, &before, [&] {
        memset(&info, 0, sizeof info);
        return Outcome{FindEntry(&state, run.r.path, 0, name, 0, &info), nullptr};
    }).result;
    CHECK(result == RESULT_OK || result == RESULT_NO_RECORD);
    if (result == RESULT_NO_RECORD) CHECK(before != LAYOUT_RAW && run.t.sizes[(size_t)slot] != 0);
    if (result == RESULT_OK) CheckRecord(run, info, slot, before);
    // Under the layout the listing built its records with, the lookup builds
    // the same record.
    if (listed && l.uniform && before == l.layout)
        CHECK(result == RESULT_OK && memcmp(&info, listed, sizeof info) == 0);
}

// What an entry of an intact archive must give back under the layout it was
// written with: the code of its extraction and the content (`out`).
void CheckAgainstRecipe(const Recipe& r, int32_t index, int result, const Bytes& out)
{
    const Slot& slot = r.slots[(size_t)index];
    const Bytes* expected = nullptr;
    uint32_t fileSize = 0;
    if (r.layout == test_archive::Layout::Raw) {
        expected = &slot.stored;
        fileSize = (uint32_t)slot.stored.size();
    } else if (!slot.generated || slot.entry.empty) {
        return;
    } else if (r.layout == test_archive::Layout::KindSize) {
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
        } else if (state.settings.CheckMode) {
            fileSize = (uint32_t)slot.content.size();
        } else {
            CHECK(result == RESULT_NO_RECORD);
            return;
        }
        expected = &slot.content;
    }
    if (fileSize > HOST_BLOCK_LIMIT) {
        CHECK(result == RESULT_NO_HOST_MEMORY);
        return;
    }
    CHECK(result == RESULT_OK && out.size() == fileSize);
    // The content, then zeros where the stream or the stored bytes ran out.
    const uint32_t same = std::min<uint32_t>(fileSize, (uint32_t)expected->size());
    CHECK(same == 0 || memcmp(out.data(), expected->data(), same) == 0);
    CHECK(std::all_of(out.begin() + same, out.end(), [](uint8_t b) { return b == 0; }));
}

// The file disk output wrote for `slot` into "out": the entry's name with one
// extension or another, never two. False when there is none.
bool OutputOf(const Run& run, int32_t slot, Bytes* bytes, std::string* name)
{
    int found = 0;
    for (int cls = CLASS_BMP; cls <= CLASS_DMY; cls++) {
        char entry[sizeof(EntryInfo::fileName)];
        FormatEntryName(entry, sizeof entry, state.memory.archiveBaseName, run.numbering, NumberOf(run, slot), cls);
        size_t size = 0;
        const uint8_t* written = NativeMemoryOutput((std::string("out/") + entry).c_str(), &size);
        if (!written) continue;
        found++;
        bytes->assign(written, written + size);
        *name = entry;
    }
    CHECK(found <= 1);
    return found == 1;
}

// The extraction of `slot` at the position the listing gives it, to memory,
// and with `toDisk` to disk as well.
void Extract(Run& run, const Listing& l, int32_t slot, bool toDisk)
{
    const int64_t position = 3 * (int64_t)slot + run.numbering;
    const int32_t storedSize = run.t.sizes[(size_t)slot];
    const EntryInfo* listed = l.bySlot.empty() ? nullptr : l.bySlot[(size_t)slot];
    nativeHostBlockLimit = HOST_BLOCK_LIMIT;
    int32_t before;
    const Outcome o = Call(run, CALL_MEMORY, &before, [&] {
        HostBlock block = STALE;
        const int result = ExtractEntry(&state, run.r.path, 0, position, (char*)&block, OUTPUT_MEMORY << 8);
        return Outcome{result, block};
    });
    const int result = o.result;
    CHECK(result == RESULT_OK || result == RESULT_NO_RECORD || result == RESULT_NO_HOST_MEMORY);
    if (result == RESULT_NO_RECORD) CHECK(before != LAYOUT_RAW && storedSize != 0);
    if (storedSize == 0) CHECK(result == RESULT_OK && !o.block);
    Bytes content;
    if (o.block) {
        const size_t size = NativeHostBlockSize(o.block);
        CHECK(size > 0 && size <= HOST_BLOCK_LIMIT);
        const uint8_t* bytes = (const uint8_t*)HostLock(o.block);
        content.assign(bytes, bytes + size);
        HostUnlock(o.block);
        HostFree(o.block);
    }
    // Without heads an entry is its stored bytes.
    if (before == LAYOUT_RAW && storedSize != 0) {
        CHECK(result == (storedSize > HOST_BLOCK_LIMIT ? RESULT_NO_HOST_MEMORY : RESULT_OK));
        CHECK(result != RESULT_OK || content.size() == (size_t)storedSize);
    }
    // The listing read ENTRY_HEAD_SIZE bytes where this reads the entry's
    // own bytes only; for an entry of that many bytes or more under the same
    // layout both see the same bytes and agree on the size.
    const bool asListed = listed && l.uniform && storedSize >= ENTRY_HEAD_SIZE && before == l.layout;
    if (asListed) {
        CHECK(result == (listed->fileSize > HOST_BLOCK_LIMIT ? RESULT_NO_HOST_MEMORY : RESULT_OK));
        CHECK(result != RESULT_OK || content.size() == listed->fileSize);
    }
    const Recipe& r = run.r;
    if (r.tableIntact && slot < (int32_t)r.slots.size() && state.memory.entryLayout == before && before == (int32_t)r.layout)
        CheckAgainstRecipe(r, slot, result, content);
    // Disk output needs no host block; a size refused for the block limit
    // (a damaged one, up to a gigabyte) is not written.
    if (!toDisk || result == RESULT_NO_HOST_MEMORY) return;

    int32_t diskBefore;
    Bytes written;
    std::string name;
    const int diskResult = Call(run, CALL_DISK, &diskBefore, [&] {
        NativeClearMemoryOutput();
        const int code = ExtractEntry(&state, run.r.path, 0, position, (char*)"out", OUTPUT_DISK << 8);
        // A failed extraction leaves no file, not even a partial one.
        CHECK(OutputOf(run, slot, &written, &name) == (code == RESULT_OK));
        return Outcome{code, nullptr};
    }).result;
    // From the same layout, the same outcome as to memory, and the same bytes.
    if (diskBefore == before) CHECK(diskResult == result && written == content);
    if (asListed && diskBefore == before && diskResult == RESULT_OK) CHECK(name == listed->fileName);
}

// IsSupported with the recipe's path and the first 2,048 bytes, in a heap
// block of exactly that length. Returns its answer.
int Probe(const Recipe& r, const Bytes& file)
{
    const size_t n = std::min<size_t>(file.size(), PROBE_SIZE);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[n]);
    if (n) memcpy(bytes.get(), file.data(), n);
    const int32_t layoutBefore = state.memory.entryLayout;
    const int accepted = ProbeArchive(&state, r.path, bytes.get(), (int32_t)n);
    CHECK(accepted == 0 || accepted == 1);
    CHECK(state.memory.entryLayout == layoutBefore);
    const char* baseName = ProbedBaseName(r.path);
    if (!baseName) CHECK(!accepted);
    CHECK(strcmp(state.memory.archiveBaseName, accepted ? baseName : "data") == 0);
    return accepted;
}

// Slots that lookups and extractions visit.
std::vector<int32_t> VisitedSlots(int32_t count)
{
    const int32_t head = count > LARGE_TABLE ? 1 : VISIT_HEAD, tail = count > LARGE_TABLE ? 1 : VISIT_TAIL;
    std::vector<int32_t> slots;
    for (int32_t i = 0; i < count; i++) {
        if (i < head || i >= count - tail) slots.push_back(i);
    }
    return slots;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 64 * 1024) return 0;
    FuzzedDataProvider in(data, size);
    Recipe r;
    MakeRecipe(in, &r);
    std::vector<test_archive::Entry> entries;
    for (const Slot& s : r.slots) entries.push_back(s.entry);
    Bytes bytes = test_archive::BuildArchive(entries, r.options);
    bytes.insert(bytes.end(), r.trailing.begin(), r.trailing.end());
    // FUZZ_ARCHIVE_DUMP=FILE writes the archive an input makes (to replay a
    // finding through qordat dump or the real DLL).
    static const char* const dump = getenv("FUZZ_ARCHIVE_DUMP");
    if (dump) {
        if (FILE* out = fopen(dump, "wb")) {
            fwrite(bytes.data(), 1, bytes.size(), out);
            fclose(out);
        }
    }

    Run run{r, ReadTable(bytes)};
    // One call of the run (counted from the first listing) may meet a
    // failure: the Nth operation of one kind in it fails.
    const int fault = in.ConsumeIntegralInRange<int>(0, 2 * FAULT_KINDS);
    if (fault >= 1 && fault <= FAULT_KINDS) {
        run.faultKind = fault - 1;
        run.faultCall = in.ConsumeIntegral<uint8_t>();
        run.faultCountdown = in.ConsumeIntegralInRange<int>(1, 16);
    }

    // The state as the plug-in has it when loaded; the archive served under
    // its path; disk output kept in memory.
    state = PluginState();
    strcpy(state.memory.archiveBaseName, "data");
    nativeFaults = NativeFaults();
    NativeClearMemoryFiles();
    NativeAddMemoryFile(r.path, bytes.data(), bytes.size());
    NativeSetMemoryOutput(true);

    const int probed = Probe(r, bytes);

    // Each setting in turn, as a user who changes them between listings
    // would: the layout carries over from one to the next.
    for (uint32_t check = 0; check < 2; check++) {
        for (uint32_t numbering = 0; numbering < 3; numbering++) {
            state.settings.CheckMode = run.check = check;
            state.settings.NumberingMode = run.numbering = static_cast<EntryNumbering>(numbering);
            const Listing listing = List(run);
            // The probe sees at most the first 2,048 bytes; what it refuses,
            // the listing refuses too.
            if (listing.result != RESULT_NOT_ARCHIVE && ProbedBaseName(r.path)) CHECK(probed);
            if (listing.result == RESULT_NOT_ARCHIVE) continue;

            // Lookups: every listed name, or when the listing failed, the
            // names it would have given the visited slots.
            const std::vector<int32_t> visited = VisitedSlots(run.t.count);
            for (int32_t i : visited) {
                if (run.t.sizes[(size_t)i] != 0 || numbering == NUMBERING_WITH_DUMMIES) LookUp(run, listing, i);
            }
            // Extractions: every visited slot at the position the listing
            // gives it, every other one to disk as well.
            bool toDisk = false;
            for (int32_t i : visited) {
                if (run.t.sizes[(size_t)i] == 0 && numbering != NUMBERING_WITH_DUMMIES) continue;
                Extract(run, listing, i, toDisk);
                toDisk = !toDisk;
            }
        }
    }
    NativeClearMemoryOutput();
    return 0;
}
