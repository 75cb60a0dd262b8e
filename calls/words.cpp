#include "calls/words.h"

#include <string.h>

#include "archive/state.h"
#include "calls/calls.h"

static const char* const LAYOUT_NAMES[3] = {"raw", "kind-size", "kind-only"};
static const char* const NUMBERING_NAMES[3] = {"dummies", "kept", "packed"};

const char* LayoutName(int32_t layout)
{
    return layout >= LAYOUT_RAW && layout <= LAYOUT_KIND_ONLY ? LAYOUT_NAMES[layout] : LAYOUT_NAMES[LAYOUT_RAW];
}

bool LayoutOfName(const char* name, EntryLayout* layout)
{
    for (int32_t l = LAYOUT_RAW; name && l <= LAYOUT_KIND_ONLY; l++) {
        if (!strcmp(name, LAYOUT_NAMES[l])) {
            *layout = (EntryLayout)l;
            return true;
        }
    }
    return false;
}

const char* NumberingName(uint32_t numberingMode)
{
    return NUMBERING_NAMES[numberingMode <= NUMBERING_PACKED ? numberingMode : NUMBERING_WITH_DUMMIES];
}

bool NumberingOfName(const char* name, EntryNumbering* numberingMode)
{
    for (uint32_t m = NUMBERING_WITH_DUMMIES; name && m <= NUMBERING_PACKED; m++) {
        if (!strcmp(name, NUMBERING_NAMES[m])) {
            *numberingMode = (EntryNumbering)m;
            return true;
        }
    }
    return false;
}

const char* ResultMeaning(int code)
{
    switch (code) {
    case RESULT_OK: return "success";
    case -1: return "function not offered";
    case RESULT_UNSUPPORTED_FLAGS: return "unsupported input/output kind, or the output could not be written";
    case RESULT_NOT_ARCHIVE: return "not an archive of this format, or no such entry";
    case RESULT_NO_RECORD: return "a record for the entry could not be built";
    case RESULT_NO_HOST_MEMORY: return "memory for the result could not be allocated";
    case RESULT_NO_MEMORY: return "a working buffer could not be allocated";
    case RESULT_CANNOT_OPEN: return "the archive file could not be opened";
    default: return "unknown result";
    }
}
