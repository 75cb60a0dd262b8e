// The result codes of the archive calls, which the exports hand to hosts.
#ifndef MORQUENT_CALLS_RESULT_H
#define MORQUENT_CALLS_RESULT_H

// Result codes of the archive calls.
enum ResultCode : int {
    RESULT_OK = 0,
    RESULT_UNSUPPORTED_FLAGS = 1,  // input other than a file, or an output kind other than disk or memory
    RESULT_OUTPUT_FAILED = 1,      // GetFile's output could not be made: the same code as above
    RESULT_NOT_ARCHIVE = 2,        // not this format; a name or position that names no entry
    RESULT_NO_RECORD = 3,          // a record for the entry could not be built
    RESULT_NO_HOST_MEMORY = 4,     // a block for the host could not be allocated
    RESULT_NO_MEMORY = 5,          // a working buffer could not be allocated, or a block locked
    RESULT_CANNOT_OPEN = 6         // the archive file could not be opened
};

#endif
