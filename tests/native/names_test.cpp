// Media-extension test and base names of archive paths.
#include <gtest/gtest.h>

#include <string>

#include "archive/names.h"
#include "archive/state.h"

namespace {

std::string BaseOf(const std::string& path, size_t size = ARCHIVE_BASE_NAME_SIZE)
{
    std::string copy = path;
    std::vector<char> out(size, '#');
    DeriveBaseName(copy.c_str(), out.data(), out.size());
    EXPECT_EQ(path, copy) << "the caller's string must not change";
    return out.data();
}

TEST(HasMediaExtension, RefusesBitmapsWavesAndPngsInAnyCase)
{
    for (const char* name : {"D:\\GAME\\TITLE.BMP", "title.bmp", "D:\\GAME\\SE01.Wav", "X.png", "a.pNg.bMp"})
        EXPECT_TRUE(HasMediaExtension(name)) << name;
    for (const char* name : {"D:\\GAME\\TITLE.BMPX", "D:\\GAME\\DATA.DAT", "D:\\GAME\\DATA.DMY", "BMP", "", ".",
                             "D:\\OLD.WAV\\SCENE", "X.BM", "X.WAV ", "X.\xc2\x42MP"})
        EXPECT_FALSE(HasMediaExtension(name)) << name;
}

TEST(BaseName, TakesTheFileComponentUpToItsFirstDot)
{
    EXPECT_EQ("SCENE", BaseOf("D:\\GAME\\SCENE.DAT"));
    EXPECT_EQ("SCENE", BaseOf("D:\\GAME\\SCENE.OLD.DAT"));
    EXPECT_EQ("SCENE", BaseOf("D:\\GAME\\SCENE"));
    EXPECT_EQ("SCENE", BaseOf("SCENE.DAT"));
    EXPECT_EQ("SCENE", BaseOf("D:\\OLD.WAV\\SCENE"));
    EXPECT_EQ("", BaseOf("D:\\GAME\\.DAT"));
    EXPECT_EQ("\\SCENE", BaseOf("\\SCENE.DAT"));  // position 0 is never a separator
    EXPECT_EQ(".DAT", BaseOf(".DAT"));             // nor a dot
    EXPECT_EQ("", BaseOf(""));
    EXPECT_EQ("", BaseOf("D:\\GAME\\"));
}

TEST(BaseName, DoubleByteNamesAreCutOnBytes)
{
    // Shift-JIS "表" is 95 5C: its trail byte is a '\'; bytes, not characters, count.
    EXPECT_EQ("X", BaseOf("D:\\\x95\\X.DAT"));
}

TEST(BaseName, LongNamesAreCutToTheBufferAndStillFitAnEntryName)
{
    std::string longName(300, 'N');
    std::string base = BaseOf("D:\\" + longName + ".DAT");
    EXPECT_EQ(std::string(ARCHIVE_BASE_NAME_SIZE - 1, 'N'), base);
    // Separator, four digits, dot, three letters and the NUL: ten bytes more.
    EXPECT_LE(base.size() + 10, 200u);
    // A smaller buffer is never written past.
    EXPECT_EQ("SCE", BaseOf("D:\\SCENE.DAT", 4));
}

}  // namespace
