// The two user settings, kept under
//   HKEY_CURRENT_USER\Software\Orlentis\Susie\Plug-in\morquent
// as the REG_DWORD values "CheckMode" (0 or 1) and "NumberingMode" (0 to 2).
#ifndef MORQUENT_SETTINGS_REGISTRY_H
#define MORQUENT_SETTINGS_REGISTRY_H

extern const char SETTINGS_KEY[];

// Reads both settings into CheckMode and NumberingMode, once, at process
// attach. Creates the key with both values at 0 on first use; a missing,
// oversized or out-of-range value keeps the in-memory value, which is written
// back as a REG_DWORD. A key that cannot be opened leaves everything alone.
void LoadSettings();

// Writes both in-memory settings as REG_DWORD values. Failures are ignored.
void SaveSettings();

#endif
