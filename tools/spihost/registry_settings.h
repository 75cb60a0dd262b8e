// The plug-in's two settings in the registry, as spihost, the Wine tests and the
// benchmarks set them: the plug-in reads them once, when it loads, so they are
// put in place before LoadLibraryA, and the user's values put back after.
#ifndef MORQUENT_TOOLS_REGISTRY_SETTINGS_H
#define MORQUENT_TOOLS_REGISTRY_SETTINGS_H

#include <windows.h>

#include "settings/registry.h"

namespace testing_plugin {

inline const char* const SETTINGS_KEY_PATH = SETTINGS_KEY;
inline const char* const SETTING_NAMES[2] = {CHECK_MODE_VALUE, NUMBERING_MODE_VALUE};

// The stored DWORD values, or their absence.
struct SavedSettings {
    bool present[2] = {};
    DWORD value[2] = {};
};

inline SavedSettings ReadSettings()
{
    SavedSettings saved;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_READ, &key) != ERROR_SUCCESS) return saved;
    for (int i = 0; i < 2; i++) {
        DWORD size = sizeof saved.value[i], type = 0;
        saved.present[i] = RegQueryValueExA(key, SETTING_NAMES[i], nullptr, &type, (BYTE*)&saved.value[i], &size) ==
                               ERROR_SUCCESS && type == REG_DWORD;
    }
    RegCloseKey(key);
    return saved;
}

// Writes both settings as REG_DWORD; false when the key cannot be created.
inline bool PutSettings(DWORD checkMode, DWORD numberingMode)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    RegSetValueExA(key, SETTING_NAMES[0], 0, REG_DWORD, (const BYTE*)&checkMode, sizeof checkMode);
    RegSetValueExA(key, SETTING_NAMES[1], 0, REG_DWORD, (const BYTE*)&numberingMode, sizeof numberingMode);
    RegCloseKey(key);
    return true;
}

inline void RestoreSettings(const SavedSettings& saved)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY_PATH, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    for (int i = 0; i < 2; i++) {
        if (saved.present[i])
            RegSetValueExA(key, SETTING_NAMES[i], 0, REG_DWORD, (const BYTE*)&saved.value[i], sizeof saved.value[i]);
        else
            RegDeleteValueA(key, SETTING_NAMES[i]);
    }
    RegCloseKey(key);
}

}  // namespace testing_plugin

#endif
