// Media-extension test, base names of archive paths, and entry names read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The file part of a looked-up name must fit the 256-byte copy with its NUL.
TEST(EntryName, FilePartUpTo255BytesIsCopied)
{
    std::vector<char> copy(ENTRY_NAME_COPY_SIZE, '#');  // heap block: ASan sees a write past it
    const std::string longDirectory = "D:\\" + std::string(300, 'D') + "\\";
    EXPECT_TRUE(CopyEntryFilePart((longDirectory + std::string(255, 'N')).c_str(), copy.data()));
    EXPECT_EQ(std::string(255, 'N'), copy.data());
    EXPECT_FALSE(CopyEntryFilePart((longDirectory + std::string(256, 'N')).c_str(), copy.data()));
    EXPECT_EQ('\0', copy[0]);
}

TEST(EntryName, NumberAndModeFromTheLastSeparatorBeforeTheFirstDot)
{
    const uint32_t untouched = 9;
    struct Row {
        const char* name;
        int32_t number;
        uint32_t mode;
    } rows[] = {
        {"data~004.BMP", 4, NUMBERING_WITH_DUMMIES},
        {"data-1234.DAT", 1234, NUMBERING_KEEP},
        {"data_007.WAV", 7, NUMBERING_PACKED},
        {"SE_DATA~004.WAV", 4, NUMBERING_WITH_DUMMIES},
        {"D:\\A~B\\x_12.DMY", 12, NUMBERING_PACKED},
        {"a~1.b_2", 1, NUMBERING_WITH_DUMMIES},
        {"0042.BMP", 42, untouched},
        {"data~.BMP", 0, NUMBERING_WITH_DUMMIES},
        {"data~12a.BMP", -1, NUMBERING_WITH_DUMMIES},
        {"data~2147483647.BMP", INT32_MAX, NUMBERING_WITH_DUMMIES},
        {"data~2147483648.BMP", -1, NUMBERING_WITH_DUMMIES},
    };
    for (const Row& row : rows) {
        std::string name = row.name;
        EntryNumbering mode = static_cast<EntryNumbering>(untouched);
        EXPECT_EQ(row.number, ParseEntryName(&name[0], &mode)) << row.name;
        EXPECT_EQ(row.mode, mode) << row.name;
    }
}

}  // namespace
