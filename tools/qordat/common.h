// What qordat's commands share: how problems are reported, the one option
// parser, number parsing and the layouts' names.
//
// Conventions, as tar, bsdtar and unzip users expect them: what a command
// produces goes to stdout, every message about a problem to stderr, prefixed
// "qordat: ". Exit status 0 when everything asked for was done, 1 when
// something failed (an entry not written, a damaged entry, a pattern that
// matched nothing, a file that cannot be read or written), 2 for a usage
// error (one line on stderr naming the command, the problem and where help
// is).
#ifndef MORQUENT_TOOLS_QORDAT_COMMON_H
#define MORQUENT_TOOLS_QORDAT_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "calls/words.h"

namespace qordat {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kHelped = -1;  // --help was given and printed: exit 0

// The command being run ("list", "extract", ...), for usage errors.
extern const char* currentCommand;

// A usage error: "qordat: COMMAND: PROBLEM (see 'qordat COMMAND --help')" on
// stderr; returns kExitUsage.
int Usage(const std::string& problem);
// A failure: "qordat: MESSAGE" on stderr; returns kExitFailed.
int Fail(const std::string& message);
// The message of errno's current value ("Permission denied"), or of `error`.
std::string SystemError();
std::string SystemError(int error);

// "1 entry", "2 entries"; "1 byte", "3 bytes".
std::string Count(int64_t n, const char* one, const char* many);
std::string Bytes(uint64_t n);

// Prints the help of `command` (the overview for null) to stdout.
void PrintHelp(const char* command);

// A whole argument as an integer in [low, high]: decimal, or hex with a 0x
// prefix, a '-' where low allows it.
bool ParseNumber(const char* text, int64_t low, int64_t high, int64_t& value);

// Moves `f` to byte `at` (64-bit on every system); false when it cannot.
bool SeekTo(FILE* f, uint64_t at);
// Offsets into a file: 0 to 2^62.
constexpr int64_t kMaxOffset = int64_t(1) << 62;

// Layouts (LAYOUT_* of the archive code) by the names in calls/words.h.
bool ParseLayout(const char* text, EntryLayout& layout);

// The one option parser of every command (getopt_long): options and
// arguments in any order, long options with their value after '=' or as
// the next argument, abbreviated as long as they stay unambiguous, short
// ones bundled (-kq) and their value attached (-oDIR) or next (-ko DIR);
// "--" ends the options.
struct OptionDef {
    const char* name;  // long name, without "--"
    char letter;       // short form, or 0
    bool takesValue;
    int id;            // handed to onOption
};
// Calls onOption(id, value) for every option (value null for a flag) and
// onArgument(text) for every other argument, in command-line order (pack
// depends on it); either returns 0 to go on or an exit status to stop with.
// --help and -h print the command's help. Returns 0, kHelped, or the status
// (a usage error is reported).
int ParseCommandLine(int argc, char** argv, const std::vector<OptionDef>& options,
                     const std::function<int(int id, const char* value)>& onOption,
                     const std::function<int(const char* argument)>& onArgument);

// Whether pack or repack may write `outPath`: nothing is there, or a QOR's
// DAT archive (its table at byte 0 or at `offset`), or `force` says so. A
// folder is never written over. 0, or the status of the failure reported
// (the way out, --force, named).
int CheckReplaceable(const std::string& outPath, uint64_t offset, bool force);

// The commands, each in the file of its name.
int CommandList(int argc, char** argv);
int CommandExtract(int argc, char** argv);
int CommandTest(int argc, char** argv);
int CommandPack(int argc, char** argv);
int CommandDump(int argc, char** argv);
int CommandUnpack(int argc, char** argv);
int CommandRepack(int argc, char** argv);
int CommandReplace(int argc, char** argv);

}  // namespace qordat

#endif
