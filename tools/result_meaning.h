// What the result codes of the 00AM archive calls mean, as spihost and qordat
// report them.
#ifndef MORQUENT_TOOLS_RESULT_MEANING_H
#define MORQUENT_TOOLS_RESULT_MEANING_H

inline const char* ResultMeaning(int code)
{
    switch (code) {
    case 0: return "success";
    case -1: return "function not offered";
    case 1: return "unsupported input/output kind, or the output could not be written";
    case 2: return "not an archive of this format, or no such entry";
    case 3: return "a record for the entry could not be built";
    case 4: return "memory for the result could not be allocated";
    case 5: return "a working buffer could not be allocated";
    case 6: return "the archive file could not be opened";
    default: return "unknown result";
    }
}

#endif
