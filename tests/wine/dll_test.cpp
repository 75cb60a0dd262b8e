// Identification and probing through the real morquent.spi.
#include <gtest/gtest.h>

#include "plugin_loader.h"

#include <cstring>
#include <string>

using namespace testing_plugin;

namespace {

Exports plugin;

class Dll : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!plugin.module) plugin = LoadPlugin();
    }
    void SetUp() override { ASSERT_NE(nullptr, plugin.module) << "cannot load " << PluginPath(); }
};

// Little-endian archive bytes from 32-bit words.
std::string Words(std::initializer_list<uint32_t> words)
{
    std::string out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; i++) out.push_back(static_cast<char>(w >> (8 * i)));
    return out;
}

// Calls GetPluginInfo on a buffer prefilled with '#' and returns what the
// buffer holds afterwards (its first 40 bytes).
std::string Info(int index, int length, int* result)
{
    char buffer[64];
    memset(buffer, '#', sizeof buffer);
    *result = plugin.GetPluginInfo(index, buffer, length);
    return std::string(buffer, buffer + 40);
}

std::string Padded(const std::string& written) { return written + std::string(40 - written.size(), '#'); }

TEST_F(Dll, ExportsTheBuiltNamesOnly)
{
    EXPECT_NE(nullptr, plugin.GetPluginInfo);
    EXPECT_NE(nullptr, plugin.IsSupported);
    // Decorated __stdcall names must not be what the host has to ask for.
    EXPECT_EQ(nullptr, GetProcAddress(plugin.module, "GetPluginInfo@12"));
    EXPECT_EQ(nullptr, GetProcAddress(plugin.module, "_IsSupported@8"));
}

TEST_F(Dll, GetPluginInfoCopiesTheTextAndTruncatesToTheBuffer)
{
    int n;
    EXPECT_EQ(Padded(std::string("00AM\0", 5)), Info(0, 10, &n));
    EXPECT_EQ(5, n);
    EXPECT_EQ(Padded(std::string("00AM\0", 5)), Info(0, 5, &n));
    EXPECT_EQ(5, n);
    EXPECT_EQ(Padded("00A"), Info(0, 3, &n));
    EXPECT_EQ(3, n);
    EXPECT_EQ(Padded(""), Info(0, 0, &n));
    EXPECT_EQ(0, n);
    EXPECT_EQ(Padded(std::string("*.*\0", 4)), Info(2, 40, &n));
    EXPECT_EQ(4, n);

    char about[64] = {};
    EXPECT_EQ(46, plugin.GetPluginInfo(1, about, sizeof about));
    EXPECT_STREQ("morquent - QOR's DAT extract library ver.0.07", about);
    char type[64] = {};
    EXPECT_EQ(26, plugin.GetPluginInfo(3, type, sizeof type));
    EXPECT_STREQ("QOR Data Packed File(*.*)", type);
}

TEST_F(Dll, GetPluginInfoOutOfRangeWritesNothing)
{
    int n;
    for (int index : {4, -1, 100, INT_MIN}) {
        EXPECT_EQ(Padded(""), Info(index, 40, &n)) << index;
        EXPECT_EQ(0, n);
    }
    EXPECT_EQ(Padded(""), Info(0, -1, &n));  // a negative length is no buffer
    EXPECT_EQ(0, n);
    EXPECT_EQ(Padded(""), Info(1, INT_MIN, &n));
    EXPECT_EQ(0, n);
}

// A small archive of three entries (10, 0 and 20 bytes), raw.
std::string SampleArchive() { return Words({3, 10, 0, 20}) + std::string(30, 'x'); }

TEST_F(Dll, IsSupportedWithAHandleReadsFromTheCurrentPosition)
{
    std::string path = WriteTempFile("handle.dat", std::string(100, '\xEE') + SampleArchive());
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    // The probe does not rewind: at offset 0 it sees EE EE EE EE, a bad count.
    EXPECT_EQ(0, plugin.IsSupported(path.c_str(), (DWORD_PTR)file));
    SetFilePointer(file, 100, nullptr, FILE_BEGIN);
    EXPECT_EQ(1, plugin.IsSupported(path.c_str(), (DWORD_PTR)file));
    CloseHandle(file);
}

TEST_F(Dll, IsSupportedWithAHandleOnAShortFileValidatesWhatWasRead)
{
    // A count of 2 whose second size lies past the end of a 9-byte file.
    std::string path = WriteTempFile("short.dat", Words({2, 5}) + "\x01");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(1, plugin.IsSupported(path.c_str(), (DWORD_PTR)file));
    CloseHandle(file);

    // Fewer than four bytes hold no count; an empty file neither.
    for (const std::string& bytes : {std::string("\x01", 1), std::string("\x01\x00\x00", 3), std::string()}) {
        std::string tiny = WriteTempFile("tiny.dat", bytes);
        file = CreateFileA(tiny.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(0, plugin.IsSupported(tiny.c_str(), (DWORD_PTR)file)) << bytes.size();
        CloseHandle(file);
    }
}

TEST_F(Dll, IsSupportedTellsHandlesFromAddressesByTheUpper16Bits)
{
    // 0xFFFF is a handle value (reading it fails: refused, and nothing is
    // dereferenced); an address at 0x10000 or above is read as the file's
    // first 2,048 bytes.
    EXPECT_EQ(0, plugin.IsSupported("D:\\GAME\\DATA.DAT", 0xFFFF));

    std::string head = SampleArchive();
    head.resize(2048, '\0');
    EXPECT_EQ(1, plugin.IsSupported("D:\\GAME\\DATA.DAT", (DWORD_PTR)head.data()));

    // Memory at 0x10000 exactly: reserve it if it is free, else skip.
    void* low = VirtualAlloc((void*)0x10000, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (low == (void*)0x10000) {
        memcpy(low, head.data(), 2048);
        EXPECT_EQ(1, plugin.IsSupported("D:\\GAME\\DATA.DAT", 0x10000));
        VirtualFree(low, 0, MEM_RELEASE);
    }
}

TEST_F(Dll, IsSupportedRefusesMediaNamesAndBadTables)
{
    std::string head = SampleArchive();
    head.resize(2048, '\0');
    DWORD_PTR bytes = (DWORD_PTR)head.data();
    for (const char* name : {"D:\\GAME\\TITLE.BMP", "title.bmp", "D:\\GAME\\SE01.Wav", "X.png"})
        EXPECT_EQ(0, plugin.IsSupported(name, bytes)) << name;
    for (const char* name : {"D:\\GAME\\TITLE.BMPX", "D:\\GAME\\DATA.DAT", "D:\\GAME\\DATA.DMY", "D:\\OLD.WAV\\SCENE"})
        EXPECT_EQ(1, plugin.IsSupported(name, bytes)) << name;

    std::string bad = Words({3, 10, 0xFFFFFFFF, 20});
    bad.resize(2048, '\0');
    EXPECT_EQ(0, plugin.IsSupported("D:\\GAME\\DATA.DAT", (DWORD_PTR)bad.data()));
    std::string zero(2048, '\0');
    EXPECT_EQ(0, plugin.IsSupported("D:\\GAME\\DATA.DAT", (DWORD_PTR)zero.data()));
}

TEST_F(Dll, IsSupportedLeavesTheCallersPathAsItWas)
{
    std::string head = SampleArchive();
    head.resize(2048, '\0');
    char path[] = "D:\\GAME\\SCENE.OLD.DAT";
    EXPECT_EQ(1, plugin.IsSupported(path, (DWORD_PTR)head.data()));
    EXPECT_STREQ("D:\\GAME\\SCENE.OLD.DAT", path);
}

}  // namespace
