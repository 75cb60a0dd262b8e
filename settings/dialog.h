// The configuration dialog (template 102 in settings/morquent.rc): three radio
// buttons choose NumberingMode, a check box sets CheckMode.
#ifndef MORQUENT_SETTINGS_DIALOG_H
#define MORQUENT_SETTINGS_DIALOG_H

#include <windows.h>

// Dialog template and control ids, shared with the resource script.
enum {
    CONFIG_DIALOG_ID = 102,
    CONFIG_CHECK_MODE_ID = 1000,      // check box: CheckMode
    CONFIG_FIRST_NUMBERING_ID = 1001, // radio buttons 1001..1003: NumberingMode 0..2
    CONFIG_LAST_NUMBERING_ID = 1003
};

// Dialog procedure. Every click changes the process-wide setting at once; OK
// and Cancel end the dialog with 1 and 2. Returns TRUE for WM_INITDIALOG and
// every WM_COMMAND, FALSE for anything left to the default dialog handling.
INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
