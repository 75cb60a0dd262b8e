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

// Lists every entry of the archive that begins at `offset` in the file:
// *listHandle receives a movable local-memory block of EntryInfo records
// ended by a zeroed record (a null handle on failure). Returns a result code.
int __stdcall GetArchiveInfo(LPCSTR path, LONG_PTR offset, unsigned flags, HLOCAL* listHandle);

// Fills *info (an EntryInfo) for the entry named `entryName` as the listing
// names it. Returns a result code.
int __stdcall GetFileInfo(LPCSTR path, LONG_PTR offset, LPCSTR entryName, unsigned flags, void* info);

// Extracts the entry at `position` (from its EntryInfo): output kind 1 (flags
// bits 8-10) puts a movable local-memory block's handle where `destination`
// points (a null handle on failure), output kind 0 writes a file of the
// entry's name into the directory `destination`. Returns a result code.
int __stdcall GetFile(LPCSTR path, LONG_PTR position, LPSTR destination, unsigned flags, FARPROC progress,
                      LONG_PTR callbackData);

// Function 1 runs the settings dialog modally, owned by `parent`; OK saves
// the settings, anything else restores them. Returns 0, or -1 for any other
// function number (nothing else is offered).
int __stdcall ConfigurationDlg(HWND parent, int function);
}

// The plug-in's own module, which holds the dialog template.
extern HINSTANCE moduleInstance;

// The one state of the plug-in in a host's process: zero (default settings,
// no layout, no base name) when the module is loaded, the settings read at
// process attach, and then whatever the host's calls leave, shared without
// locks since a host calls the exports one at a time.
extern PluginState pluginState;

#endif
