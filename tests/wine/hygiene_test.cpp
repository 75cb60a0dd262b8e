// Resource hygiene of the archive calls, measured through the real
// morquent.spi: thousands of mixed calls must leave the process's open handles
// and its memory where they were, and nothing may keep an archive open after a
// call returns. Every detector is also shown to fire on a deliberate leak.
//
// How the process is measured: see resource_meter.h.
#include <gtest/gtest.h>

#include "plugin_loader.h"
#include "tools/spihost/registry_settings.h"
#include "resource_meter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive/entry.h"
#include "tests/support/archive_builder.h"
#include "tests/support/test_content.h"

using namespace testing_plugin;
using namespace test_content;

namespace {

// ---------------------------------------------------------------------------
// Fixtures: archives written at run time into a directory of their own

struct Files {
    std::string dir, out;
    std::string raw, kindSize, kindOnly, shortFile, notArchive, badTable, damaged, missing;
};

std::string WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    return testing_plugin::WriteBytes(path, bytes.data(), bytes.size());
}

test_archive::Options In(test_archive::Layout layout)
{
    test_archive::Options options;
    options.layout = layout;
    return options;
}

Files WriteFixtures(const std::string& tag)
{
    using namespace test_archive;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    Files f;
    f.dir = std::string(temp) + "morquent-hygiene-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "\\";
    f.out = f.dir + "out";
    CreateDirectoryA(f.dir.c_str(), nullptr);
    CreateDirectoryA(f.out.c_str(), nullptr);

    // Raw: the first entry is a plain bitmap. A 70,000-byte entry makes the
    // memory output a block that is mapped on its own.
    f.raw = WriteBytes(f.dir + "RAW.DAT", BuildArchive({Plain(Bitmap(3000, 1)), Plain(Wave(2000, 2)), Empty(),
                                                       Plain(Text(100, 3)), Plain(Png(500, 4)),
                                                       Plain(Cat({Str("x"), Random(69999, 5)}))},
                                                      In(Layout::Raw)));
    // Kind and declared size: a compressed bitmap whose size field matches.
    f.kindSize = WriteBytes(f.dir + "KSIZE.DAT",
                           BuildArchive({Compressed(Bitmap(5000, 6)), Plain(Wave(3000, 7)), Empty(),
                                         Compressed(Text(100000, 8)), Compressed(Png(800, 9)), Plain(Text(10, 10))},
                                        In(Layout::KindSize)));
    // Kind only: compressed bitmaps and waves are sized from their headers.
    f.kindOnly = WriteBytes(f.dir + "KONLY.DAT",
                           BuildArchive({Compressed(Bitmap(4000, 11)), Empty(), Compressed(Wave(6000, 12)),
                                         Plain(Text(300, 13)), Compressed(Bitmap(80000, 14))},
                                        In(Layout::KindOnly)));
    // A file that ends 100 bytes into its last entry's stream: what is
    // missing reads as zero.
    std::vector<Entry> cutEntries = {Compressed(Bitmap(2000, 15)), Plain(Text(600, 16)), Compressed(Text(5000, 17))};
    Options cut = In(Layout::KindSize);
    cut.truncate = 4 + 4 * 3 + StoredBytes(cutEntries[0], Layout::KindSize).size() + 6 + 600 + 6 + 100;
    f.shortFile = WriteBytes(f.dir + "SHORT.DAT", BuildArchive(cutEntries, cut));
    f.notArchive = WriteBytes(f.dir + "README.TXT", Text(2000, 19));
    Entry negative = Plain(Text(40, 20));
    negative.storedSize = -40;
    f.badTable = WriteBytes(f.dir + "BADTABLE.DAT", BuildArchive({Plain(Text(40, 21)), negative}, In(Layout::Raw)));
    // Kind only, and the second entry a compressed stream of nothing
    // recognisable: with CheckMode 0 no record can be built for it.
    f.damaged = WriteBytes(f.dir + "DAMAGED.DAT",
                          BuildArchive({Compressed(Bitmap(3000, 22)), Compressed(Text(900, 23)), Plain(Text(20, 24))},
                                       In(Layout::KindOnly)));
    f.missing = f.dir + "MISSING.DAT";
    return f;
}

// Removes the fixtures and what extraction wrote; true when everything went.
bool RemoveFixtures(const Files& f)
{
    bool ok = true;
    for (const std::string& path : {f.raw, f.kindSize, f.kindOnly, f.shortFile, f.notArchive, f.badTable, f.damaged})
        ok &= DeleteFileA(path.c_str()) != 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((f.out + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ok &= DeleteFileA((f.out + "\\" + found.cFileName).c_str()) != 0;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    ok &= RemoveDirectoryA(f.out.c_str()) != 0;
    ok &= RemoveDirectoryA(f.dir.c_str()) != 0;
    return ok;
}

// ---------------------------------------------------------------------------
// Calls through the plug-in

Exports plugin;
SavedSettings savedSettings;

// ToMemory is GetFile with the address of a handle variable as destination
// (memory output, or another output kind that must leave the variable alone);
// ToDisk is GetFile with a directory.
enum class Call { Probe, ProbeHandle, List, Lookup, ToMemory, ToDisk };
const char* const CALL_NAMES[] = {"IsSupported", "IsSupported(handle)", "GetArchiveInfo", "GetFileInfo",
                                  "GetFile(memory)", "GetFile(disk)"};

// One call with its arguments and the result it must give. Everything is
// prepared up front, so running a step allocates nothing that outlives it.
struct Step {
    Call call;
    std::string path;
    std::string moved;  // where the rename check puts the file for a moment
    LONG_PTR argument = 0;  // offset, or position for GetFile
    std::string name;       // entry name for the lookup
    unsigned flags = 0;
    int expected = 0;
    std::vector<uint8_t> head;  // the file's first 2,048 bytes, for the probe
    bool exists = true;
    std::string outDir;
};

const HLOCAL GARBAGE = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xBAADF00D));

// Runs one step. Returns an empty string when the result and the host's
// handle variable are as they must be, else what was wrong (in a fixed
// buffer: a failing loop must not allocate more than it reports).
const char* Perform(const Step& s)
{
    static char problem[300];
    int result = -99;
    HLOCAL handle = GARBAGE;
    bool handleOk = true;
    switch (s.call) {
    case Call::Probe:
        result = plugin.IsSupported(s.path.c_str(), reinterpret_cast<DWORD_PTR>(s.head.data()));
        break;
    case Call::ProbeHandle: {
        HANDLE file = CreateFileA(s.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        result = plugin.IsSupported(s.path.c_str(), reinterpret_cast<DWORD_PTR>(file));
        CloseHandle(file);
        break;
    }
    case Call::List:
        result = plugin.GetArchiveInfo(s.path.c_str(), s.argument, s.flags, &handle);
        // A list block on success, a null handle on every failure.
        handleOk = result == 0 ? handle != nullptr && handle != GARBAGE : handle == nullptr;
        if (result == 0 && handleOk) LocalFree(handle);
        break;
    case Call::Lookup: {
        EntryInfo info;
        result = plugin.GetFileInfo(s.path.c_str(), s.argument, s.name.c_str(), s.flags, &info);
        break;
    }
    case Call::ToMemory:
        result = plugin.GetFile(s.path.c_str(), s.argument, reinterpret_cast<LPSTR>(&handle), s.flags, nullptr, 0);
        if (((s.flags >> 8) & 7) == 1) {
            // Memory output: the host's variable gets the block (null for an
            // entry without content) or, on failure, a null handle.
            handleOk = handle != GARBAGE && (result == 0 || handle == nullptr);
        } else {
            handleOk = handle == GARBAGE;  // any other output kind leaves it alone
        }
        if (result == 0 && handle && handle != GARBAGE) LocalFree(handle);
        break;
    case Call::ToDisk:
        result = plugin.GetFile(s.path.c_str(), s.argument, const_cast<LPSTR>(s.outDir.c_str()), s.flags, nullptr, 0);
        break;
    }
    if (result == s.expected && handleOk) return "";
    snprintf(problem, sizeof problem, "%s on %s (argument %ld, name '%s', flags 0x%x): result %d, expected %d%s",
             CALL_NAMES[(int)s.call], s.path.c_str(), (long)s.argument, s.name.c_str(), s.flags, result, s.expected,
             handleOk ? "" : ", wrong handle variable");
    return problem;
}

// True when the file can be renamed away and back, that is when nothing holds
// it open: a handle opened without FILE_SHARE_DELETE, as the plug-in opens
// archives, makes the rename fail with a sharing violation.
bool CanRename(const Step& s)
{
    if (!s.exists) return true;
    if (!MoveFileA(s.path.c_str(), s.moved.c_str())) return false;
    return MoveFileA(s.moved.c_str(), s.path.c_str()) != 0;
}

Step MakeStep(Call call, const std::string& path, int expected, LONG_PTR argument = 0, unsigned flags = 0,
              const std::string& name = "")
{
    Step s;
    s.call = call;
    s.path = path;
    s.moved = path + ".moved";
    s.expected = expected;
    s.argument = argument;
    s.flags = flags;
    s.name = name;
    s.exists = GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (call == Call::Probe) s.head = FirstBytes(path);
    return s;
}

const unsigned TO_MEMORY = 0x100, TO_DISK = 0;

// The records of a listing made now, through the plug-in.
std::vector<EntryInfo> Records(const std::string& path)
{
    std::vector<uint8_t> head = FirstBytes(path);
    plugin.IsSupported(path.c_str(), reinterpret_cast<DWORD_PTR>(head.data()));
    HLOCAL block = nullptr;
    std::vector<EntryInfo> records;
    if (plugin.GetArchiveInfo(path.c_str(), 0, 0, &block) != 0) return records;
    const EntryInfo* r = static_cast<const EntryInfo*>(LocalLock(block));
    for (; r->method[0]; r++) records.push_back(*r);
    LocalUnlock(block);
    LocalFree(block);
    return records;
}

// The mixed script: for every good archive a probe, a listing, and for every
// entry a lookup by name and extractions to memory and to disk (also under
// the other two numbering modes' positions); then the failure paths.
std::vector<Step> Script(const Files& f)
{
    std::vector<Step> script;
    for (const std::string& path : {f.raw, f.kindSize, f.kindOnly, f.shortFile}) {
        std::vector<EntryInfo> records = Records(path);
        EXPECT_GE(records.size(), 3u) << path;
        script.push_back(MakeStep(Call::Probe, path, 1));
        script.push_back(MakeStep(Call::List, path, 0));
        for (size_t i = 0; i < records.size(); i++) {
            const EntryInfo& r = records[i];
            LONG_PTR position = (LONG_PTR)r.position;
            script.push_back(MakeStep(Call::Lookup, path, 0, 0, 0, r.fileName));
            script.push_back(MakeStep(Call::ToMemory, path, 0, position, TO_MEMORY));
            script.push_back(MakeStep(Call::ToMemory, path, 0, position + 1 + (LONG_PTR)(i % 2), TO_MEMORY));
            Step disk = MakeStep(Call::ToDisk, path, 0, position, TO_DISK);
            disk.outDir = f.out;
            script.push_back(disk);
        }
        script.push_back(MakeStep(Call::ProbeHandle, path, 1));
    }
    // Failure paths, each through all three calls where it applies.
    script.push_back(MakeStep(Call::Probe, f.notArchive, 0));
    script.push_back(MakeStep(Call::List, f.notArchive, 2));
    script.push_back(MakeStep(Call::Lookup, f.notArchive, 2, 0, 0, "README~000.DAT"));
    script.push_back(MakeStep(Call::ToMemory, f.notArchive, 2, 0, TO_MEMORY));
    script.push_back(MakeStep(Call::List, f.badTable, 2));
    script.push_back(MakeStep(Call::ToMemory, f.badTable, 2, 0, TO_MEMORY));
    script.push_back(MakeStep(Call::List, f.missing, 6));
    script.push_back(MakeStep(Call::Lookup, f.missing, 6, 0, 0, "MISSING~000.DAT"));
    script.push_back(MakeStep(Call::ToMemory, f.missing, 6, 0, TO_MEMORY));
    script.push_back(MakeStep(Call::Probe, f.damaged, 1));
    script.push_back(MakeStep(Call::List, f.damaged, 3));  // leaves the kind-only layout in force
    script.push_back(MakeStep(Call::Lookup, f.damaged, 3, 0, 0, "DAMAGED~001.DAT"));
    script.push_back(MakeStep(Call::ToMemory, f.damaged, 3, 3, TO_MEMORY));
    script.push_back(MakeStep(Call::ToMemory, f.damaged, 2, 9, TO_MEMORY));  // no slot 3
    script.push_back(MakeStep(Call::ToMemory, f.damaged, 1, 0, 0x200));      // output kind 2
    script.push_back(MakeStep(Call::List, f.damaged, 1, 0, 1));              // input kind 1
    return script;
}

// ---------------------------------------------------------------------------
// The measured loop

struct LoopReport {
    int calls = 0;
    int perCall[6] = {};  // by Call
    int wrongResults = 0;
    int keptOpen = 0;  // calls after which the archive could not be renamed
    std::string firstProblem;
    Usage before, after;
};

// Runs the script once to warm up (first-use allocations of the C runtime,
// Wine and the plug-in), then `calls` steps of it round and round between two
// measurements. After every step the archive is renamed away and back, and
// `afterCall` (the deliberate leaks) runs with the call's number.
LoopReport RunMeasured(const std::vector<Step>& script, int calls, const std::function<void(int)>& afterCall)
{
    LoopReport report;
    for (const Step& s : script) {
        Perform(s);
        CanRename(s);
    }
    report.before = Measure();
    const char* firstProblem = nullptr;
    static char kept[300];
    for (int i = 0; i < calls; i++) {
        const Step& s = script[(size_t)i % script.size()];
        const char* problem = Perform(s);
        if (*problem) {
            if (!report.wrongResults++) firstProblem = problem;
        }
        if (!CanRename(s)) {
            if (!report.keptOpen++) snprintf(kept, sizeof kept, "%s kept open after call %d", s.path.c_str(), i);
            if (!firstProblem) firstProblem = kept;
        }
        if (afterCall) afterCall(i);
        report.calls++;
        report.perCall[(int)s.call]++;
    }
    report.after = Measure();
    if (firstProblem) report.firstProblem = firstProblem;
    return report;
}

void Print(const char* title, const LoopReport& r)
{
    Drift d = Compare(r.before, r.after);
    printf("[%s] %d calls, %d wrong results, %d times kept open\n ", title, r.calls, r.wrongResults, r.keptOpen);
    for (int c = 0; c < 6; c++) printf(" %s %d", CALL_NAMES[c], r.perCall[c]);
    printf("\n");
    printf("  before: %s\n  after:  %s\n", Describe(r.before).c_str(), Describe(r.after).c_str());
    printf("  drift:  %+ld handles, %+ld heap blocks, %+ld heap bytes, %+ld bytes committed\n", d.handles,
           d.heapBlocks, d.heapBytes, d.committed);
}

class Hygiene : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The tests want the defaults (CheckMode 0, NumberingMode 0) and put
        // back what was there.
        savedSettings = ReadSettings();
        PutSettings(0, 0);
        if (!plugin.module) plugin = LoadPlugin();
    }
    static void TearDownTestSuite() { RestoreSettings(savedSettings); }
    void SetUp() override
    {
        ASSERT_NE(nullptr, plugin.module) << "cannot load " << PluginPath();
        ASSERT_TRUE(plugin.IsSupported && plugin.GetArchiveInfo && plugin.GetFileInfo && plugin.GetFile);
        files = WriteFixtures(::testing::UnitTest::GetInstance()->current_test_info()->name());
        script = Script(files);
    }
    void TearDown() override { RemoveFixtures(files); }

    Files files;
    std::vector<Step> script;
};

TEST_F(Hygiene, TenThousandMixedCallsLeaveHandlesAndMemoryFlat)
{
    LoopReport r = RunMeasured(script, 10000, nullptr);
    Print("10,000 mixed calls", r);
    EXPECT_EQ(0, r.wrongResults) << r.firstProblem;
    EXPECT_EQ(0, r.keptOpen) << r.firstProblem;
    Drift d = Compare(r.before, r.after);
    EXPECT_EQ(0, d.handles);
    EXPECT_EQ(0, d.heapBlocks);
    EXPECT_EQ(0, d.heapBytes);
    EXPECT_LE(std::labs(d.committed), COMMIT_TOLERANCE);
    EXPECT_TRUE(d.Flat());
    // The handle probe sees every handle only while values stay below its bound.
    EXPECT_LT(r.after.highestHandle, HANDLE_PROBE_BOUND / 16);
    // Nothing holds the archives or the extracted files: all can be deleted.
    EXPECT_TRUE(RemoveFixtures(files));
}

// The same loop with one deliberate leak in its middle: each detector must
// report it, or the flat figures above would prove nothing.
TEST_F(Hygiene, EachDetectorReportsADeliberateLeak)
{
    const int calls = 1000;
    const std::string& archive = files.kindSize;

    HANDLE leakedFile = INVALID_HANDLE_VALUE;
    LoopReport handleLeak = RunMeasured(script, calls, [&](int i) {
        if (i == calls / 2)
            leakedFile = CreateFileA(archive.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    });
    Print("leaked file handle", handleLeak);
    Drift d = Compare(handleLeak.before, handleLeak.after);
    EXPECT_FALSE(d.Flat());
    EXPECT_EQ(1, d.handles);
    EXPECT_GT(handleLeak.keptOpen, 0);  // the rename check sees the open archive
    EXPECT_FALSE(DeleteFileA(archive.c_str()));
    CloseHandle(leakedFile);

    HLOCAL leakedBlock = nullptr;
    LoopReport blockLeak = RunMeasured(script, calls, [&](int i) {
        if (i == calls / 2) leakedBlock = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 64 * 1024);
    });
    Print("leaked 64 KiB local block", blockLeak);
    d = Compare(blockLeak.before, blockLeak.after);
    EXPECT_FALSE(d.Flat());
    EXPECT_EQ(0, d.handles);
    EXPECT_EQ(1, d.heapBlocks);
    EXPECT_EQ(64 * 1024, d.heapBytes);
    EXPECT_GT(d.committed, COMMIT_TOLERANCE);  // the commit check alone would catch it
    LocalFree(leakedBlock);

    void* leakedBuffer = nullptr;
    LoopReport bufferLeak = RunMeasured(script, calls, [&](int i) {
        if (i == calls / 2) leakedBuffer = malloc(50);  // a listing's head buffer
    });
    Print("leaked 50-byte malloc buffer", bufferLeak);
    d = Compare(bufferLeak.before, bufferLeak.after);
    EXPECT_FALSE(d.Flat());
    EXPECT_EQ(1, d.heapBlocks);
    EXPECT_EQ(50, d.heapBytes);
    free(leakedBuffer);

    // With the leaks released the same loop is flat again.
    LoopReport clean = RunMeasured(script, calls, nullptr);
    EXPECT_TRUE(Compare(clean.before, clean.after).Flat()) << Describe(clean.after);
    EXPECT_EQ(0, clean.wrongResults) << clean.firstProblem;
}

// Every failure path of the three calls, repeated: nothing stays behind,
// and the host's handle variable holds a null handle where the call owns it.
TEST_F(Hygiene, EveryFailurePathReleasesEverything)
{
    const Files& f = files;
    Step noDirectory = MakeStep(Call::ToDisk, f.kindSize, 1, 0, TO_DISK);
    noDirectory.outDir = f.dir + "no such directory";
    struct Case {
        const char* what;
        std::vector<Step> steps;  // a listing first where the layout matters
    } cases[] = {
        {"list: input kind 1", {MakeStep(Call::List, f.raw, 1, 0, 1)}},
        {"list: missing file", {MakeStep(Call::List, f.missing, 6)}},
        {"list: not an archive", {MakeStep(Call::List, f.notArchive, 2)}},
        {"list: negative size", {MakeStep(Call::List, f.badTable, 2)}},
        {"list: unbuildable entry", {MakeStep(Call::List, f.damaged, 3)}},
        {"lookup: input kind 1", {MakeStep(Call::Lookup, f.raw, 1, 0, 1, "RAW~000.BMP")}},
        {"lookup: missing file", {MakeStep(Call::Lookup, f.missing, 6, 0, 0, "X~000.DAT")}},
        {"lookup: negative size", {MakeStep(Call::Lookup, f.badTable, 2, 0, 0, "X~000.DAT")}},
        {"lookup: not a number", {MakeStep(Call::Lookup, f.raw, 2, 0, 0, "RAW~0x1.BMP")}},
        {"lookup: no such entry", {MakeStep(Call::Lookup, f.raw, 2, 0, 0, "RAW~006.DAT")}},
        {"lookup: unbuildable entry",
         {MakeStep(Call::List, f.damaged, 3), MakeStep(Call::Lookup, f.damaged, 3, 0, 0, "DAMAGED~001.DAT")}},
        {"extract: input kind 1", {MakeStep(Call::ToMemory, f.raw, 1, 0, TO_MEMORY | 1)}},
        {"extract: missing file", {MakeStep(Call::ToMemory, f.missing, 6, 0, TO_MEMORY)}},
        {"extract: negative size", {MakeStep(Call::ToMemory, f.badTable, 2, 0, TO_MEMORY)}},
        {"extract: position past the table", {MakeStep(Call::ToMemory, f.raw, 2, 18, TO_MEMORY)}},
        {"extract: negative position", {MakeStep(Call::ToMemory, f.raw, 2, -1, TO_MEMORY)}},
        {"extract: unbuildable entry",
         {MakeStep(Call::List, f.damaged, 3), MakeStep(Call::ToMemory, f.damaged, 3, 3, TO_MEMORY)}},
        {"extract: output kind 2",
         {MakeStep(Call::List, f.kindSize, 0), MakeStep(Call::ToMemory, f.kindSize, 1, 9, 0x200)}},
        {"extract: output kind 7",
         {MakeStep(Call::List, f.kindSize, 0), MakeStep(Call::ToMemory, f.kindSize, 1, 9, 0x700)}},
        {"extract to disk: unbuildable entry",
         {MakeStep(Call::List, f.damaged, 3), MakeStep(Call::ToDisk, f.damaged, 3, 3, TO_DISK)}},
        {"extract to disk: no such directory", {MakeStep(Call::List, f.kindSize, 0), noDirectory}},
    };
    for (const Case& c : cases) {
        LoopReport r = RunMeasured(c.steps, 100, nullptr);
        Drift d = Compare(r.before, r.after);
        EXPECT_EQ(0, r.wrongResults) << c.what << ": " << r.firstProblem;
        EXPECT_EQ(0, r.keptOpen) << c.what;
        EXPECT_TRUE(d.Flat()) << c.what << ": " << d.handles << " handles, " << d.heapBlocks << " blocks, "
                              << d.heapBytes << " bytes, " << d.committed << " committed";
    }
}

}  // namespace
