// qordat's commands that run the plug-in's own archive calls (calls/calls.h)
// over the native side of the platform seam: `list` and `extract`. Built
// natively only; qordat.cpp offers them when QORDAT_PLUGIN_CALLS is defined.
#ifndef MORQUENT_TOOLS_QORDAT_CALLS_H
#define MORQUENT_TOOLS_QORDAT_CALLS_H

#include <cstddef>
#include <string>

namespace qordat {

// qordat list ARCHIVE [--numbering dummies|kept|packed] [--full-scan] [--offset N] [--tsv]
int CommandList(int argc, char** argv);
// qordat extract ARCHIVE [NAME...] -o DIR [--numbering dummies|kept|packed] [--full-scan]
int CommandExtract(int argc, char** argv);

// Shared with qordat.cpp: a usage error (the problem and the usage; exit
// status 2), a failure (the message; exit status 1), and a byte count in
// [0, INT32_MAX], decimal or 0x-hex.
int Usage(const char* problem);
int Fail(const std::string& message);
bool ParseCount(const char* text, size_t& value);

}  // namespace qordat

#endif
