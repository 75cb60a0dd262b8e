// The archive calls through their real sequences and the native seam: every
// result code of each call, and every open, buffer, block, lock, read and
// disk write failing in turn, with nothing left behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "archive/lzss.h"
#include "archive/state.h"
#include "calls/calls.h"
#include "tests/support/platform_test.h"
#include "tests/support/lzss_reference.h"
#include "tests/support/archive_builder.h"
#include "writer/lzss_encoder.h"
#include "tests/support/test_content.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// `size` bytes that begin with `magic`; the rest repeats, so that compressed
// entries hold back-references.
Bytes Content(const char* magic, size_t size)
{
    Bytes b(size);
    for (size_t i = 0; i < size; i++) b[i] = uint8_t('a' + i % 23);
    memcpy(b.data(), magic, strlen(magic));
    return b;
}

// Plain and compressed entries and an empty slot; detected as LAYOUT_KIND_SIZE.
const std::vector<test_archive::Entry> kGood = {
    test_archive::Plain(Content("BM", 90)), test_archive::Compressed(Content("RIFF", 120)), test_archive::Empty(),
    test_archive::Compressed(Content("text", 300)), test_archive::Plain(Content("plain", 16))};

test_archive::Entry Damaged(std::optional<int16_t> kind, std::optional<int32_t> declared)
{
    test_archive::Entry e = test_archive::Plain(Content("data", 18));
    std::tie(e.kind, e.declaredSize) = std::make_tuple(kind, declared);
    return e;
}

Bytes Build(const std::vector<test_archive::Entry>& entries, test_archive::Layout layout)
{
    return test_archive::BuildArchive(entries, test_archive::Options{layout, {}, {}, 0});
}

enum Call { LIST, FIND, TO_MEMORY, TO_DISK };
const unsigned kCodesOf[] = {LIST_RESULTS, FIND_RESULTS, EXTRACT_RESULTS, EXTRACT_RESULTS};

// Bit per fault kind (FaultKind) each call meets; disk output takes no host block.
const unsigned kKindsOf[] = {0x1F, 0x13, 0x1F, 0x1F3};

// What a call works on: the entry's name and position as listed, and the
// content it must deliver; a lookup asks by `asked` when it is given.
struct Target {
    std::string name;
    int64_t position = 0;
    Bytes content = {};
    std::string asked = {};
};

int staleBlock;
HostBlock const kStale = &staleBlock;  // what a host's variable held before the call

class Calls : public ::testing::Test {
protected:
    void SetUp() override
    {
        strcpy(state.memory.archiveBaseName, "SCENE");
        nativeFaults = {};
        nativeHostBlockLimit = 0;
        NativeClearMemoryFiles();
        NativeClearMemoryOutput();
        NativeSetMemoryOutput(true);
        Serve("GOOD.DAT", Build(kGood, test_archive::Layout::KindSize));
        Serve("TEXT.TXT", Content("Just a text file", 40));
        Serve("UNKNOWN.DAT", Build({test_archive::Compressed(Content("abc", 120))}, test_archive::Layout::KindOnly));
        // The same kind of entry, stored in more bytes than a head: a
        // lookup with full scans reads it in a piece of its own.
        Serve("SCANNED.DAT", Build({test_archive::Compressed(Content("abc", 2000))}, test_archive::Layout::KindOnly));
        // Kind 2, a declared size of 0, a declared gigabyte.
        Serve("BAD.DAT", Build({test_archive::Plain(Content("BM", 60)), Damaged(2, {}), Damaged({}, 0), Damaged({}, 1 << 30)},
                               test_archive::Layout::KindSize));
        Serve("ONE.DAT", {1});        // too short to hold a count
        Serve("THREE.DAT", {1, 0, 0});
        // Ends inside its size table: the missing bytes read as zero, so the
        // three sizes are 5, 7 and 0 and the first head is zeros.
        Serve("CUTTABLE.DAT", {3, 0, 0, 0, 5, 0, 0, 0, 7, 0});
        Serve("EMPTIES.DAT", Build({test_archive::Empty(), test_archive::Empty()}, test_archive::Layout::KindSize));
        // Raw entries "BM" and "AB" about an empty slot.
        Serve("GAP.DAT", {3, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'B', 'M', 'A', 'B'});
        const Bytes good = Build(kGood, test_archive::Layout::KindSize);
        Bytes shifted(37, 0xEE);
        shifted.insert(shifted.end(), good.begin(), good.end());
        Serve("OFFSET.DAT", shifted);  // the archive begins 37 bytes into the file
    }
    void TearDown() override
    {
        NativeSetMemoryOutput(true);
        if (temp.empty()) return;
        fs::current_path(home);
        fs::remove_all(temp);
    }

    static void Serve(const char* path, const Bytes& bytes) { NativeAddMemoryFile(path, bytes.data(), bytes.size()); }

    std::string OutputPath(const std::string& name) const { return outDir + "/" + name; }
    std::optional<Bytes> Output(const std::string& name) const
    {
        size_t size = 0;
        const uint8_t* bytes = realOutput ? nullptr : NativeMemoryOutput(OutputPath(name).c_str(), &size);
        if (bytes) return Bytes(bytes, bytes + size);
        std::ifstream in(OutputPath(name), std::ios::binary);
        if (!realOutput || !in) return std::nullopt;
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    // Runs one call as a host does and checks what every call must leave
    // behind. The faults still pending afterwards are left in `pending`.
    int Run(Call call, const std::string& path, const Target& t, unsigned flags = 0, bool checkContent = true,
            std::vector<EntryInfo>* listed = nullptr)
    {
        const uint32_t numbering = state.settings.NumberingMode;
        const int32_t layout = state.memory.entryLayout;
        HostBlock handle = call == LIST || call == TO_MEMORY ? kStale : nullptr;
        EntryInfo info = {};
        std::vector<EntryInfo> records;
        if (!listed) listed = &records;
        int code = -1;
        if (call == LIST) code = ListArchive(&state, path.c_str(), offset, flags, &handle);
        if (call == FIND)
            code = FindEntry(&state, path.c_str(), offset, (t.asked.empty() ? t.name : t.asked).c_str(), flags, &info);
        if (call == TO_MEMORY) code = ExtractEntry(&state, path.c_str(), offset, t.position, (char*)&handle, flags | 0x100);
        if (call == TO_DISK) {
            if (realOutput) fs::remove(OutputPath(t.name));
            NativeClearMemoryOutput();
            code = ExtractEntry(&state, path.c_str(), offset, t.position, (char*)outDir.c_str(), flags);
        }
        pending = nativeFaults;
        nativeFaults = {};
        // All released; on success a listing or content goes to the host, unlocked.
        const NativeOutstanding o = NativeCountOutstanding();
        EXPECT_EQ(std::make_tuple(o.files, o.workBuffers, o.hostBlocks, o.hostLocks, o.outputs),
                  std::make_tuple(0, 0, code == 0 && handle ? 1 : 0, 0, 0));
        EXPECT_TRUE(code >= 0 && code <= 6 && (kCodesOf[call] >> code & 1)) << "code " << code;
        if (code != 0) EXPECT_EQ(handle, nullptr);

        Bytes block;
        if (code == 0 && handle) {
            const uint8_t* bytes = (const uint8_t*)HostLock(handle);
            block.assign(bytes, bytes + NativeHostBlockSize(handle));
            HostUnlock(handle);
            HostFree(handle);
        }
        if (code == 0 && call == LIST) {
            for (const EntryInfo* r = (const EntryInfo*)block.data(); r->method[0]; r++) listed->push_back(*r);
            EXPECT_EQ(block.size(), (listed->size() + 1) * sizeof(EntryInfo));
        }
        if (code == 0 && call == TO_MEMORY && checkContent) {
            EXPECT_EQ(block, t.content);
            EXPECT_EQ(handle == nullptr, t.content.empty());  // no block for an entry without content
        }
        if (code == 0 && call == FIND && checkContent) {
            EXPECT_EQ(std::string(info.fileName), t.name);
            EXPECT_EQ(info.position, (EntryWord)t.position);
            EXPECT_EQ(info.fileSize, t.content.size());
        }
        if (call == TO_DISK && !t.name.empty()) {
            std::optional<Bytes> written = Output(t.name);
            EXPECT_EQ(written.has_value(), code == 0) << OutputPath(t.name);
            if (written && checkContent) EXPECT_EQ(*written, t.content);
        }
        EXPECT_EQ(state.settings.NumberingMode, numbering);
        if (call == LIST && code == RESULT_NOT_ARCHIVE) EXPECT_EQ(state.memory.entryLayout, layout);
        return code;
    }

    // Every entry as listed in each numbering mode, with its content.
    std::vector<Target> Targets(const std::string& path)
    {
        std::vector<Target> targets;
        for (uint32_t mode = 0; mode < 3; mode++) {
            state.settings.NumberingMode = static_cast<EntryNumbering>(mode);
            std::vector<EntryInfo> listed;
            EXPECT_EQ(Run(LIST, path, {}, 0, true, &listed), 0);
            EXPECT_EQ(listed.size(), mode == NUMBERING_WITH_DUMMIES ? 5u : 4u);
            for (const EntryInfo& r : listed) {
                const test_archive::Entry& e = kGood[r.position / 3];
                targets.push_back({r.fileName, r.position, e.empty ? Bytes() : e.content});
            }
        }
        EXPECT_EQ(targets.back().name, "SCENE_003.DAT");
        return targets;
    }

    // Each call on each target with the Nth operation of each kind failing,
    // N = 1, 2, ... until the call no longer reaches an Nth one.
    void Sweep(const std::string& path)
    {
        const std::vector<Target> targets = Targets(path);
        const std::vector<Target> listing = {{}};
        std::vector<EntryInfo> reference;
        state.settings.NumberingMode = NUMBERING_KEEP;
        Run(LIST, path, {}, 0, true, &reference);
        for (Call call : {LIST, FIND, TO_MEMORY, TO_DISK}) {
            unsigned fired = 0;
            for (const Target& t : call == LIST ? listing : targets) {
                for (int kind = 0; kind < FAULT_KINDS; kind++) {
                    for (int n = 1; n < 100; n++) {
                        SCOPED_TRACE(::testing::Message() << "call " << call << " on '" << t.name << "' fault "
                                                          << kind << " #" << n);
                        state.settings.NumberingMode = NUMBERING_KEEP;
                        state.memory.entryLayout = call == LIST ? LAYOUT_KIND_ONLY : LAYOUT_KIND_SIZE;
                        FaultCountdown(nativeFaults, kind) = n;
                        std::vector<EntryInfo> listed;
                        int code = Run(call, path, t, 0, kind != FAULT_SHORT_READ, &listed);
                        if (FaultCountdown(pending, kind) != 0) {  // the call made fewer than N such operations
                            EXPECT_EQ(code, 0);
                            break;
                        }
                        fired |= 1u << kind;
                        if (kind != FAULT_SHORT_READ) EXPECT_EQ(code, FaultResultCode(kind));
                        if (code == 0 && call == LIST && kind != FAULT_SHORT_READ)
                            EXPECT_TRUE(listed.size() == reference.size() &&
                                        !memcmp(listed.data(), reference.data(), listed.size() * sizeof(EntryInfo)));
                    }
                }
            }
            EXPECT_EQ(fired, kKindsOf[call]) << "call " << call;
        }
    }

    PluginState state = {};  // what a freshly loaded plug-in holds, then the archive's base name
    int64_t offset = 0;      // where the calls find the archive in its file
    std::string outDir = "out";
    bool realOutput = false;
    fs::path temp;  // a real directory, the current one while the test runs
    const fs::path home = fs::current_path();
    NativeFaults pending = {};
};

TEST_F(Calls, EveryResultCode)
{
    const Target bitmap = {"SCENE~000.BMP", 0, kGood[0].content};
    const Target emptySlot = {"SCENE-002.DMY", 3 * 2 + 1, {}};
    const Target none = {};
    struct Row {
        Call call;
        const char* path;
        Target target;
        int code;
        int fault = NO_FAULT, n = 1;
        unsigned flags = 0;
        uint32_t check = 0;  // full scans, under kind-only heads
        uint32_t numbering = NUMBERING_KEEP;  // the user's
        int32_t layout = LAYOUT_KIND_SIZE;    // without full scans
    };
    const Target scanned = {"SCENE-000.DAT", 1, Content("abc", 2000)};
    std::vector<Row> rows = {
        {LIST, "GOOD.DAT", none, 0},
        {LIST, "GOOD.DAT", none, 1, NO_FAULT, 1, 4},
        {LIST, "TEXT.TXT", none, 2},
        {LIST, "UNKNOWN.DAT", none, 2},  // compressed content of no known kind, no full scans
        {LIST, "BAD.DAT", none, 3},
        {LIST, "GOOD.DAT", none, 4, FAULT_HOST_ALLOC},
        {LIST, "GOOD.DAT", none, 5, FAULT_WORK},
        {LIST, "GOOD.DAT", none, 5, FAULT_HOST_LOCK},
        {LIST, "/nonexistent/GOOD.DAT", none, 6},
        {LIST, "GOOD.DAT", none, 6, FAULT_OPEN},
        {FIND, "GOOD.DAT", bitmap, 0},
        {FIND, "GOOD.DAT", emptySlot, 0},
        {FIND, "GOOD.DAT", bitmap, 1, NO_FAULT, 1, 2},
        {FIND, "TEXT.TXT", bitmap, 2},
        {FIND, "GOOD.DAT", {"SCENE~005.DAT"}, 2},  // five slots
        {FIND, "GOOD.DAT", {"SCENE_004.DAT"}, 2},  // four non-empty ones
        {FIND, "GOOD.DAT", {"SCENE~0x1.DAT"}, 2},
        {FIND, "BAD.DAT", {"SCENE~001.DAT"}, 3},
        {FIND, "BAD.DAT", {"SCENE-002.DAT"}, 3},
        {FIND, "EMPTIES.DAT", {"SCENE~001.DMY", 3}, 0},
        // A name without a separator is in the user's numbering: packed, the
        // second non-empty slot (not the empty one).
        {FIND, "GAP.DAT", {"SCENE_001.DAT", 3 * 2 + 2, {'A', 'B'}, "001.DAT"}, 0, NO_FAULT, 1, 0, 0, NUMBERING_PACKED,
         LAYOUT_RAW},
        {LIST, "EMPTIES.DAT", none, 0},
        {LIST, "CUTTABLE.DAT", none, 3},  // two heads of zeros: kind 0 without a size
        {FIND, "GOOD.DAT", bitmap, 5, FAULT_WORK, 1},
        {FIND, "GOOD.DAT", bitmap, 5, FAULT_WORK, 2},
        {FIND, "/nonexistent/GOOD.DAT", bitmap, 6},
        {FIND, "GOOD.DAT", bitmap, 6, FAULT_OPEN},
        {TO_DISK, "GOOD.DAT", bitmap, 1, NO_FAULT, 1, 0x200},  // output kind 2
        {TO_DISK, "GOOD.DAT", bitmap, 1, NO_FAULT, 1, 0x400},  // output kind 4
        {TO_DISK, "GOOD.DAT", bitmap, 1, FAULT_HOST_ALLOC, 1, 0x200},  // refused before any block is asked for
        {TO_DISK, "BAD.DAT", {"SCENE~001.DAT", 3}, 3, NO_FAULT, 1, 0x200},  // the record's code comes first
        {FIND, "SCANNED.DAT", scanned, 0, NO_FAULT, 1, 0, 1},
        {FIND, "SCANNED.DAT", scanned, 5, FAULT_WORK, 3, 0, 1},  // the scan's piece: never a scan of a missing one
        {TO_DISK, "GOOD.DAT", bitmap, 0, NO_FAULT, 1, 0x800},  // bit 11 is no part of the output kind
        {TO_DISK, "GOOD.DAT", bitmap, 1, FAULT_CREATE},
        {TO_DISK, "GOOD.DAT", emptySlot, 1, FAULT_CREATE},
        {TO_DISK, "GOOD.DAT", bitmap, 1, FAULT_WRITE},
        {TO_DISK, "GOOD.DAT", bitmap, 1, FAULT_SET_END},
        {TO_DISK, "GOOD.DAT", bitmap, 1, FAULT_CLOSE},  // after good writes
        {TO_DISK, "GOOD.DAT", bitmap, 5, FAULT_WORK, 3},  // the window the content goes through
    };
    for (Call call : {TO_MEMORY, TO_DISK}) {
        rows.insert(rows.end(), {
            {call, "GOOD.DAT", bitmap, 0},
            {call, "GOOD.DAT", emptySlot, 0},
            {call, "GOOD.DAT", bitmap, 1, NO_FAULT, 1, 3},
            {call, "TEXT.TXT", bitmap, 2},
            {call, "EMPTIES.DAT", {"SCENE~001.DMY", 3}, 0},
            {call, "GOOD.DAT", {"SCENE~005.DAT", 3 * 5}, 2},
            {call, "GOOD.DAT", {"", -1}, 2},
            {call, "BAD.DAT", {"SCENE~001.DAT", 3}, 3},
            {call, "BAD.DAT", {"SCENE~002.DAT", 6}, 3},
            {call, "BAD.DAT", {"SCENE~003.DAT", 9}, 4},  // a declared gigabyte
            {call, "GOOD.DAT", bitmap, 5, FAULT_WORK, 1},
            {call, "GOOD.DAT", bitmap, 5, FAULT_WORK, 2},
            {call, "/nonexistent/GOOD.DAT", bitmap, 6},
            {call, "GOOD.DAT", bitmap, 6, FAULT_OPEN},
        });
    }
    rows.insert(rows.end(), {
        {TO_MEMORY, "GOOD.DAT", bitmap, 4, FAULT_HOST_ALLOC},
        {TO_MEMORY, "GOOD.DAT", bitmap, 5, FAULT_HOST_LOCK},
    });
    for (Call call : {LIST, FIND, TO_MEMORY, TO_DISK}) {
        for (const char* path : {"ONE.DAT", "THREE.DAT"}) rows.push_back({call, path, {"SCENE~000.DAT"}, 2});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "call " << row.call << " on " << row.path << " '" << row.target.name
                                          << "' flags " << row.flags << " fault " << row.fault << " #" << row.n);
        state.memory.entryLayout = static_cast<EntryLayout>(row.check ? LAYOUT_KIND_ONLY : row.layout);
        state.settings.CheckMode = row.check;
        state.settings.NumberingMode = static_cast<EntryNumbering>(row.numbering);
        if (row.fault != NO_FAULT) FaultCountdown(nativeFaults, row.fault) = row.n;
        EXPECT_EQ(Run(row.call, row.path, row.target, row.flags), row.code);
    }
    state.settings.CheckMode = 0;
    state.memory.entryLayout = LAYOUT_KIND_SIZE;

    // Output the call does not offer (kinds 2 to 7, memory output with no
    // handle variable to put the block in) is refused before any block or
    // output buffer is made: only the table and the head's window are read.
    const Bytes good = Build(kGood, test_archive::Layout::KindSize);
    for (unsigned flags : {0x100u, 0x200u, 0x300u, 0x700u}) {
        HostBlock handle = nullptr;
        NativeResetPeaks();
        char* destination = flags == 0x100 ? nullptr : (char*)&handle;
        EXPECT_EQ(ExtractEntry(&state, "GOOD.DAT", 0, 3 * 3, destination, flags), RESULT_UNSUPPORTED_FLAGS) << flags;
        EXPECT_EQ(NativePeakBytes().hostBytes, 0u) << flags;
        EXPECT_LE(NativePeakBytes().workBytes, 4 * 5 + 32 + good.size()) << flags;
        EXPECT_EQ(NativeCountOutstanding().hostBlocks, 0);
    }

    // A lookup without a name or a record.
    EntryInfo info;
    EXPECT_EQ(FindEntry(&state, "GOOD.DAT", 0, nullptr, 0, &info), RESULT_NOT_ARCHIVE);
    EXPECT_EQ(FindEntry(&state, "GOOD.DAT", 0, "SCENE~000.BMP", 0, nullptr), RESULT_NOT_ARCHIVE);

    // An archive that begins 37 bytes into its file lists, looks up and
    // extracts as it does on its own.
    offset = 37;
    std::vector<EntryInfo> shifted, alone;
    EXPECT_EQ(Run(LIST, "OFFSET.DAT", none, 0, true, &shifted), 0);
    for (Call call : {FIND, TO_MEMORY, TO_DISK})
        EXPECT_EQ(Run(call, "OFFSET.DAT", {"SCENE-004.DAT", 3 * 4 + 1, kGood[4].content}), 0) << "call " << call;
    offset = 0;
    EXPECT_EQ(Run(LIST, "GOOD.DAT", none, 0, true, &alone), 0);
    EXPECT_TRUE(shifted.size() == alone.size() &&
                !memcmp(shifted.data(), alone.data(), alone.size() * sizeof(EntryInfo)));

    // The probe validates in its own mode: an archive the listing refuses
    // (compressed content of no known kind, no full scans) is accepted, and
    // the layout is left as it was.
    state.memory.entryLayout = LAYOUT_KIND_SIZE;
    const Bytes unknown = Build({test_archive::Compressed(Content("abc", 120))}, test_archive::Layout::KindOnly);
    EXPECT_EQ(ProbeArchive(&state, "UNKNOWN.DAT", unknown.data(), (int32_t)unknown.size()), 1);
    EXPECT_EQ(state.memory.entryLayout, LAYOUT_KIND_SIZE);
}

TEST_F(Calls, FaultSweepOverMemoryFiles) { Sweep("GOOD.DAT"); }

// The stdio side of the seam: an archive file on disk, probed with its first
// bytes as a host reads them, and disk output into a real directory. Names
// are relative to the archive's directory: a base name is cut at '\' only.
TEST_F(Calls, FaultSweepOverRealFileAndDirectory)
{
    temp = fs::temp_directory_path() / ("morquent-calls-" + std::to_string(getpid()));
    fs::create_directories(temp / "out");
    fs::current_path(temp);
    const Bytes archive = Build(kGood, test_archive::Layout::KindSize);
    std::ofstream("SCENE.DAT", std::ios::binary).write((const char*)archive.data(), (std::streamsize)archive.size());

    strcpy(state.memory.archiveBaseName, "OTHER");
    const int32_t probed = (int32_t)std::min<size_t>(archive.size(), PROBE_SIZE);
    ASSERT_EQ(ProbeArchive(&state, "SCENE.DAT", archive.data(), probed), 1);
    EXPECT_STREQ(state.memory.archiveBaseName, "SCENE");
    NativeSetMemoryOutput(false);
    realOutput = true;
    Sweep("SCENE.DAT");

    // A directory that does not exist cannot take the file.
    outDir = "missing";
    state.memory.entryLayout = LAYOUT_KIND_SIZE;
    EXPECT_EQ(Run(TO_DISK, "SCENE.DAT", {"SCENE~000.BMP", 0, kGood[0].content}), RESULT_UNSUPPORTED_FLAGS);
}

// A 64 MiB entry goes out to memory and to disk with at most 256 KiB of
// working buffers (and no host block for disk): the stored entry is read and
// expanded in pieces, also when it has to be scanned whole for its size.
TEST_F(Calls, LargeEntryTakesBoundedWorkingMemory)
{
    // "abcdefgh", then groups of eight 18-byte references 8 bytes back.
    const size_t size = 64 << 20;
    Bytes stream = {0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    size_t decoded = 8;
    while (decoded < size) {
        stream.push_back(0xFF);
        for (int k = 0; k < 8; k++, decoded += 18) {
            uint32_t ringPos = (uint32_t)(LZSS_RING_START + decoded - 8) & 4095;
            stream.insert(stream.end(), {(uint8_t)ringPos, (uint8_t)((ringPos >> 8) << 4 | 15)});
        }
    }
    // Kind-and-size heads declare the size; a kind-only head makes it scanned.
    const struct {
        test_archive::Layout layout;
        int32_t layoutState;
        size_t fileSize;
    } archives[] = {{test_archive::Layout::KindSize, LAYOUT_KIND_SIZE, size}, {test_archive::Layout::KindOnly, LAYOUT_KIND_ONLY, decoded}};
    for (const auto& a : archives) {
        Bytes stored = a.layout == test_archive::Layout::KindSize ? Bytes{1, 0, 0, 0, 0, 4} : Bytes{1, 0};
        stored.insert(stored.end(), stream.begin(), stream.end());
        Serve("HUGE.DAT", Build({test_archive::Stored(stored)}, a.layout));
        // The listing and the lookup size a scanned entry reading it in pieces too.
        for (Call call : {LIST, FIND}) {
            if (a.layout != test_archive::Layout::KindOnly) break;
            state.memory.entryLayout = static_cast<EntryLayout>(a.layoutState);
            state.settings.CheckMode = 1;
            NativeResetPeaks();
            std::vector<EntryInfo> listed;
            EXPECT_EQ(Run(call, "HUGE.DAT", {"SCENE~000.DAT", 0, Bytes(a.fileSize)}, 0, call == FIND, &listed), 0);
            if (call == LIST) EXPECT_EQ(listed.at(0).fileSize, a.fileSize);
            EXPECT_LE(NativePeakBytes().workBytes, 256u << 10) << "call " << call;
        }
        for (Call call : {TO_MEMORY, TO_DISK}) {
            SCOPED_TRACE(::testing::Message() << "layout " << a.layoutState << " call " << call);
            state.memory.entryLayout = static_cast<EntryLayout>(a.layoutState);
            state.settings.CheckMode = 1;
            NativeResetPeaks();
            HostBlock handle = nullptr;
            int code = call == TO_MEMORY ? ExtractEntry(&state, "HUGE.DAT", 0, 0, (char*)&handle, 0x100)
                                         : ExtractEntry(&state, "HUGE.DAT", 0, 0, (char*)"out", 0);
            ASSERT_EQ(code, 0);
            const NativePeaks peak = NativePeakBytes();
            EXPECT_LE(peak.workBytes, 256u << 10);
            EXPECT_EQ(peak.hostBytes, call == TO_MEMORY ? a.fileSize : 0);
            size_t got = 0;
            const uint8_t* bytes = call == TO_MEMORY ? (const uint8_t*)HostLock(handle)
                                                     : NativeMemoryOutput("out/SCENE~000.DAT", &got);
            if (call == TO_MEMORY) got = NativeHostBlockSize(handle);
            ASSERT_TRUE(bytes);
            ASSERT_EQ(got, a.fileSize);
            size_t wrong = 0;
            for (size_t i = 0; i < got; i++) wrong += bytes[i] != 'a' + i % 8;
            EXPECT_EQ(wrong, 0u);
            if (handle) HostFree(handle);
            NativeClearMemoryOutput();
        }
    }
}

// The last entry of archives that are hard on sizes and places, listed,
// looked up and extracted alike (full scans on, numbering that keeps the
// slot numbers). A scanned entry (kind-only heads, compressed content of no
// known kind, or a PNG, which announces no size) is sized over its whole
// stored length, what the file lacks read as zeros, so that an archive cut
// short gives the stream's expansion over the zero-filled stored bytes.
TEST_F(Calls, LastEntryListsLooksUpAndExtractsAlike)
{
    using test_content::Cat;
    using test_content::Head;
    struct Row {
        const char* what;
        Bytes archive;
        Bytes content;
        int32_t layout;  // after the listing
    };
    // Whole groups of literals from stream byte 10 on, after a first group of
    // a reference and seven literals; as many bytes as `length`.
    auto stream = [](size_t length) {
        Bytes s = {0x01, 0, 0, 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
        while (s.size() < length) s.push_back((s.size() - 10) % 9 ? (uint8_t)('a' + s.size() % 26) : 0);
        return s;
    };
    // Exactly two read pieces, the second beginning as a compressed bitmap
    // would (stream bytes 1-2 of its head 'B' 'M'): a record built from the
    // wrong piece would show it.
    Bytes twoPieces = stream(2 * ENTRY_PIECE_SIZE - 2);
    twoPieces[ENTRY_PIECE_SIZE + 1] = 'B';
    twoPieces[ENTRY_PIECE_SIZE + 2] = 'M';
    auto expand = [](const Bytes& s) {
        Bytes out((size_t)ReferenceLzssDecodedSize(s.data(), (uint32_t)s.size()));
        ReferenceLzssDecode(s.data(), (uint32_t)s.size(), out.data(), (uint32_t)out.size());
        return out;
    };
    const Bytes png = test_content::Png(300, 4);
    std::vector<Row> rows = {
        {"six literals stored, the sixth cut off", {1, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, Bytes(6, 0),
         LAYOUT_KIND_ONLY},
        {"a six-byte head whose eighth literal is cut off",
         {1, 0, 0, 0, 15, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 'A', 'B', 'C', 'D', 'E', 'F', 'G'},
         {'A', 'B', 'C', 'D', 'E', 'F', 'G', 0}, LAYOUT_KIND_SIZE},
        {"a compressed PNG, sized by the scan", Build({test_archive::Compressed(png)}, test_archive::Layout::KindOnly), png,
         LAYOUT_KIND_ONLY},
        {"two pieces exactly", Build({test_archive::Stored(Cat({Head(1), twoPieces}))}, test_archive::Layout::KindOnly),
         expand(twoPieces), LAYOUT_KIND_ONLY},
        {"a stored entry whose content size is 0",
         Build({test_archive::Stored(Cat({Head(0), Content("BM", 40)})), test_archive::Stored(Head(0))}, test_archive::Layout::KindOnly),
         {}, LAYOUT_KIND_ONLY},
        // Offsets past 2^31: the last slot lies past the end of the file (a
        // 32-bit sum would put it at byte 14).
        {"sizes near 2^31 before it",
         Cat({test_content::Le32(3), test_content::Le32(0x7FFFFFFF), test_content::Le32(0x7FFFFFFF),
              test_content::Le32(10), Content("BM", 8)}),
         Bytes(10, 0), LAYOUT_RAW},
    };
    // Every cut of a plain entry and a scanned one with references: against
    // the byte-loop reference over the stored bytes, the missing ones zero.
    const Bytes text = test_content::Make(test_content::TEXT, 300, 3);
    const Bytes stored = Cat({Head(1), {0}, {'Z', 'Z', 'Z'}, LzssEncode(text)});
    const Bytes whole = Build({test_archive::Stored(Cat({Head(0), Content("BM", 20)})), test_archive::Stored(stored)},
                              test_archive::Layout::KindOnly);
    for (size_t cut = whole.size() - stored.size() + 1; cut <= whole.size(); cut++) {  // from the kind's first byte on
        Bytes zeroFilled(whole.begin() + (ptrdiff_t)(whole.size() - stored.size()), whole.begin() + (ptrdiff_t)cut);
        zeroFilled.resize(stored.size(), 0);
        rows.push_back({"cut", Bytes(whole.begin(), whole.begin() + (ptrdiff_t)cut),
                        expand(Bytes(zeroFilled.begin() + 2, zeroFilled.end())), LAYOUT_KIND_ONLY});
    }
    // A last entry of an odd stored length cut inside its kind: the head byte
    // the file lacks is no part of the stream from byte 2 (19 zeros, two groups
    // of a flag and eight literals and a lone flag, scan to 16 bytes; 20 would
    // scan to 17).
    const Bytes odd = Build({test_archive::Stored(Cat({Head(0), Content("BM", 20)})), test_archive::Stored(Cat({Head(1), Bytes(19, 'q')}))},
                            test_archive::Layout::KindOnly);
    rows.push_back({"an odd-length entry cut inside its kind", Bytes(odd.begin(), odd.end() - 20), Bytes(16, 0),
                    LAYOUT_KIND_ONLY});
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.what << ", " << row.archive.size() << " bytes");
        Serve("CUT.DAT", row.archive);
        state.settings.CheckMode = 1;
        state.settings.NumberingMode = NUMBERING_KEEP;
        std::vector<EntryInfo> listed;
        ASSERT_EQ(Run(LIST, "CUT.DAT", {}, 0, true, &listed), 0);
        EXPECT_EQ(state.memory.entryLayout, row.layout);
        const EntryInfo& last = listed.back();
        EXPECT_EQ(last.fileSize, row.content.size());
        const Target t = {last.fileName, (int64_t)last.position, row.content};
        for (Call call : {FIND, TO_MEMORY, TO_DISK}) EXPECT_EQ(Run(call, "CUT.DAT", t), 0) << "call " << call;
    }
}

// Extraction reads entries in pieces and writes disk output through a window;
// what it delivers must be what expanding the whole stored entry at once
// gives, by the size the listing found reading it whole: copies and streams
// over several pieces, references cut by the window's end, a declared size
// past the stream's end (zeros after it, not the decoder's scratch bytes),
// an entry cut by the end of the file.
TEST_F(Calls, PiecewiseExtractionEqualsWholeExpansion)
{
    // 'x', then 18-byte repeats of it until the content passes `end`: the last
    // reference straddles `end` when end + 1 is not a multiple of 18 apart.
    auto straddling = [](size_t end) {
        Bytes s;
        size_t decoded = 1;
        for (size_t t = 0; decoded <= end; t++) {
            if (t % 8 == 0) s.push_back(t ? 0xFF : 0xFE);
            if (t == 0) {
                s.push_back('x');
                continue;
            }
            uint32_t ringPos = (uint32_t)(LZSS_RING_START + decoded - 1) & 4095;
            s.insert(s.end(), {(uint8_t)ringPos, (uint8_t)((ringPos >> 8) << 4 | 15)});
            decoded += 18;
        }
        return std::make_pair(s, decoded);
    };
    // 32 literals, then a group whose last token is a 3-byte reference from 16
    // back (the fast loop copies 32 bytes for it), then 15 more literals: too
    // few to overwrite those scratch bytes before the stream ends.
    Bytes scratch;
    for (int k = 0; k < 40; k++) {
        if (k % 8 == 0) scratch.push_back(k == 32 ? 0x80 : 0);
        if (k < 39) scratch.push_back((uint8_t)('A' + k));
    }
    const uint32_t ringPos = (LZSS_RING_START + 39 - 16) & 4095;
    scratch.insert(scratch.end(), {(uint8_t)ringPos, (uint8_t)((ringPos >> 8) << 4)});
    scratch.insert(scratch.end(), {0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0, 'i', 'j', 'k', 'l', 'm', 'n', 'o'});
    const size_t windowEnd = 4096 + 64 * 1024;
    std::vector<std::pair<Bytes, size_t>> streams = {straddling(windowEnd), straddling(windowEnd + 8), {scratch, 57}};
    for (int kind : {test_content::TEXT, test_content::RANDOM}) {
        Bytes content = test_content::Make(kind, 150000 + 70000 * kind, 5);
        streams.push_back({LzssEncode(content), content.size()});
    }
    for (test_archive::Layout layout : {test_archive::Layout::KindSize, test_archive::Layout::KindOnly}) {
        std::vector<test_archive::Entry> entries;
        std::vector<Bytes> stored;
        for (size_t i = 0; i < streams.size(); i++) {
            // Entries 1 and 2 declare more than their streams give.
            int32_t declared = (int32_t)(streams[i].second + 99999 * (i == 1 || i == 2));
            Bytes head = layout == test_archive::Layout::KindSize ? test_content::Head(1, declared) : test_content::Head(1);
            stored.push_back(test_content::Cat({head, streams[i].first}));
        }
        stored.push_back(test_content::Cat({test_content::Head(0, 200000), test_content::Make(test_content::PHOTO, 200000, 6)}));
        stored.push_back(stored[3]);  // cut by the end of the file below
        if (layout == test_archive::Layout::KindOnly) stored.back()[0] = 0;
        for (const Bytes& b : stored) entries.push_back(test_archive::Stored(b));
        Bytes archive = Build(entries, layout);
        archive.resize(archive.size() - 50000);
        const uint32_t cutStoredSize = (uint32_t)stored.back().size();
        stored.back().resize(stored.back().size() - 50000);
        Serve("PIECES.DAT", archive);

        state.settings.CheckMode = 1;
        state.settings.NumberingMode = NUMBERING_KEEP;
        std::vector<EntryInfo> listed;
        ASSERT_EQ(Run(LIST, "PIECES.DAT", {}, 0, true, &listed), 0);
        ASSERT_EQ(listed.size(), stored.size());
        const int32_t detected = state.memory.entryLayout;
        for (size_t i = 0; i < stored.size(); i++) {
            SCOPED_TRACE(::testing::Message() << "layout " << detected << " entry " << i);
            // From the byte-loop reference: the payload after the head, over
            // the stored size with what the file lacks as zeros, expanded
            // (kind 1) or copied, then zeros to the content size.
            Bytes payload = stored[i];
            payload.resize(i + 1 == stored.size() ? cutStoredSize : payload.size(), 0);
            payload.erase(payload.begin(), payload.begin() + (detected == LAYOUT_KIND_SIZE ? 6 : 2));
            Bytes expected(listed[i].fileSize);
            if (stored[i][0] == 1) {
                ReferenceLzssDecode(payload.data(), (uint32_t)payload.size(), expected.data(), (uint32_t)expected.size());
            } else {
                std::copy_n(payload.begin(), std::min(payload.size(), expected.size()), expected.begin());
            }
            for (Call call : {TO_MEMORY, TO_DISK}) {
                state.memory.entryLayout = static_cast<EntryLayout>(detected);
                EXPECT_EQ(Run(call, "PIECES.DAT", {listed[i].fileName, listed[i].position, expected}), 0);
            }
        }
    }

    // Under kind-only heads, a stream that carries a six-byte head after all:
    // the scan from byte 6, over several pieces, finds the declared size and
    // raises the layout.
    const auto& [stream, size] = streams.back();
    Serve("RAISE.DAT", Build({test_archive::Stored(test_content::Cat({test_content::Head(1, (int32_t)size), stream}))},
                             test_archive::Layout::KindOnly));
    Bytes content(size);
    LzssDecode(stream.data(), (uint32_t)stream.size(), content.data(), (uint32_t)size);
    for (Call call : {TO_MEMORY, TO_DISK}) {
        state.memory.entryLayout = LAYOUT_KIND_ONLY;
        EXPECT_EQ(Run(call, "RAISE.DAT", {"SCENE~000.DAT", 0, content}), 0);
        EXPECT_EQ(state.memory.entryLayout, LAYOUT_KIND_SIZE);
    }
}

}  // namespace
