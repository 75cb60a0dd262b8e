// The settings store against Wine's real registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/state.h"
#include "settings/registry.h"

namespace {

const char PARENT_KEY[] = "Software\\Orlentis\\Susie\\Plug-in";

class Settings : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Orlentis");
        CheckMode = 0;
        NumberingMode = NUMBERING_WITH_DUMMIES;
    }
    // The settings as the plug-in's state holds them.
    uint32_t CheckMode = 0;
    EntryNumbering NumberingMode = NUMBERING_WITH_DUMMIES;
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Orlentis"); }

    static HKEY CreateKey()
    {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        return key;
    }
    static void Put(const char* name, DWORD type, const std::vector<BYTE>& data)
    {
        HKEY key = CreateKey();
        RegSetValueExA(key, name, 0, type, data.data(), (DWORD)data.size());
        RegCloseKey(key);
    }
    static void PutDword(const char* name, DWORD value)
    {
        Put(name, REG_DWORD, {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)});
    }
    // The stored value: its type and bytes; type REG_NONE when missing.
    struct Stored {
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };
    static Stored Get(const char* name)
    {
        Stored s;
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return s;
        BYTE buffer[64];
        DWORD size = sizeof buffer, type = REG_NONE;
        if (RegQueryValueExA(key, name, nullptr, &type, buffer, &size) == ERROR_SUCCESS) {
            s.type = type;
            s.data.assign(buffer, buffer + size);
        }
        RegCloseKey(key);
        return s;
    }
    static bool KeyExists()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    static const std::vector<BYTE> kDwordZero;
};
const std::vector<BYTE> Settings::kDwordZero = {0, 0, 0, 0};

TEST_F(Settings, FirstLoadCreatesTheKeyWithBothValuesZero)
{
    LoadSettings(&CheckMode, &NumberingMode);
    EXPECT_EQ(0u, CheckMode);
    EXPECT_EQ(0u, NumberingMode);
    Stored check = Get("CheckMode"), numbering = Get("NumberingMode");
    EXPECT_EQ((DWORD)REG_DWORD, check.type);
    EXPECT_EQ(kDwordZero, check.data);
    EXPECT_EQ((DWORD)REG_DWORD, numbering.type);
    EXPECT_EQ(kDwordZero, numbering.data);
}

TEST_F(Settings, CreatedKeyIsNotVolatile)
{
    LoadSettings(&CheckMode, &NumberingMode);
    ASSERT_TRUE(KeyExists());
    // A volatile key refuses non-volatile children: creating one under the
    // settings key succeeds only when the key lasts beyond the session.
    HKEY child = nullptr;
    std::string childPath = std::string(SETTINGS_KEY) + "\\probe";
    LONG result = RegCreateKeyExA(HKEY_CURRENT_USER, childPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &child, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, result);
    if (child) RegCloseKey(child);

    // The check can fail: it does under a key created volatile.
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Orlentis");
    HKEY volatileKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &volatileKey, nullptr));
    RegCloseKey(volatileKey);
    child = nullptr;
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, RegCreateKeyExA(HKEY_CURRENT_USER, childPath.c_str(), 0, nullptr,
                                                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                                            &child, nullptr));
    if (child) RegCloseKey(child);
}

TEST_F(Settings, ExistingVolatileKeyKeepsItsKindAndIsUsed)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    DWORD two = 2;
    RegSetValueExA(key, "NumberingMode", 0, REG_DWORD, (const BYTE*)&two, 4);
    RegCloseKey(key);
    LoadSettings(&CheckMode, &NumberingMode);
    EXPECT_EQ(2u, NumberingMode);
}

TEST_F(Settings, EmptyKeyGetsBothValuesWrittenAsZero)
{
    RegCloseKey(CreateKey());
    CheckMode = 0;
    LoadSettings(&CheckMode, &NumberingMode);
    EXPECT_EQ(0u, CheckMode);
    EXPECT_EQ(0u, NumberingMode);
    EXPECT_EQ((DWORD)REG_DWORD, Get("CheckMode").type);
    EXPECT_EQ(kDwordZero, Get("NumberingMode").data);
}

TEST_F(Settings, ValuesInRangeAreTakenAndNotRewritten)
{
    // Stored as 4-byte REG_BINARY: accepted as they are and left binary.
    Put("CheckMode", REG_BINARY, {1, 0, 0, 0});
    Put("NumberingMode", REG_BINARY, {2, 0, 0, 0});
    LoadSettings(&CheckMode, &NumberingMode);
    EXPECT_EQ(1u, CheckMode);
    EXPECT_EQ(2u, NumberingMode);
    EXPECT_EQ((DWORD)REG_BINARY, Get("CheckMode").type);
    EXPECT_EQ((DWORD)REG_BINARY, Get("NumberingMode").type);
}

TEST_F(Settings, OutOfRangeValuesAreRepairedToThePreviousValue)
{
    struct Case {
        DWORD check, numbering, wantCheck, wantNumbering;
    } cases[] = {
        {2, 1, 0, 1},
        {1, 0xFFFFFFFF, 1, 0},
        {0, 3, 0, 0},
        {1, 2, 1, 2},
    };
    for (const Case& c : cases) {
        SetUp();
        PutDword("CheckMode", c.check);
        PutDword("NumberingMode", c.numbering);
        LoadSettings(&CheckMode, &NumberingMode);
        EXPECT_EQ(c.wantCheck, CheckMode) << c.check;
        EXPECT_EQ(c.wantNumbering, NumberingMode) << c.numbering;
        Stored check = Get("CheckMode"), numbering = Get("NumberingMode");
        EXPECT_EQ(std::vector<BYTE>({BYTE(c.wantCheck), 0, 0, 0}), check.data);
        EXPECT_EQ(std::vector<BYTE>({BYTE(c.wantNumbering), 0, 0, 0}), numbering.data);
    }
}

TEST_F(Settings, StringAndOversizedValuesAreRepaired)
{
    Put("CheckMode", REG_SZ, {'1', 0});  // reads as 0x31
    Put("NumberingMode", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});  // 8 bytes: the query fails
    LoadSettings(&CheckMode, &NumberingMode);
    EXPECT_EQ(0u, CheckMode);
    EXPECT_EQ(0u, NumberingMode);
    EXPECT_EQ((DWORD)REG_DWORD, Get("CheckMode").type);
    EXPECT_EQ(kDwordZero, Get("CheckMode").data);
    EXPECT_EQ((DWORD)REG_DWORD, Get("NumberingMode").type);
    EXPECT_EQ(kDwordZero, Get("NumberingMode").data);

    // An 8-byte CheckMode does not disturb the reading of NumberingMode.
    SetUp();
    Put("CheckMode", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});
    PutDword("NumberingMode", 2);
    LoadSettings(&CheckMode, &NumberingMode);
    EXPECT_EQ(0u, CheckMode);
    EXPECT_EQ(2u, NumberingMode);
}

TEST_F(Settings, KeyThatCannotBeOpenedLeavesEverythingAlone)
{
    // A volatile parent refuses the non-volatile settings key.
    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, PARENT_KEY, 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &parent, nullptr));
    RegCloseKey(parent);
    LoadSettings(&CheckMode, &NumberingMode);
    EXPECT_EQ(0u, CheckMode);
    EXPECT_EQ(0u, NumberingMode);
    EXPECT_FALSE(KeyExists());

    // Saving then writes nothing, and the in-memory choice stays.
    CheckMode = 1;
    NumberingMode = NUMBERING_PACKED;
    SaveSettings(CheckMode, NumberingMode);
    EXPECT_FALSE(KeyExists());
    EXPECT_EQ(1u, CheckMode);
    EXPECT_EQ(2u, NumberingMode);
}

TEST_F(Settings, SaveWritesBothValues)
{
    CheckMode = 1;
    NumberingMode = NUMBERING_PACKED;
    SaveSettings(CheckMode, NumberingMode);
    EXPECT_EQ(std::vector<BYTE>({1, 0, 0, 0}), Get("CheckMode").data);
    EXPECT_EQ(std::vector<BYTE>({2, 0, 0, 0}), Get("NumberingMode").data);
    EXPECT_EQ((DWORD)REG_DWORD, Get("NumberingMode").type);
}

}  // namespace
