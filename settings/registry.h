// The two user settings, kept under
//   HKEY_CURRENT_USER\Software\Orlentis\Susie\Plug-in\morquent
// as the REG_DWORD values "CheckMode" (0 or 1) and "NumberingMode" (0 to 2).
#ifndef MORQUENT_SETTINGS_REGISTRY_H
#define MORQUENT_SETTINGS_REGISTRY_H

#include <stdint.h>

#include "archive/state.h"

// The key under HKEY_CURRENT_USER and its two values' names: the one place
// the plug-in, the tools and the tests take them from.
inline const char SETTINGS_KEY[] = "Software\\Orlentis\\Susie\\Plug-in\\morquent";
inline const char CHECK_MODE_VALUE[] = "CheckMode";
inline const char NUMBERING_MODE_VALUE[] = "NumberingMode";

// Reads both settings into *checkMode and *numberingMode (the plug-in's
// state, at process attach). Creates the key with both values as they are on
// first use; a missing, oversized or out-of-range value keeps the in-memory
// value, which is written back as a REG_DWORD. A key that cannot be opened
// leaves everything alone.
void LoadSettings(uint32_t* checkMode, EntryNumbering* numberingMode);

// Writes both settings as REG_DWORD values. Failures are ignored.
void SaveSettings(uint32_t checkMode, EntryNumbering numberingMode);

#endif
