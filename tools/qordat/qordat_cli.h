// What qordat's commands share: how problems are reported, the commands'
// help, and number parsing.
//
// Conventions, as tar, bsdtar and unzip users expect them: what a command
// produces goes to stdout, every message about a problem to stderr, prefixed
// "qordat: ". Exit status 0 when everything asked for was done, 1 when
// something failed (an entry not written, a damaged entry, a pattern that
// matched nothing, a file that cannot be read or written), 2 for a usage
// error (one line on stderr naming the problem and where help is).
#ifndef MORQUENT_TOOLS_QORDAT_CLI_H
#define MORQUENT_TOOLS_QORDAT_CLI_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qordat {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The command being run ("list", "extract", ...), for usage errors.
extern const char* currentCommand;

// A usage error: "qordat: COMMAND: PROBLEM (see 'qordat COMMAND --help')" on
// stderr; returns kExitUsage.
int Usage(const std::string& problem);
// A failure: "qordat: MESSAGE" on stderr; returns kExitFailed.
int Fail(const std::string& message);
// The message of errno's current value, for "...: Permission denied".
std::string SystemError();

// Prints the help of `command` (the overview for null) to stdout.
void PrintHelp(const char* command);

// A whole argument as a byte count in [0, INT32_MAX] or, for offsets, in
// [0, 2^62]: decimal, or hex with a 0x prefix.
bool ParseCount(const char* text, size_t& value);
bool ParseOffset(const char* text, uint64_t& value);

// list and extract (qordat_extract.cpp).
int CommandList(int argc, char** argv);
int CommandExtract(int argc, char** argv);

}  // namespace qordat

#endif
