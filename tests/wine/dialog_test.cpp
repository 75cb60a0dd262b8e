// The settings dialog in a real window: the test opens it through the DLL's
// export on the main thread and drives it from a second thread, as a user
// would, by clicking its controls. Needs an X display (xvfb-run under ctest).
//
// The plug-in reads the registry once, when it is loaded, so every scenario
// writes the registry first and then loads the DLL afresh.
#include <gtest/gtest.h>

#include "archive_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

using namespace testing_plugin;

namespace {

const char ARTIFACTS[] = "artifacts";
const auto kPatience = std::chrono::seconds(10);

// A registry value as stored: type and 32-bit data.
struct Stored {
    DWORD type;
    DWORD value;
    bool operator==(const Stored& o) const { return type == o.type && value == o.value; }
};
std::ostream& operator<<(std::ostream& os, const Stored& s) { return os << "type " << s.type << " value " << s.value; }

// The value `name` under the settings key; nullopt when missing.
std::optional<Stored> Get(const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, value = 0, size = sizeof value;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return std::nullopt;
    return Stored{type, value};
}

void DeleteSettingValues()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    for (const char* name : SETTING_NAMES) RegDeleteValueA(key, name);
    RegCloseKey(key);
}

// What the controls show: the three radio buttons 1001-1003 and box 1000,
// as "radios/box", e.g. "010/1".
std::string ControlState(HWND dialog)
{
    std::string s;
    for (int id : {1001, 1002, 1003}) s += IsDlgButtonChecked(dialog, id) == BST_CHECKED ? '1' : '0';
    return s + "/" + (IsDlgButtonChecked(dialog, 1000) == BST_CHECKED ? '1' : '0');
}

// The visible dialog window (class #32770) of `thread`, or null.
HWND FindDialog(DWORD thread)
{
    struct Finder {
        static BOOL CALLBACK Visit(HWND window, LPARAM param)
        {
            char name[16] = {};
            GetClassNameA(window, name, sizeof name);
            if (strcmp(name, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
            *reinterpret_cast<HWND*>(param) = window;
            return FALSE;
        }
    };
    HWND found = nullptr;
    EnumThreadWindows(thread, Finder::Visit, reinterpret_cast<LPARAM>(&found));
    return found;
}

// Puts the calling thread on a desktop of this process's own, made on first
// use; false when that fails. Wine loads one graphics driver per desktop, in
// the desktop process that the first window on it starts, with that
// program's environment. Every program in the prefix shares the default
// desktop, so while one that has no X display holds it (another test run in
// the same prefix, say), no window can be made there whatever our DISPLAY.
// A desktop named after this process is started by this process, with the
// display it was given.
bool UseOwnDesktop()
{
    static HDESK desktop = [] {
        char name[48];
        snprintf(name, sizeof name, "morquent-dialog-%lu", GetCurrentProcessId());
        return CreateDesktopA(name, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    }();
    // Once per thread: a thread that has windows cannot change desktop.
    thread_local bool moved = false;
    if (!moved) moved = desktop && SetThreadDesktop(desktop);
    return moved;
}

// Clicks a control like the mouse does (press and release over it).
void Click(HWND dialog, int id)
{
    DWORD_PTR ignored;
    SendMessageTimeoutA(GetDlgItem(dialog, id), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &ignored);
}

// Writes the dialog as it is on screen to a 24-bit BMP file.
void SaveScreenshot(HWND dialog, const std::string& path)
{
    RECT r;
    GetWindowRect(dialog, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();

    DWORD imageSize = DWORD((width * 3 + 3) & ~3) * height;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + imageSize;
    if (FILE* out = fopen(path.c_str(), "wb")) {
        fwrite(&file, sizeof file, 1, out);
        fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
        fwrite(bits, imageSize, 1, out);
        fclose(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// The name of the first entry that the plug-in lists for a small archive,
// which shows the numbering mode in force by its separator ('~', '-', '_').
std::string FirstListedName(const Exports& plugin)
{
    if (!plugin.IsSupported || !plugin.GetArchiveInfo) return "(no listing export)";
    const std::vector<uint8_t> x10(10, 'x'), x20(20, 'x');
    std::string path = WriteArchive("SCENE.DAT", test_archive::BuildArchive({test_archive::Plain(x10), test_archive::Empty(),
                                                                       test_archive::Plain(x20)}, {}));
    if (Probe(plugin, path) != 1) return "(not supported)";
    Listing listing = List(plugin, path);
    if (listing.result != 0 || listing.records.empty()) return "(listing failed)";
    const Record& first = listing.records[0];
    return std::string(first.fileName, strnlen(first.fileName, sizeof first.fileName));
}

struct Outcome {
    int result = 0;
    bool appeared = false;  // a dialog window showed
    std::string opening;    // ControlState when it showed
    bool closed = true;     // it went away without the watchdog's help
};

class ConfigDialog : public ::testing::Test {
protected:
    Exports plugin;

    void SetUp() override
    {
        ASSERT_TRUE(UseOwnDesktop()) << "cannot make a desktop for the dialog";
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Orlentis");
    }
    void TearDown() override
    {
        if (plugin.module) FreeLibrary(plugin.module);
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Orlentis");
    }

    // Loads the DLL afresh, so that it reads the settings now in the registry.
    void Load()
    {
        if (plugin.module) FreeLibrary(plugin.module);
        plugin = LoadPlugin();
        ASSERT_NE(nullptr, plugin.module) << "cannot load " << PluginPath();
        ASSERT_NE(nullptr, plugin.ConfigurationDlg);
    }

    // Calls ConfigurationDlg(NULL, function) on this thread. A second thread
    // waits for the dialog, notes its opening state, runs `drive` on it and
    // waits for it to close; if it does not, the thread cancels it so that
    // the test cannot hang.
    Outcome Open(int function, const std::function<void(HWND)>& drive)
    {
        Outcome run;
        std::atomic<bool> returned{false};
        DWORD self = GetCurrentThreadId();
        std::thread driver([&] {
            UseOwnDesktop();  // where the dialog is: window lists are per desktop
            auto deadline = std::chrono::steady_clock::now() + kPatience;
            HWND dialog = nullptr;
            while (!returned && !(dialog = FindDialog(self)) && std::chrono::steady_clock::now() < deadline)
                Sleep(20);
            if (dialog) {
                run.appeared = true;
                run.opening = ControlState(dialog);
                drive(dialog);
                deadline = std::chrono::steady_clock::now() + kPatience;  // a fresh wait for the close
                while (!returned && std::chrono::steady_clock::now() < deadline) Sleep(20);
            }
            if (!returned) {
                run.closed = false;
                if (dialog) PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
                else PostThreadMessageA(self, WM_QUIT, 0, 0);  // ends a modal loop whose window never showed
            }
        });
        run.result = plugin.ConfigurationDlg(nullptr, function);
        returned = true;
        driver.join();
        return run;
    }

    // The state the dialog opens with, which shows the in-memory settings;
    // closed with Cancel.
    std::string OpeningState()
    {
        Outcome run = Open(1, [](HWND dialog) { Click(dialog, IDCANCEL); });
        EXPECT_TRUE(run.closed);
        return run.opening;
    }
};

TEST_F(ConfigDialog, OkSavesTheChosenSettingsAndKeepsThemInForce)
{
    ASSERT_TRUE(PutSettings(0, 1));
    Load();
    std::string afterClicks;
    Outcome run = Open(1, [&](HWND dialog) {
        CreateDirectoryA(ARTIFACTS, nullptr);
        Sleep(300);  // let it paint (the picture is for people; nothing is asserted on it)
        SaveScreenshot(dialog, std::string(ARTIFACTS) + "\\config-dialog.bmp");
        Click(dialog, 1003);
        Click(dialog, 1000);
        afterClicks = ControlState(dialog);
        Click(dialog, IDOK);
    });
    ASSERT_TRUE(run.appeared) << "no dialog window (is there an X display?)";
    EXPECT_TRUE(run.closed);
    EXPECT_EQ("010/0", run.opening);
    EXPECT_EQ("001/1", afterClicks);
    EXPECT_EQ(0, run.result);
    EXPECT_EQ((Stored{REG_DWORD, 2}), Get("NumberingMode"));
    EXPECT_EQ((Stored{REG_DWORD, 1}), Get("CheckMode"));
    // The new settings are the ones in force: the listing numbers entries
    // packed, and the next opening shows both.
    EXPECT_EQ("SCENE_000.DAT", FirstListedName(plugin));
    EXPECT_EQ("001/1", OpeningState());
}

TEST_F(ConfigDialog, EveryOtherWayOutRestoresTheSettingsAndWritesNothing)
{
    struct Way {
        const char* name;
        std::function<void(HWND)> close;
    };
    const Way ways[] = {
        {"Cancel button", [](HWND dialog) { Click(dialog, IDCANCEL); }},
        {"Escape key",
         [](HWND dialog) {
             // Keystrokes reach the dialog manager through the queue of the
             // window that has the focus.
             GUITHREADINFO gui = {};
             gui.cbSize = sizeof gui;
             GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gui);
             HWND target = gui.hwndFocus ? gui.hwndFocus : dialog;
             PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
             PostMessageA(target, WM_KEYUP, VK_ESCAPE, 0xC0010001);
         }},
        {"close box", [](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        SetUp();
        ASSERT_TRUE(PutSettings(1, 1));
        Load();
        std::string afterClicks;
        Outcome run = Open(1, [&](HWND dialog) {
            Click(dialog, 1003);
            Click(dialog, 1000);
            afterClicks = ControlState(dialog);
            way.close(dialog);
        });
        ASSERT_TRUE(run.appeared) << "no dialog window (is there an X display?)";
        EXPECT_TRUE(run.closed);
        EXPECT_EQ("010/1", run.opening);
        EXPECT_EQ("001/0", afterClicks);
        EXPECT_EQ(0, run.result);
        EXPECT_EQ((Stored{REG_DWORD, 1}), Get("NumberingMode"));
        EXPECT_EQ((Stored{REG_DWORD, 1}), Get("CheckMode"));
        EXPECT_EQ("SCENE-000.DAT", FirstListedName(plugin));
        EXPECT_EQ("010/1", OpeningState());
    }
}

TEST_F(ConfigDialog, OkWithoutChangesStillWritesBothValues)
{
    ASSERT_TRUE(PutSettings(1, 2));
    Load();
    DeleteSettingValues();
    Outcome run = Open(1, [](HWND dialog) { Click(dialog, IDOK); });
    ASSERT_TRUE(run.appeared) << "no dialog window (is there an X display?)";
    EXPECT_EQ("001/1", run.opening);
    EXPECT_EQ(0, run.result);
    EXPECT_EQ((Stored{REG_DWORD, 2}), Get("NumberingMode"));
    EXPECT_EQ((Stored{REG_DWORD, 1}), Get("CheckMode"));
}

TEST_F(ConfigDialog, OtherFunctionNumbersShowNothing)
{
    ASSERT_TRUE(PutSettings(1, 2));
    Load();
    DeleteSettingValues();
    for (int function : {0, 2, -1}) {
        Outcome run = Open(function, [](HWND dialog) { Click(dialog, IDOK); });
        EXPECT_EQ(-1, run.result) << function;
        EXPECT_FALSE(run.appeared) << function;
    }
    EXPECT_FALSE(Get("CheckMode"));
    EXPECT_FALSE(Get("NumberingMode"));
    EXPECT_EQ("001/1", OpeningState());
}

}  // namespace
