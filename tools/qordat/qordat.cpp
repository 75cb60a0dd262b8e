// qordat: lists, extracts, tests, builds and examines QOR's DAT archives.
//
//   qordat list ARCHIVE [PATTERN...]              (list.cpp)
//   qordat extract ARCHIVE [PATTERN...] [-o DIR]  (extract.cpp)
//   qordat test ARCHIVE [PATTERN...]              (test.cpp)
//   qordat pack OUT.DAT ENTRY...                  (pack.cpp)
//   qordat dump ARCHIVE                           (dump.cpp)
//   qordat unpack ARCHIVE -o DIR                  (unpack.cpp)
//   qordat repack DIR OUT.DAT                     (repack.cpp)
//   qordat replace ARCHIVE ENTRY FILE...          (replace.cpp)
//
// list, extract, test and unpack run the plug-in's own calls (plugin.cpp);
// dump reads the file itself only; pack, repack and replace write through
// the one archive writer (writer/) and read back through the calls. Every field is checked against
// the file's length before use, and every command reads in pieces.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/qordat/common.h"

#ifndef QORDAT_VERSION
#define QORDAT_VERSION "unknown"
#endif

namespace qordat {
namespace {

struct CommandHelp {
    const char* name;
    const char* text;
};

const char kOverview[] =
    "usage: qordat COMMAND [OPTION...] ARGUMENT...\n"
    "Lists, extracts and builds QOR's DAT game-data archives with the code of\n"
    "the morquent plug-in: the names, sizes and bytes are the ones a host gets.\n"
    "\n"
    "commands:\n"
    "  list ARCHIVE [PATTERN...]               the entries: name, size, stored size, position\n"
    "  extract ARCHIVE [PATTERN...] [-o DIR]   write the entries into DIR (default: here)\n"
    "  test ARCHIVE [PATTERN...]               check every entry, writing nothing\n"
    "  pack OUT.DAT ENTRY...                   build an archive from files, checked\n"
    "  dump ARCHIVE                            the count, size table and entry heads, raw\n"
    "  unpack ARCHIVE -o DIR                   every slot, and a manifest to rebuild it from\n"
    "  repack DIR OUT.DAT                      the archive again from an unpacked folder\n"
    "  replace ARCHIVE ENTRY FILE...           entries replaced in place\n"
    "\n"
    "'qordat COMMAND --help' shows a command's options, 'man qordat' the details.\n"
    "--version prints the version. Exit status: 0 done, 1 something failed\n"
    "(reported on stderr), 2 usage error.\n";

#define QORDAT_READING_OPTIONS                                                           \
    "  --numbering dummies|kept|packed  how empty slots are listed and entries\n"        \
    "                     numbered (default dummies: empty slots as *.DMY)\n"            \
    "  --full-scan        size compressed entries of unknown content by reading\n"       \
    "                     them whole (needed by some archives; slower)\n"                \
    "  --offset N         the archive begins N bytes into the file\n"

const CommandHelp kHelp[] = {
    {"list",
     "usage: qordat list ARCHIVE [PATTERN...] [OPTION...]\n"
     "Lists the entries as the plug-in lists them for a host: name, content size,\n"
     "stored size and position (3 x slot + numbering). PATTERNs choose entries by\n"
     "name or shell wildcard (*, ?, [...]), ignoring case. Damage that the size\n"
     "table and the file's length show is reported on stderr (exit status 1).\n"
     "\n" QORDAT_READING_OPTIONS
     "  --tsv              a header line, then name, position, stored size and\n"
     "                     size of each entry, tab-separated\n"
     "\n"
     "  qordat list SCENE.DAT\n"
     "  qordat list SCENE.DAT '*.wav' --numbering packed --tsv\n"},
    {"extract",
     "usage: qordat extract ARCHIVE [PATTERN...] [-o DIR] [OPTION...]\n"
     "Writes the entries (all, or those the PATTERNs choose: names from the\n"
     "listing or shell wildcards *, ?, [...], ignoring case) into DIR through the\n"
     "plug-in's own extraction. Existing files are replaced. Each file is written\n"
     "under a temporary name and put in place when complete. A damaged entry (the\n"
     "archive ends inside it, or its stream ends short) is reported and not\n"
     "written; an entry whose record cannot be built does not stop the others.\n"
     "\n"
     "  -o, --output DIR   where the files go (default: the current folder)\n"
     "  -k, --keep-old-files  never replace an existing file (each is reported)\n"
     "  -q, --quiet        print only errors (no progress either)\n"
     "  -v, --verbose      also each entry's offset, stored size and layout, and\n"
     "                     the plug-in's result codes\n"
     "  --salvage          write damaged entries too, as a host receives them (the\n"
     "                     missing bytes as zeros); still reported, exit status 1\n"
     QORDAT_READING_OPTIONS
     "\n"
     "Exit status: 0 every entry written, 1 an entry failed or was damaged or a\n"
     "pattern matched nothing (the others are still written), 2 usage error.\n"
     "\n"
     "  qordat extract SCENE.DAT -o scene\n"
     "  qordat extract SCENE.DAT '*.bmp' scene~002.wav\n"},
    {"test",
     "usage: qordat test ARCHIVE [PATTERN...] [OPTION...]\n"
     "Reads and expands every entry (or those the PATTERNs choose) as extraction\n"
     "would, writes nothing, and names each damaged entry with what is wrong.\n"
     "Exit status 0 when every entry is whole, 1 otherwise.\n"
     "\n"
     "  -q, --quiet        print only the damaged entries\n"
     QORDAT_READING_OPTIONS
     "\n"
     "  qordat test SCENE.DAT\n"},
    {"pack",
     "usage: qordat pack OUT.DAT [OPTION...] ENTRY...\n"
     "Builds an archive of the ENTRY arguments in order: each a file, a folder (its\n"
     "files in natural order: MANY~101 before MANY~1000), or --empty for an empty\n"
     "slot. Files are read and written in pieces (compressed on the fly), so memory\n"
     "stays small whatever their size. The archive is then read back as a host\n"
     "reads it; where a reader would get something else, pack names the entry and\n"
     "the way out and keeps no archive (exit status 1). An existing OUT.DAT that is\n"
     "not an archive is never replaced without --force. A 0-byte file takes\n"
     "--empty instead, but in the raw layout. One line sums up what was written.\n"
     "\n"
     "  --layout raw|kind-size|kind-only  entry heads: none (default), kind and\n"
     "                     declared size, or kind only\n"
     "  --compress         store every entry LZSS-compressed (not with raw), or\n"
     "                     plain where compression would make it larger\n"
     "  --plain, --compressed  store the next ENTRY plain, or compressed even if\n"
     "                     that makes it larger\n"
     "  --fast             compress about twice as fast (lazy matching over hash\n"
     "                     chains): 3 to 12 % larger on text\n"
     "  --best             the smallest output the format allows, at about two\n"
     "                     thirds of the default's speed (the default: under 1 %\n"
     "                     larger)\n"
     "  -j, --jobs N       compress on N threads (default: every core); the output\n"
     "                     does not depend on N\n"
     "  -v, --verbose      say how each file was stored and its sizes\n"
     "  --repeat N         add the next ENTRY N times (1 to 65536)\n"
     "  -f, --force        replace an OUT.DAT that is not an archive, keep an\n"
     "                     archive that reads back otherwise (still said), write a\n"
     "                     0-byte file as an entry or more than 8191 entries, pack\n"
     "                     a folder that unpack wrote (its manifest too)\n"
     "  -q, --quiet        no summary line\n"
     "  --                 every later argument is a file\n"
     "\n"
     "For test archives (damaged on purpose; not read back):\n"
     "  --kind K           kind field of the next ENTRY\n"
     "  --declared N       declared size of the next ENTRY (kind-size layout)\n"
     "  --stored-size N    size-table value of the next ENTRY\n"
     "  --count N          count field to write\n"
     "  --offset N         N bytes (0xEE) before the archive\n"
     "  --truncate N       cut the file to N bytes\n"
     "Numbers may be decimal or 0x-hex; 32-bit fields take negative values or\n"
     "their unsigned form (0xFFFFFFFF).\n"
     "\n"
     "  qordat pack SCENE.DAT --layout kind-size --compressed title.bmp --empty chime.wav\n"
     "  qordat pack SCENE.DAT --layout kind-size --compress scene/\n"},
    {"dump",
     "usage: qordat dump ARCHIVE [--offset N]\n"
     "Prints the count, the size table, each entry's offset and the raw kind and\n"
     "declared-size fields at its start, and where the file is cut. Exit status 1\n"
     "when the file holds no valid count.\n"
     "\n"
     "  qordat dump SCENE.DAT\n"},
    {"unpack",
     "usage: qordat unpack ARCHIVE -o DIR [--layout L] [--offset N] [OPTION...]\n"
     "Writes every slot's content into DIR through the plug-in's extraction, under\n"
     "the name it gives it (an empty slot as an empty *.DMY file), read by the\n"
     "layout the plug-in detects (full scans on) or the one --layout gives, and\n"
     "beside them qordat.manifest (one line per slot: head, kind, declared size,\n"
     "storage, digests) and, when it keeps any, qordat.stored (compressed\n"
     "slots' stored bytes, the bytes before and after the archive): what\n"
     "'qordat repack' rebuilds the archive from, byte for byte. The archive is\n"
     "read once, each file digested as it is written. A slot that cannot be\n"
     "read is named; the others still are, and the manifest keeps its stored\n"
     "bytes.\n"
     "\n"
     "  -o, --output DIR   where the files go\n"
     "  --layout L         read the slots by this layout: raw, kind-size or kind-only\n"
     "                     (also archives the plug-in refuses)\n"
     "  --offset N         the archive begins N bytes into the file\n"
     "  --salvage          write damaged slots too, the missing bytes as zeros\n"
     "  -q, --quiet        print only errors\n"
     "\n"
     "  qordat unpack SCENE.DAT -o scene\n"
     "  qordat repack scene SCENE.DAT\n"},
    {"repack",
     "usage: qordat repack DIR OUT.DAT [OPTION...]\n"
     "Rebuilds the archive that 'qordat unpack' wrote into DIR, by DIR's\n"
     "qordat.manifest: a slot whose file and head fields are unchanged is copied\n"
     "as it was stored; a changed file is stored as its slot was (compressed if\n"
     "it was, with its kind, its declared size following the content); slots\n"
     "added to the manifest are appended. The archive is read back as a host\n"
     "reads it (an archive the plug-in does not list: as unpack --layout reads\n"
     "it) before it is put in place. A manifest line that is wrong, or a file\n"
     "it names that DIR lacks, is named and nothing is written; a file in DIR\n"
     "that no line names is left out, and named.\n"
     "\n"
     "Without a manifest (a folder 'qordat extract' wrote), the files named as\n"
     "the plug-in names entries (SCENE~004.BMP) are the slots, in the order of\n"
     "their numbers (compared as numbers), empty *.DMY files empty slots, every\n"
     "file stored plain in the raw layout, as pack writes them, or --layout's.\n"
     "Numbers that are not 0, 1, 2, ... each once, or other files, are named\n"
     "and nothing is written; hidden files and folders are left alone. An\n"
     "existing OUT.DAT that is not an archive is never replaced without --force.\n"
     "\n"
     "  --layout L         without a manifest: raw (default), kind-size or kind-only\n"
     "  --fast, --best     the encoder's level for changed compressed slots\n"
     "  -j, --jobs N       compress on N threads (default: every core)\n"
     "  -v, --verbose      say how each slot with a file was stored\n"
     "  -f, --force        replace an OUT.DAT that is not an archive\n"
     "  -q, --quiet        print only errors\n"
     "\n"
     "  qordat unpack SCENE.DAT -o scene && edit scene/SCENE~004.DAT\n"
     "  qordat repack scene SCENE.DAT\n"
     "  qordat extract SCENE.DAT -o files && qordat repack files NEW.DAT\n"},
    {"replace",
     "usage: qordat replace ARCHIVE ENTRY FILE [ENTRY FILE...] [OPTION...]\n"
     "Replaces the named entries (names as 'qordat list' shows them, any case) with\n"
     "the FILEs, in place: each stored as its slot was (compressed if it was,\n"
     "with its kind), every other slot's stored bytes copied as they are. The\n"
     "new archive is written beside the old, read back as a host reads it, and\n"
     "renamed over it; on any failure, or Ctrl-C, the archive is left as it was.\n"
     "A name the archive lacks, a FILE too large for a slot, or an archive you\n"
     "may not write (read-only) changes nothing.\n"
     "\n" QORDAT_READING_OPTIONS
     "  --fast, --best, -j N  the encoder, as for repack\n"
     "  -q, --quiet        print only errors\n"
     "\n"
     "  qordat replace SCENE.DAT SCENE~004.DAT script.txt\n"},
};

}  // namespace

void PrintHelp(const char* command)
{
    for (const CommandHelp& help : kHelp) {
        if (command && !std::strcmp(command, help.name)) {
            std::fputs(help.text, stdout);
            return;
        }
    }
    std::fputs(kOverview, stdout);
}

}  // namespace qordat

int main(int argc, char** argv)
{
    if (argc < 2) return qordat::Usage("no command given");
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        qordat::PrintHelp(argc > 2 && command == "help" ? argv[2] : nullptr);
        return qordat::kExitOk;
    }
    if (command == "--version" || command == "-V") {
        std::printf("qordat " QORDAT_VERSION " (morquent)\n");
        return qordat::kExitOk;
    }
    static const struct {
        const char* name;
        int (*run)(int, char**);
    } kCommands[] = {{"list", qordat::CommandList}, {"extract", qordat::CommandExtract},
                     {"test", qordat::CommandTest}, {"pack", qordat::CommandPack},
                     {"dump", qordat::CommandDump}, {"unpack", qordat::CommandUnpack},
                     {"repack", qordat::CommandRepack}, {"replace", qordat::CommandReplace}};
    for (const auto& c : kCommands) {
        if (command != c.name) continue;
        qordat::currentCommand = c.name;
        // The command's arguments, after its name (the parser's argv[0]).
        return c.run(argc - 1, argv + 1);
    }
    if (!command.empty() && command[0] == '-') return qordat::Usage("unknown option '" + command + "'");
    return qordat::Usage("unknown command '" + command + "'");
}
