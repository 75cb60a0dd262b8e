// Listing, lookup by name and extraction through the real morquent.spi.
#include "archive_fixture.h"

#include <cstring>
#include <string>
#include <vector>

#include "archive/lzss.h"
#include "writer/lzss_encoder.h"
#include "tests/support/test_content.h"

using namespace testing_plugin;
using namespace test_content;
using test_archive::Layout;
using test_archive::Stored;

namespace {

class ArchiveCalls : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        if (plugin.module) FreeLibrary(plugin.module);
        plugin = Exports();
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Orlentis");
    }
    void Load(DWORD checkMode, DWORD numberingMode)
    {
        Reload(plugin, checkMode, numberingMode);
        ASSERT_NE(nullptr, plugin.module) << PluginPath();
        ASSERT_NE(nullptr, plugin.GetArchiveInfo);
    }
    static std::string Archive(const std::string& name, const std::vector<test_archive::Entry>& entries, Layout layout,
                               size_t leadingBytes = 0)
    {
        test_archive::Options options;
        options.layout = layout;
        options.leadingBytes = leadingBytes;
        return WriteArchive(name, test_archive::BuildArchive(entries, options));
    }
    static Exports plugin;
};
Exports ArchiveCalls::plugin;

// Three raw slots of 10, 0 and 20 bytes, named after data.dat.
std::string ThreeSlots()
{
    return WriteArchive("data.dat", test_archive::BuildArchive({test_archive::Plain(Text(10)), test_archive::Empty(),
                                                          test_archive::Plain(Text(20, 1))},
                                                         test_archive::Options()));
}

TEST_F(ArchiveCalls, ListingNumbersSlotsByTheNumberingMode)
{
    struct Expect {
        SIZE_T blockSize;
        std::vector<uint32_t> positions;
        std::vector<std::string> names;
    } expects[3] = {
        {4 * kRecordSize, {0, 3, 6}, {"data~000.DAT", "data~001.DMY", "data~002.DAT"}},
        {3 * kRecordSize, {1, 7}, {"data-000.DAT", "data-002.DAT"}},
        {3 * kRecordSize, {2, 8}, {"data_000.DAT", "data_001.DAT"}},
    };
    std::string path = ThreeSlots();
    for (DWORD mode = 0; mode < 3; mode++) {
        Load(0, mode);
        ASSERT_EQ(1, Probe(plugin, path));
        Listing listing = List(plugin, path, 0, 0x100);  // bits above the input kind are ignored
        ASSERT_EQ(0, listing.result) << mode;
        EXPECT_EQ(expects[mode].blockSize, listing.blockSize);
        EXPECT_EQ(std::vector<uint8_t>(kRecordSize, 0), listing.endMark);
        ASSERT_EQ(expects[mode].names.size(), listing.records.size());
        for (size_t i = 0; i < listing.records.size(); i++) {
            const Record& r = listing.records[i];
            EXPECT_EQ(expects[mode].positions[i], r.position);
            EXPECT_EQ(expects[mode].names[i], r.fileName);
            EXPECT_EQ(0, memcmp(r.method, "QORDAT", 7));
            EXPECT_EQ('\0', r.path[0]);
            EXPECT_EQ(0u, r.timestamp);
            EXPECT_EQ(0u, r.crc);
        }
        const Record& last = listing.records.back();
        EXPECT_EQ(20u, last.compressedSize);
        EXPECT_EQ(20u, last.fileSize);
        if (mode == 0) {
            EXPECT_EQ(0u, listing.records[1].compressedSize);
            EXPECT_EQ(0u, listing.records[1].fileSize);
        }
    }
}

TEST_F(ArchiveCalls, ListingAndLookupReadFromTheBaseOffset)
{
    Load(0, 0);
    // Slot 1 begins at container offset 20, file position 148.
    std::string path = Archive("based.dat", {test_archive::Plain(Text(4)), test_archive::Plain(Bitmap(30)),
                                             test_archive::Plain(Text(8))},
                               Layout::Raw, 128);
    std::vector<uint8_t> bytes = ReadWholeFile(path);
    EXPECT_EQ(1, plugin.IsSupported(path.c_str(), (DWORD_PTR)(bytes.data() + 128)));
    Listing listing = List(plugin, path, 128);
    ASSERT_EQ(0, listing.result);
    ASSERT_EQ(3u, listing.records.size());
    EXPECT_STREQ("based~001.BMP", listing.records[1].fileName);
    EXPECT_EQ(3u, listing.records[1].position);

    Record r;
    EXPECT_EQ(0, plugin.GetFileInfo(path.c_str(), 128, "based~001.BMP", 0, &r));
    EXPECT_EQ(3u, r.position);
    EXPECT_EQ(30u, r.fileSize);
    // Read from the start of the file, the leading bytes are no container.
    EXPECT_EQ(2, List(plugin, path, 0).result);
}

TEST_F(ArchiveCalls, EmptyArchivesListOnlyTheEndMark)
{
    std::string path = WriteArchive("empty.dat", test_archive::BuildArchive({test_archive::Empty(), test_archive::Empty()}, {}));
    Load(0, 1);
    Listing listing = List(plugin, path);
    EXPECT_EQ(0, listing.result);
    EXPECT_EQ(kRecordSize, listing.blockSize);
    EXPECT_TRUE(listing.records.empty());
    EXPECT_EQ(std::vector<uint8_t>(kRecordSize, 0), listing.endMark);

    Load(0, 0);
    ASSERT_EQ(1, Probe(plugin, path));
    listing = List(plugin, path);
    ASSERT_EQ(2u, listing.records.size());
    EXPECT_STREQ("empty~001.DMY", listing.records[1].fileName);
    Extracted x = ExtractToMemory(plugin, path, 3);
    EXPECT_EQ(0, x.result);
    EXPECT_TRUE(x.nullHandle);
}

TEST_F(ArchiveCalls, ListingFailuresHandOverANullHandle)
{
    Load(0, 0);
    // Kind 5 has no meaning under a six-byte head: the last entry fails.
    std::string bad = Archive("lastbad.dat", {test_archive::Plain(Bitmap(60)), Stored(Cat({Head(5, 10), Text(10)}))},
                              Layout::KindSize);
    Listing listing = List(plugin, bad);
    EXPECT_EQ(3, listing.result);
    EXPECT_FALSE(listing.gotBlock);

    EXPECT_EQ(1, List(plugin, bad, 0, 1).result);
    EXPECT_FALSE(List(plugin, bad, 0, 1).gotBlock);
    EXPECT_EQ(6, List(plugin, TempDir() + "missing.dat").result);
    EXPECT_FALSE(List(plugin, TempDir() + "missing.dat").gotBlock);
    std::string notArchive = WriteTempFile("notes.txt", "This is not an archive.");
    EXPECT_EQ(2, List(plugin, notArchive).result);
    EXPECT_FALSE(List(plugin, notArchive).gotBlock);
    // Too short for a count: refused, not read past.
    EXPECT_EQ(2, List(plugin, WriteTempFile("tiny.dat", "\x01")).result);
}

TEST_F(ArchiveCalls, ARefusedFileLeavesTheLastListedLayoutForExtraction)
{
    Load(0, 0);
    // Kind 0 with a plain wave after a two-byte head: LAYOUT_KIND_ONLY.
    std::vector<uint8_t> wave = Wave(64);
    std::string twoByte = Archive("two.dat", {test_archive::Plain(wave)}, Layout::KindOnly);
    ASSERT_EQ(0, List(plugin, twoByte).result);
    EXPECT_EQ(2, List(plugin, WriteTempFile("notes.txt", "This is not an archive.")).result);
    // Compressed content that announces no size, with the full scan off:
    // refused after detection had already chosen a layout.
    std::string unknown = Archive("unknown.dat", {test_archive::Compressed(Text(300))}, Layout::KindOnly);
    EXPECT_EQ(2, List(plugin, unknown).result);
    EXPECT_EQ(wave, ExtractToMemory(plugin, twoByte, 0).bytes);

    // Extraction without listing works with the layout listed last: a raw
    // archive is then read as if its entries had two-byte heads.
    std::string raw = Archive("raw.dat", {test_archive::Plain(Cat({Head(0), Text(10)}))}, Layout::Raw);
    EXPECT_EQ(Text(10), ExtractToMemory(plugin, raw, 0).bytes);
}

TEST_F(ArchiveCalls, FullScanReadsShortEntriesWhole)
{
    // A compressed entry of a few bytes whose content announces no size,
    // between entries: its head is the entry itself, not 50 bytes of it and
    // its neighbours, so the scan counts exactly its own stream.
    std::vector<uint8_t> small = Text(9, 2);
    std::vector<test_archive::Entry> entries = {test_archive::Plain(Wave(64)), test_archive::Compressed(small),
                                          test_archive::Plain(Text(100))};
    std::string path = Archive("scan.dat", entries, Layout::KindOnly);
    Load(1, 0);
    Listing listing = List(plugin, path);
    ASSERT_EQ(0, listing.result);
    EXPECT_EQ(9u, listing.records[1].fileSize);
    EXPECT_EQ(small, ExtractToMemory(plugin, path, 3).bytes);

    Load(0, 0);
    EXPECT_EQ(3, List(plugin, path).result);
}

// The lookup table of names: base name SCENE, slots 100, 0, 200, 0, 0, 50, 80
// (non-empty: 0, 2, 5, 6).
TEST_F(ArchiveCalls, LookupReadsTheNumberingModeAndNumberFromTheName)
{
    std::string path = Archive("SCENE.DAT",
                               {test_archive::Plain(Text(100)), test_archive::Empty(), test_archive::Plain(Bitmap(200)), test_archive::Empty(),
                                test_archive::Empty(), test_archive::Plain(Text(50)), test_archive::Plain(Wave(80))},
                               Layout::Raw);
    Load(0, 0);
    ASSERT_EQ(1, Probe(plugin, path));
    ASSERT_EQ(0, List(plugin, path).result);

    struct Row {
        std::string name;
        int result;
        uint32_t position;
        const char* fileName;
        uint32_t fileSize;
    } rows[] = {
        {"SCENE~002.BMP", 0, 6, "SCENE~002.BMP", 200},
        {"OTHER-002.XYZ", 0, 7, "SCENE-002.BMP", 200},
        {"SCENE_002.BMP", 0, 17, "SCENE_002.DAT", 50},
        {"D:\\DIR.X\\SCENE~005.DAT", 0, 15, "SCENE~005.DAT", 50},
        {"A_B~003.DMY", 0, 9, "SCENE~003.DMY", 0},
        {"SCENE-001.DMY", 0, 4, "SCENE-001.DMY", 0},
        {"SCENE~.BMP", 0, 0, "SCENE~000.DAT", 100},
        {"002.BMP", 0, 6, "SCENE~002.BMP", 200},
        {"SCENE_003", 0, 20, "SCENE_003.WAV", 80},  // no dot: the name's end ends the number
        {std::string(300, 'D') + "\\SCENE~006.WAV", 0, 18, "SCENE~006.WAV", 80},
        {"SCENE~0A2.BMP", 2, 0, nullptr, 0},
        {"SCENE.OLD~002.BMP", 2, 0, nullptr, 0},
        {"SCENE~007.BMP", 2, 0, nullptr, 0},   // past the count
        {"SCENE_004.BMP", 2, 0, nullptr, 0},   // past the non-empty slots
        {"SCENE~4294967298.BMP", 2, 0, nullptr, 0},  // does not fit 32 bits
        {"SCENE~99999999999999999999.BMP", 2, 0, nullptr, 0},
        {std::string(300, 'F') + "~002.BMP", 2, 0, nullptr, 0},  // a file part no listing makes
    };
    for (const Row& row : rows) {
        std::string name = row.name;
        Record r;
        memset(&r, 0xCC, sizeof r);
        EXPECT_EQ(row.result, plugin.GetFileInfo(path.c_str(), 0, name.c_str(), 0, &r)) << row.name;
        EXPECT_EQ(row.name, name);
        if (row.result == 0) {
            EXPECT_EQ(row.position, r.position) << row.name;
            EXPECT_STREQ(row.fileName, r.fileName) << row.name;
            EXPECT_EQ(row.fileSize, r.fileSize) << row.name;
            // Filled in place, not cleared: bytes the record does not use stay.
            EXPECT_EQ(0xCC, r.method[7]);
            EXPECT_EQ(0xCC, (uint8_t)r.path[1]);
        } else {
            EXPECT_EQ(std::vector<uint8_t>(sizeof r, 0xCC),
                      std::vector<uint8_t>((uint8_t*)&r, (uint8_t*)&r + sizeof r))
                << row.name << ": a failed lookup leaves the record alone";
        }
        // Whatever the name said, the user's numbering mode is back.
        EXPECT_STREQ("SCENE~000.DAT", List(plugin, path).records[0].fileName) << row.name;
    }

    Record r;
    EXPECT_EQ(1, plugin.GetFileInfo(path.c_str(), 0, "SCENE~002.BMP", 1, &r));
    EXPECT_EQ(6, plugin.GetFileInfo((TempDir() + "missing.dat").c_str(), 0, "SCENE~002.BMP", 0, &r));

    // Without a separator the number follows the user's numbering mode.
    Load(0, 2);
    ASSERT_EQ(1, Probe(plugin, path));
    EXPECT_EQ(0, plugin.GetFileInfo(path.c_str(), 0, "002.BMP", 0, &r));
    EXPECT_EQ(17u, r.position);
    EXPECT_STREQ("SCENE_002.DAT", r.fileName);
}

// An archive of each entry-header layout with every kind of entry, and what
// extraction must give back for each listed entry.
struct LayoutCase {
    const char* name;
    Layout layout;
    DWORD checkMode;
    std::vector<test_archive::Entry> entries;
    std::vector<std::vector<uint8_t>> contents;  // per slot; empty for an empty slot
};

std::vector<LayoutCase> LayoutCases()
{
    std::vector<uint8_t> bitmap = Bitmap(1078), wave = Wave(300), data = Text(700), png = Png(400);
    std::vector<LayoutCase> cases;
    cases.push_back({"raw.dat", Layout::Raw, 0,
                     {test_archive::Plain(bitmap), test_archive::Empty(), test_archive::Plain(wave), test_archive::Plain(data)},
                     {bitmap, {}, wave, data}});
    cases.push_back({"kindsize.dat", Layout::KindSize, 0,
                     {test_archive::Plain(bitmap), test_archive::Compressed(wave), test_archive::Empty(),
                      Stored(Cat({Head(8, 12345), data})), test_archive::Compressed(png)},
                     {bitmap, wave, {}, data, png}});
    cases.push_back({"kindonly.dat", Layout::KindOnly, 1,
                     {test_archive::Plain(wave), test_archive::Compressed(bitmap), test_archive::Compressed(wave), test_archive::Empty(),
                      test_archive::Compressed(data), test_archive::Plain(png)},
                     {wave, bitmap, wave, {}, data, png}});
    // Kind 8 behind a two-byte head is expanded as a stream from byte 2,
    // sized by the four bytes after the kind (which are also the stream's
    // first bytes): 700 = BC 02 00 00.
    std::vector<uint8_t> kind8 = Cat({Head(8, 700), Text(40)});
    std::vector<uint8_t> expect8(700);
    LzssDecode(kind8.data() + 2, (uint32_t)kind8.size() - 2, expect8.data(), 700);
    cases.push_back({"kind8.dat", Layout::KindOnly, 0, {test_archive::Plain(wave), Stored(kind8)}, {wave, expect8}});
    return cases;
}

TEST_F(ArchiveCalls, ExtractionGivesBackEveryEntryOfEveryLayout)
{
    for (const LayoutCase& c : LayoutCases()) {
        std::string path = Archive(c.name, c.entries, c.layout);
        Load(c.checkMode, 0);
        ASSERT_EQ(1, Probe(plugin, path)) << c.name;
        Listing listing = List(plugin, path);
        ASSERT_EQ(0, listing.result) << c.name;
        ASSERT_EQ(c.contents.size(), listing.records.size()) << c.name;
        for (size_t i = 0; i < c.contents.size(); i++) {
            const Record& r = listing.records[i];
            SCOPED_TRACE(std::string(c.name) + " " + r.fileName);
            EXPECT_EQ(c.contents[i].size(), r.fileSize);
            Extracted x = ExtractToMemory(plugin, path, r.position);
            EXPECT_EQ(0, x.result);
            EXPECT_EQ(c.contents[i], x.bytes);
            EXPECT_EQ(c.contents[i].empty(), x.nullHandle);
        }
    }
}

TEST_F(ArchiveCalls, DiskExtractionNamesFilesByThePositionsNumbering)
{
    std::vector<uint8_t> bitmap = Bitmap(100), data = Text(33);
    std::string path = Archive("disk.dat", {test_archive::Empty(), test_archive::Plain(data), test_archive::Empty(), test_archive::Plain(bitmap)},
                               Layout::Raw);
    Load(0, 1);
    ASSERT_EQ(1, Probe(plugin, path));
    std::string dir = TempDir() + "morquent-out";
    CreateDirectoryA(dir.c_str(), nullptr);

    // Slot 3 under each numbering: ~003, -003, and _001 (second non-empty).
    struct Row {
        LONG_PTR position;
        const char* name;
    } rows[] = {{9, "disk~003.BMP"}, {10, "disk-003.BMP"}, {11, "disk_001.BMP"}, {4, "disk-001.DAT"}};
    for (const Row& row : rows) {
        std::string target = dir + "\\" + row.name;
        DeleteFileA(target.c_str());
        // The directory with and without its closing separator.
        std::string destination = row.position % 2 ? dir + "\\" : dir;
        EXPECT_EQ(0, plugin.GetFile(path.c_str(), row.position, &destination[0], 0, nullptr, 0)) << row.name;
        EXPECT_EQ(row.position == 4 ? data : bitmap, ReadWholeFile(target)) << row.name;
    }

    // An existing file of the name is replaced, whatever it held.
    std::string target = dir + "\\disk-003.BMP";
    WriteTempFile("morquent-out\\disk-003.BMP", std::string(5000, 'z'));
    EXPECT_EQ(0, plugin.GetFile(path.c_str(), 10, &dir[0], 0, nullptr, 0));
    EXPECT_EQ(bitmap, ReadWholeFile(target));

    // An empty slot gives an empty file, and that is a success.
    std::string empty = dir + "\\disk~000.DMY";
    DeleteFileA(empty.c_str());
    EXPECT_EQ(0, plugin.GetFile(path.c_str(), 0, &dir[0], 0, nullptr, 0));
    bool exists = false;
    EXPECT_TRUE(ReadWholeFile(empty, &exists).empty());
    EXPECT_TRUE(exists);

    // A directory that does not exist: failure, and nothing written.
    std::string nowhere = dir + "\\no\\such\\dir";
    EXPECT_EQ(1, plugin.GetFile(path.c_str(), 9, &nowhere[0], 0, nullptr, 0));
    // Settings are back after every call.
    EXPECT_STREQ("disk-001.DAT", List(plugin, path).records[0].fileName);
}

TEST_F(ArchiveCalls, ExtractionRefusalsLeaveNothingBehind)
{
    std::string path = ThreeSlots();
    Load(0, 0);
    ASSERT_EQ(0, List(plugin, path).result);

    // Memory output: the handle variable gets a null handle on failure.
    for (LONG_PTR position : {(LONG_PTR)-1, (LONG_PTR)-3, (LONG_PTR)9, (LONG_PTR)0x7FFFFFFF}) {
        Extracted x = ExtractToMemory(plugin, path, position);
        EXPECT_EQ(2, x.result) << position;
        EXPECT_TRUE(x.nullHandle);
    }
    Extracted x = ExtractToMemory(plugin, path, 0, 0x101);  // input kind 1
    EXPECT_EQ(1, x.result);
    EXPECT_TRUE(x.nullHandle);
    EXPECT_EQ(6, ExtractToMemory(plugin, TempDir() + "missing.dat", 0).result);
    EXPECT_EQ(2, ExtractToMemory(plugin, WriteTempFile("notes.txt", "This is not an archive."), 0).result);

    // Output kind 2: the entry is read, then refused; the destination is untouched.
    HLOCAL sentinel = (HLOCAL)(uintptr_t)0x1234;
    EXPECT_EQ(1, plugin.GetFile(path.c_str(), 0, reinterpret_cast<LPSTR>(&sentinel), 0x200, nullptr, 0));
    EXPECT_EQ((HLOCAL)(uintptr_t)0x1234, sentinel);
}

}  // namespace
