// The settings dialog that a host opens through ConfigurationDlg.
#include "settings/dialog.h"

#include "archive/state.h"
#include "plugin/exports.h"
#include "settings/registry.h"

// Radio button of each NumberingMode value.
static const int NUMBERING_RADIO_IDS[3] = {1001, 1002, 1003};

// Sets the radio button of `mode` and clears the other two. A mode outside
// the table (the settings store never lets one through) clears all three.
static void ShowNumberingMode(HWND dialog, uint32_t mode)
{
    int checked = mode < 3 ? NUMBERING_RADIO_IDS[mode] : 0;
    CheckRadioButton(dialog, CONFIG_FIRST_NUMBERING_ID, CONFIG_LAST_NUMBERING_ID, checked);
}

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    if (message == WM_INITDIALOG) {
        ShowNumberingMode(dialog, NumberingMode);
        CheckDlgButton(dialog, CONFIG_CHECK_MODE_ID, CheckMode);
        return TRUE;  // the first tab stop (OK) gets the focus
    }
    if (message != WM_COMMAND) return FALSE;

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
        CheckMode = IsDlgButtonChecked(dialog, CONFIG_CHECK_MODE_ID);
        break;
    case 1001:
    case 1002:
    case 1003:
        NumberingMode = LOWORD(wParam) - CONFIG_FIRST_NUMBERING_ID;
        ShowNumberingMode(dialog, NumberingMode);
        break;
    default:
        break;
    }
    return TRUE;
}

extern "C" int __stdcall ConfigurationDlg(HWND parent, int function)
{
    if (function != 1) return -1;  // only "settings" is offered; no about box

    uint32_t previousCheckMode = CheckMode;
    uint32_t previousNumberingMode = NumberingMode;
    INT_PTR result = DialogBoxParamA(moduleInstance, MAKEINTRESOURCEA(CONFIG_DIALOG_ID), parent,
                                     ConfigDialogProc, 0);
    if (result == IDOK) {
        SaveSettings();
    } else {
        // Cancel, or a dialog that could not be created (-1 or 0): the
        // clicks made while it was open are undone.
        CheckMode = previousCheckMode;
        NumberingMode = previousNumberingMode;
    }
    return 0;
}
