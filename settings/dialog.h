// The configuration dialog (template CONFIG_DIALOG_ID in settings/morquent.rc):
// three radio buttons choose NumberingMode, a check box sets CheckMode.
#ifndef MORQUENT_SETTINGS_DIALOG_H
#define MORQUENT_SETTINGS_DIALOG_H

#include <stdint.h>
#include <windows.h>

#include "archive/state.h"
#include "settings/dialog_ids.h"

// Runs the dialog modally, owned by `parent`, from the template in `module`.
// Every click changes *checkMode or *numberingMode at once; OK saves
// them; Cancel, closing, or a dialog that cannot be created
// puts back the values from before it opened.
void RunSettingsDialog(HINSTANCE module, HWND parent, uint32_t* checkMode, EntryNumbering* numberingMode);

#endif
