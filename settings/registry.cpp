#include "settings/registry.h"

#include <windows.h>


static const char EMPTY_CLASS[] = "";

// Opens the settings key, creating it (and missing parents) when needed. The
// key is created non-volatile: a volatile key would lose the user's settings
// at log-off. A key that exists already keeps its kind.
static bool OpenSettingsKey(HKEY* key, DWORD* disposition)
{
    return RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, (LPSTR)EMPTY_CLASS, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, NULL, key, disposition) == ERROR_SUCCESS;
}

static void WriteSetting(HKEY key, const char* name, const uint32_t* value)
{
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)value, sizeof *value);
}

// Queries `name` straight into the setting variable, offering 4 bytes. The
// stored type is not examined: shorter data fill the low bytes and only the
// range decides. A failed query (missing, or longer than 4 bytes) or a value
// above `maximum` restores the previous value and writes it back.
static void LoadSetting(HKEY key, const char* name, uint32_t* value, uint32_t maximum)
{
    uint32_t previous = *value;
    DWORD size = sizeof *value;
    LONG result = RegQueryValueExA(key, name, NULL, NULL, (BYTE*)value, &size);
    if (result != ERROR_SUCCESS || *value > maximum) {
        *value = previous;
        WriteSetting(key, name, value);
    }
}

void LoadSettings(uint32_t* checkMode, EntryNumbering* numberingMode)
{
    HKEY key;
    DWORD disposition = 0;
    if (!OpenSettingsKey(&key, &disposition)) return;
    // The registry holds a DWORD; the numbering is read into one and checked
    // before it becomes a mode.
    uint32_t numbering = *numberingMode;
    if (disposition == REG_CREATED_NEW_KEY) {
        WriteSetting(key, CHECK_MODE_VALUE, checkMode);
        WriteSetting(key, NUMBERING_MODE_VALUE, &numbering);
    } else if (disposition == REG_OPENED_EXISTING_KEY) {
        LoadSetting(key, CHECK_MODE_VALUE, checkMode, 1);
        LoadSetting(key, NUMBERING_MODE_VALUE, &numbering, NUMBERING_PACKED);
    }
    *numberingMode = (EntryNumbering)numbering;
    RegCloseKey(key);
}

void SaveSettings(uint32_t checkMode, EntryNumbering numberingMode)
{
    HKEY key;
    DWORD disposition;
    if (!OpenSettingsKey(&key, &disposition)) return;
    uint32_t numbering = numberingMode;
    WriteSetting(key, CHECK_MODE_VALUE, &checkMode);
    WriteSetting(key, NUMBERING_MODE_VALUE, &numbering);
    RegCloseKey(key);
}
