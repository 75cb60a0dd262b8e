// DLL entry point of morquent.spi.
#include "plugin/exports.h"
#include "settings/registry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    moduleInstance = instance;
    if (reason != DLL_PROCESS_ATTACH) return FALSE;  // nothing to do, nothing saved at detach
    LoadSettings(&pluginState.settings.CheckMode, &pluginState.settings.NumberingMode);
    return TRUE;
}
