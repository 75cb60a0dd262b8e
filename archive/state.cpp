#include "archive/state.h"

const char NUMBERING_SEPARATORS[3] = {'~', '-', '_'};

int32_t entryLayout = LAYOUT_RAW;
uint32_t CheckMode = 0;
uint32_t NumberingMode = NUMBERING_WITH_DUMMIES;
char archiveBaseName[ARCHIVE_BASE_NAME_SIZE];
EntryLocator sharedLocator;
