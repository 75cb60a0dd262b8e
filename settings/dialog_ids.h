// Resource and control ids of the settings dialog, for the resource script
// (settings/morquent.rc) and the dialog procedure alike. Plain #defines, the
// only kind the resource compiler reads.
#ifndef MORQUENT_SETTINGS_DIALOG_IDS_H
#define MORQUENT_SETTINGS_DIALOG_IDS_H

#define CONFIG_DIALOG_ID 102          // the dialog template
#define CONFIG_CHECK_MODE_ID 1000     // check box: CheckMode
#define CONFIG_NUMBERING_DUMMIES_ID 1001  // radio buttons: NumberingMode 0, 1, 2, in that order
#define CONFIG_NUMBERING_KEEP_ID 1002
#define CONFIG_NUMBERING_PACKED_ID 1003

#endif
