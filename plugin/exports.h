// The exports of the 00AM archive plug-in interface, as the DLL exposes them:
// __stdcall (the callee removes the arguments), exported under their plain
// names by morquent.def.
#ifndef MORQUENT_PLUGIN_EXPORTS_H
#define MORQUENT_PLUGIN_EXPORTS_H

#include <windows.h>

#include "archive/entry.h"

extern "C" {
// Copies identification text `index` (0 "00AM", 1 about text, 2 filter,
// 3 type description) into `buffer`; returns the number of bytes written.
int __stdcall GetPluginInfo(int index, LPSTR buffer, int bufferLength);

// 1 when the file is a QOR's DAT archive. `source` is a file handle when no
// bit above the low 16 is set, otherwise the address of the file's first
// 2,048 bytes.
int __stdcall IsSupported(LPCSTR filePath, DWORD_PTR source);
}

// The plug-in's own module, which holds the dialog template.
extern HINSTANCE moduleInstance;

#endif
