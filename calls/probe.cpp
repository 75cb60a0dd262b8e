// The probe of a candidate file (IsSupported), once its bytes are at hand.
#include "archive/container.h"
#include "archive/names.h"
#include "archive/state.h"
#include "calls/calls.h"

int ProbeArchive(PluginState* state, const char* path, const uint8_t* bytes, int32_t length)
{
    if (!path) return 0;
    if (HasMediaExtension(path)) return 0;
    if (!ValidateContainer(NULL, bytes, length, VALIDATE_PROBE)) return 0;
    DeriveBaseName(path, state->memory.archiveBaseName, sizeof state->memory.archiveBaseName);
    return 1;
}
