#include "archive/container.h"

#include "archive/bytes.h"
#include "archive/detect.h"

int32_t ContainerCount(const uint8_t* bytes)
{
    // Byte 0 any value, byte 1 below 0x20, bytes 2 and 3 zero, value > 0.
    if (bytes[1] >= 0x20 || bytes[2] != 0 || bytes[3] != 0) return 0;
    return ReadS32(bytes);  // 0 to 8191 here; 0 means "no count"
}

int ValidateContainer(PluginState* state, const uint8_t* bytes, int32_t length, int mode)
{
    if (length < 4) return 0;
    int32_t count = ContainerCount(bytes);
    if (count <= 0) return 0;

    // Only sizes that begin inside the offered bytes are examined: with the
    // probe's 2,048 bytes that is the first 511 at most.
    for (int32_t i = 0; i < count && 4 + 4 * (int64_t)i < length; i++) {
        if (S32At(bytes, (uint32_t)length, 4 + 4 * (uint32_t)i) < 0) return 0;
    }

    if (mode != VALIDATE_LISTING) return 1;
    EntryLayout detected = DetectEntryLayout(state->settings.CheckMode, bytes, length, count);
    if (detected == LAYOUT_REFUSED) return 0;
    state->memory.entryLayout = detected;
    return 1;
}
