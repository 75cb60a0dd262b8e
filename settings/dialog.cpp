// The settings dialog that a host opens through ConfigurationDlg.
#include "settings/dialog.h"

#include "archive/state.h"  // the numbering modes
#include "settings/registry.h"

// The radio buttons stand for NumberingMode 0, 1 and 2 in id order.
static_assert(CONFIG_NUMBERING_KEEP_ID == CONFIG_NUMBERING_DUMMIES_ID + NUMBERING_KEEP &&
                  CONFIG_NUMBERING_PACKED_ID == CONFIG_NUMBERING_DUMMIES_ID + NUMBERING_PACKED,
              "one radio button per numbering mode, in order");

// Sets the radio button of `mode` and clears the other two. A mode outside
// the three (the settings store never lets one through) clears all three.
static void ShowNumberingMode(HWND dialog, uint32_t mode)
{
    int checked = mode <= NUMBERING_PACKED ? CONFIG_NUMBERING_DUMMIES_ID + (int)mode : 0;
    CheckRadioButton(dialog, CONFIG_NUMBERING_DUMMIES_ID, CONFIG_NUMBERING_PACKED_ID, checked);
}

// The settings the dialog edits, handed in by RunSettingsDialog and kept in
// the dialog's user data.
struct DialogSettings {
    uint32_t* checkMode;
    EntryNumbering* numberingMode;
};

// Dialog procedure. Every click changes the setting at once; OK and Cancel
// end the dialog with 1 and 2. Returns TRUE for WM_INITDIALOG and
// every WM_COMMAND, FALSE for anything left to the default dialog handling.
static INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        const DialogSettings* settings = (const DialogSettings*)lParam;
        SetWindowLongPtrA(dialog, DWLP_USER, (LONG_PTR)settings);
        ShowNumberingMode(dialog, *settings->numberingMode);
        CheckDlgButton(dialog, CONFIG_CHECK_MODE_ID, *settings->checkMode);
        return TRUE;  // the first tab stop (OK) gets the focus
    }
    if (message != WM_COMMAND) return FALSE;
    const DialogSettings* settings = (const DialogSettings*)GetWindowLongPtrA(dialog, DWLP_USER);
    if (!settings) return FALSE;

    // The notification code (high word) does not matter: any command from a
    // control re-reads or re-applies its state.
    switch (LOWORD(wParam)) {
    case IDOK:
        EndDialog(dialog, IDOK);
        break;
    case IDCANCEL:  // also Escape and the close box, which the dialog manager turns into IDCANCEL
        EndDialog(dialog, IDCANCEL);
        break;
    case CONFIG_CHECK_MODE_ID:
        *settings->checkMode = IsDlgButtonChecked(dialog, CONFIG_CHECK_MODE_ID);
        break;
    case CONFIG_NUMBERING_DUMMIES_ID:
    case CONFIG_NUMBERING_KEEP_ID:
    case CONFIG_NUMBERING_PACKED_ID:
        *settings->numberingMode = (EntryNumbering)(LOWORD(wParam) - CONFIG_NUMBERING_DUMMIES_ID);
        ShowNumberingMode(dialog, *settings->numberingMode);
        break;
    default:
        break;
    }
    return TRUE;
}

void RunSettingsDialog(HINSTANCE module, HWND parent, uint32_t* checkMode, EntryNumbering* numberingMode)
{
    uint32_t previousCheckMode = *checkMode;
    EntryNumbering previousNumberingMode = *numberingMode;
    DialogSettings settings = {checkMode, numberingMode};
    INT_PTR result = DialogBoxParamA(module, MAKEINTRESOURCEA(CONFIG_DIALOG_ID), parent, ConfigDialogProc,
                                     (LPARAM)&settings);
    if (result == IDOK) {
        SaveSettings(*checkMode, *numberingMode);
    } else {
        // Cancel, or a dialog that could not be created (-1 or 0): the
        // clicks made while it was open are undone.
        *checkMode = previousCheckMode;
        *numberingMode = previousNumberingMode;
    }
}
