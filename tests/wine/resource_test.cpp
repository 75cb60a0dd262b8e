// The settings dialog template as stored in the built morquent.spi: every
// field of the DLGTEMPLATEEX header and of each control item.
#include <gtest/gtest.h>

#include "plugin_loader.h"

#include <cstring>
#include <string>
#include <vector>

using namespace testing_plugin;

namespace {

// Reads a dialog template little-endian, failing the test instead of reading
// past its end.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool overrun = false;

    uint32_t Take(size_t n)
    {
        if (size - at < n) {
            overrun = true;
            at = size;
            return 0;
        }
        uint32_t v = 0;
        for (size_t i = 0; i < n; i++) v |= uint32_t(data[at + i]) << (8 * i);
        at += n;
        return v;
    }
    uint16_t Word() { return uint16_t(Take(2)); }
    uint32_t Dword() { return Take(4); }
    void AlignDword() { Take((4 - at % 4) % 4); }
    // A NUL-terminated UTF-16 string.
    std::u16string Text()
    {
        std::u16string s;
        for (uint16_t c; !overrun && (c = Word()) != 0;) s.push_back(char16_t(c));
        return s;
    }
    // A name-or-ordinal field: 0 (none), 0xFFFF + ordinal, or a string.
    // Ordinals come back as "#n".
    std::u16string NameOrOrdinal()
    {
        if (at + 2 > size) return Text();
        uint16_t first = uint16_t(data[at] | data[at + 1] << 8);
        if (first == 0) return (Word(), u"");
        if (first == 0xFFFF) {
            Word();
            std::u16string s = u"#";
            for (char c : std::to_string(Word())) s.push_back(char16_t(c));
            return s;
        }
        return Text();
    }
};

std::string Narrow(const std::u16string& s)
{
    std::string out;
    char hex[8];
    for (char16_t c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(char(c));
        } else {
            snprintf(hex, sizeof hex, "\\u%04X", unsigned(c));
            out += hex;
        }
    }
    return out;
}

struct Control {
    const char16_t* windowClass;  // "#128" button, "#130" static
    uint32_t id;
    uint32_t style;  // WS_CHILD | WS_VISIBLE included
    int16_t x, y, cx, cy;
    const char16_t* text;
};

const DWORD CHILD = WS_CHILD | WS_VISIBLE;
const Control kControls[9] = {
    {u"#128", IDOK, CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, 133, 101, 39, 14, u"OK"},
    {u"#128", 0xFFFFFFFF, CHILD | BS_GROUPBOX, 7, 5, 164, 57, u"\u89E3\u51CD\u5F62\u5F0F"},
    {u"#128", 1001, CHILD | WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 16, 18, 70, 10,
     u"*.DMY\uFF08\u30C0\u30DF\u30FC\uFF09\u3042\u308A"},
    {u"#128", 1002, CHILD | WS_TABSTOP | BS_AUTORADIOBUTTON, 16, 31, 114, 10,
     u"*.DMY\u306A\u3057\u3001\u30D5\u30A1\u30A4\u30EBNo\u306F\u305D\u306E\u307E\u307E"},
    {u"#128", 1003, CHILD | WS_TABSTOP | BS_AUTORADIOBUTTON, 16, 45, 107, 10,
     u"*.DMY\u306A\u3057\u3001\u30D5\u30A1\u30A4\u30EBNo\u3092\u8A70\u3081\u308B"},
    {u"#128", 0xFFFFFFFF, CHILD | BS_GROUPBOX, 6, 65, 123, 52, u"\u89E3\u51CD\u30D5\u30A1\u30A4\u30EB"},
    {u"#128", 1000, CHILD | WS_GROUP | WS_TABSTOP | BS_AUTOCHECKBOX, 15, 79, 109, 14,
     u"*.ANM *.SNL \u3092\u89E3\u51CD\u53EF\u80FD\u306B\u3059\u308B"},
    {u"#130", 0xFFFFFFFF, CHILD | SS_LEFT, 22, 96, 94, 15,
     u"\u203B\u3000Check\u3059\u308B\u3068\u89E3\u51CD\u51E6\u7406\u304C\n"
     u"\u3000\u30D1\u30F3\u30D1\u3058\u3083\u306A\u304F\u91CD\u304F\u306A\u308A\u307E\u3059(^^;;;"},
    {u"#128", IDCANCEL, CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, 133, 83, 38, 14, u"Cancel"},
};

TEST(DialogResource, Template102IsTheJapaneseExtendedTemplate)
{
    Exports plugin = LoadPlugin();
    ASSERT_NE(nullptr, plugin.module) << "cannot load " << PluginPath();

    const WORD japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
    ASSERT_EQ(0x0411, japanese);
    HRSRC found = FindResourceExA(plugin.module, RT_DIALOG, MAKEINTRESOURCEA(102), japanese);
    ASSERT_NE(nullptr, found);
    // The template exists in Japanese only.
    EXPECT_EQ(nullptr, FindResourceExA(plugin.module, RT_DIALOG, MAKEINTRESOURCEA(102),
                                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
    HGLOBAL loaded = LoadResource(plugin.module, found);
    ASSERT_NE(nullptr, loaded);
    Reader r{static_cast<const uint8_t*>(LockResource(loaded)), SizeofResource(plugin.module, found)};
    ASSERT_NE(nullptr, r.data);

    EXPECT_EQ(1, r.Word());         // dlgVer
    EXPECT_EQ(0xFFFF, r.Word());    // signature: extended template
    EXPECT_EQ(0u, r.Dword());       // help id
    EXPECT_EQ(DWORD(WS_EX_CONTROLPARENT), r.Dword());
    EXPECT_EQ(0x00C80AC4u, r.Dword());
    EXPECT_EQ(DWORD(WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_SETFOREGROUND | DS_MODALFRAME | DS_SETFONT | DS_3DLOOK),
              0x00C80AC4u);
    EXPECT_EQ(9, r.Word());  // items
    EXPECT_EQ(0, r.Word());  // x
    EXPECT_EQ(0, r.Word());  // y
    EXPECT_EQ(179, r.Word());
    EXPECT_EQ(127, r.Word());
    EXPECT_EQ(u"", r.NameOrOrdinal());  // no menu
    EXPECT_EQ(u"", r.NameOrOrdinal());  // default dialog class
    EXPECT_EQ("Configration Dialog [morquent.spi]", Narrow(r.Text()));
    EXPECT_EQ(9, r.Word());       // points
    EXPECT_EQ(0, r.Word());       // weight
    EXPECT_EQ(0u, r.Take(1));     // italic
    EXPECT_EQ(1u, r.Take(1));     // DEFAULT_CHARSET
    EXPECT_EQ(Narrow(u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF"), Narrow(r.Text()));

    for (int i = 0; i < 9; i++) {
        const Control& c = kControls[i];
        SCOPED_TRACE("control " + std::to_string(i + 1));
        r.AlignDword();
        EXPECT_EQ(0u, r.Dword());  // help id
        EXPECT_EQ(0u, r.Dword());  // exStyle
        EXPECT_EQ(c.style, r.Dword());
        EXPECT_EQ(c.x, int16_t(r.Word()));
        EXPECT_EQ(c.y, int16_t(r.Word()));
        EXPECT_EQ(c.cx, int16_t(r.Word()));
        EXPECT_EQ(c.cy, int16_t(r.Word()));
        EXPECT_EQ(c.id, r.Dword());
        EXPECT_EQ(Narrow(c.windowClass), Narrow(r.NameOrOrdinal()));
        EXPECT_EQ(Narrow(c.text), Narrow(r.NameOrOrdinal()));
        EXPECT_EQ(0, r.Word());  // no creation data
    }
    EXPECT_FALSE(r.overrun);
    // Nothing after the last item but padding.
    EXPECT_LE(r.size - r.at, 3u);
    FreeLibrary(plugin.module);
}

}  // namespace

namespace {

// A string of the version resource's block `block` ("041103a4", "040904b0").
std::string VersionString(const std::vector<char>& info, const char* block, const char* name)
{
    std::string path = std::string("\\StringFileInfo\\") + block + "\\" + name;
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return "";
    return std::string(value, strnlen(value, length));
}

TEST(VersionResource, NamesTheFileInJapaneseAndEnglish)
{
    char path[MAX_PATH];
    GetFullPathNameA(PluginPath(), sizeof path, path, nullptr);
    DWORD size = GetFileVersionInfoSizeA(path, nullptr);
    ASSERT_GT(size, 0u) << "no version resource in " << path;
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(0x00000000u, fixed->dwFileVersionMS);  // 0.0
    EXPECT_EQ(0x00070000u, fixed->dwFileVersionLS);  // 7.0
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);

    std::string module = sizeof(void*) == 8 ? "MORQUENT.SPH" : "MORQUENT.SPI";
    for (const char* block : {"041103a4", "040904b0"}) {
        EXPECT_EQ("0.07", VersionString(info, block, "FileVersion")) << block;
        EXPECT_EQ("0.07", VersionString(info, block, "ProductVersion")) << block;
        EXPECT_EQ(module, VersionString(info, block, "OriginalFilename")) << block;
        EXPECT_NE("", VersionString(info, block, "FileDescription")) << block;
    }
    EXPECT_EQ("QOR's DAT extract plug-in (Susie 00AM)", VersionString(info, "040904b0", "FileDescription"));
}

}  // namespace
