#include "archive/state.h"

const char NUMBERING_SEPARATORS[3] = {'~', '-', '_'};
