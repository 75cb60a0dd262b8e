// The hostile-archive run through the real morquent.spi: every archive of the
// corpus that make_hostile_corpus.py packs with qordat (damaged counts and
// sizes, cut files, every kind under every layout, odd declared and announced
// sizes, entries of 0 to 6 bytes) goes through the probe, the listing in each
// numbering mode under both CheckMode settings, the lookup of every listed
// name and of names no listing makes, and the extraction of every listed slot
// in every numbering mode (and of positions that name no slot) to memory and
// to disk. Every call must answer a code its interface allows, none may crash,
// handles and memory must be flat over the whole run, and no archive may stay
// locked. The run ends with a table of what was tried and what came back.
//
// usage: wine_hostile_tests [gtest flags] [CORPUS_DIR] [--reduced]
//                           [--plant-crash] [--plant-heap-overrun]
//   CORPUS_DIR            where corpus.txt and the archives are (default hostile)
//   --reduced             one setting (CheckMode 1, NumberingMode 2) instead of
//                         six, fewer slots, names and offsets per archive, no
//                         warm-up and no memory figures, and every heap
//                         validated after every call: the pass that runs under
//                         Wine's heap checking
//   --plant-crash         crash before the first call, to show that a crash
//                         is reported as one (a crash inside a call is
//                         reported the same way, naming the call)
//   --plant-heap-overrun  overrun and free a heap block before the first call,
//                         to show that Wine's heap checking reports it
#include "archive_fixture.h"
#include "resource_meter.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace testing_plugin;

namespace {

// ---------------------------------------------------------------------------
// Options and the corpus

std::string corpusDir = "hostile";
bool reduced = false, plantCrash = false, plantHeapOverrun = false;
bool verbose = false;  // MORQUENT_HOSTILE_VERBOSE=1 prints every call and its code

struct Archive {
    std::string name, path;
    LONG_PTR base = 0;
    bool oddNames = false;    // also probed under odd archive names
    bool openable = false;    // the test itself can open it (not too long a path)
    uint32_t size = 0;
    int32_t count = -1;       // the count at the base offset, when it is a valid one
    std::vector<uint8_t> head;  // the file's first 2,048 bytes, zero-padded
};

std::vector<Archive> LoadCorpus(const std::string& dir)
{
    std::vector<Archive> corpus;
    corpus.reserve(512);
    FILE* list = fopen((dir + "\\corpus.txt").c_str(), "r");
    if (!list) return corpus;
    char line[2048];
    while (fgets(line, sizeof line, list)) {
        std::string fields[4];
        int field = 0;
        for (const char* p = line; *p && *p != '\n' && *p != '\r'; p++) {
            if (*p == '\t' && field < 3) field++;
            else fields[field] += *p;
        }
        Archive a;
        a.name = fields[0];
        a.path = dir + "\\" + fields[0];
        a.base = atol(fields[1].c_str());
        a.oddNames = fields[2].find("names") != std::string::npos;
        a.head.assign(2048, 0);
        HANDLE file = CreateFileA(a.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        a.openable = file != INVALID_HANDLE_VALUE;
        if (a.openable) {
            a.size = GetFileSize(file, nullptr);
            DWORD read = 0;
            ReadFile(file, a.head.data(), 2048, &read, nullptr);
            uint8_t countBytes[4] = {};
            SetFilePointer(file, (LONG)a.base, nullptr, FILE_BEGIN);
            if (ReadFile(file, countBytes, 4, &read, nullptr) && read == 4 && countBytes[1] < 0x20 &&
                !countBytes[2] && !countBytes[3] && (countBytes[0] | countBytes[1]))
                a.count = countBytes[0] | countBytes[1] << 8;
            CloseHandle(file);
        }
        corpus.push_back(std::move(a));
    }
    fclose(list);
    return corpus;
}

// Entry names that no listing makes: no number, bad digits, numbers past any
// table or past 32 bits, no dot, separators only, names of 255, 256 and 1,000
// bytes, long directory parts.
std::vector<std::string> BadNames()
{
    std::vector<std::string> names = {
        "", ".", "~", "-", "_", "~.", "X~.DAT", "X-.DAT", "X_.DAT", "X~0A2.BMP", "X~-1.DAT", "X~ 1.DAT",
        "X~+1.DAT", "X~1e3.DAT", "X~99999999999.DAT", "X~4294967296.DAT", "X~4294967295.DAT",
        "X~2147483648.DAT", "X~2147483647.DAT", "X-2147483647.DAT", "X_2147483647.DAT", "X_2147483648.DAT",
        "X~8191.DAT", "X-8191.DAT", "X_8190.DAT", "X~8190.DAT", "X~001", "X_000", "~-_", "\\\\\\", "\\",
        "C:\\DIR\\", "C:\\DIR.X\\X~001.DAT", "A.B~001.DAT", "A~B.001", "000", "4294967296",
        "X~" + std::string(240, '0') + "1.DAT",           // 1 in 241 digits
        "X~" + std::string(300, '0') + "1.DAT",           // 1 in 301 digits: the name passes 255 bytes
        std::string(247, 'A') + "~001.DAT",               // 255 bytes
        std::string(248, 'A') + "~001.DAT",               // 256 bytes
        std::string(992, 'A') + "~001.DAT",               // 1,000 bytes
        std::string(1000, '9') + ".DAT",                  // 1,000 digits, no separator
        "C:\\" + std::string(1000, 'D') + "\\X~001.DAT",  // long directory, short file part
        std::string(255, '~'), std::string(256, '_'), std::string(1000, '\\'),
    };
    return names;
}

// Archive names that the probe derives base names from; only the probe sees
// them (it is given the bytes), the listing and extraction then name entries
// after them.
std::vector<std::string> OddArchiveNames()
{
    return {
        std::string(255, 'N'), std::string(256, 'N'), std::string(1000, 'N'),
        "C:\\GAMES\\" + std::string(300, 'E') + ".DAT",  // base name past the 189 bytes kept
        "C:\\" + std::string(1000, 'D') + "\\SCENE.DAT",
        "NODOT", "", "\\", "\\\\\\", "~-_", ".DAT", "..", "C:\\DIR.X\\", "99999999999999999999.DAT",
        "sub/dir/SCENE.DAT", "C:/GAMES/SCENE.DAT", "C:", "CON", "NUL.DAT",
    };
}

// Positions that name no slot of any corpus archive, or none at all.
const LONG_PTR BAD_POSITIONS[] = {-1, -2, -3, (LONG_PTR)0x80000000u, (LONG_PTR)0x80000001u, 0x7FFFFFFF, 0x7FFFFFFE,
                                  3 * 8191, 3 * 8191 + 2, 3 * 8192, 3 * 0x10000};

// ---------------------------------------------------------------------------
// What came back

enum Call { PROBE, PROBE_HANDLE, LIST, LOOKUP, TO_MEMORY, TO_DISK, CALL_KINDS };
const char* const CALL_NAMES[CALL_KINDS] = {"IsSupported(bytes)", "IsSupported(handle)", "GetArchiveInfo",
                                            "GetFileInfo", "GetFile(memory)", "GetFile(disk)"};
// The codes each call may answer: IsSupported 0 or 1; GetArchiveInfo never 1
// here (the flags are always 0); GetFileInfo never 1 nor 4; GetFile(memory)
// never 1 (1 is a failed disk write).
const char* const ALLOWED[CALL_KINDS] = {"01", "01", "023456", "02356", "023456", "0123456"};

const int CODE_SLOTS = 8;  // 0..6, and anything else

struct Stats {
    long calls = 0;
    long codes[CALL_KINDS][CODE_SLOTS] = {};
    long unexpected = 0;        // a code the call may not answer
    long badHandleVariable = 0; // a block on failure, or garbage left in the host's variable
    long badRecords = 0;        // a listed or looked-up record that is malformed
    long lockedAfterCall = 0;   // archives that could not be renamed after their calls
    long notOpenable = 0;       // archives the test itself cannot open (path too long)
    long sizeMismatches = 0;    // extraction size differs from the listed fileSize
    long lookupMismatches = 0;  // lookup of a listed name differs from its record
    long nonZeroTails = 0;      // a big block not zero past the archive's bytes
    long heapInvalid = 0;       // HeapValidate failures (reduced pass)
    long pastEndListed = 0;     // a listing at an offset past the end that succeeded
    SIZE_T largestBlock = 0;
    char largestBlockCall[300] = "";
    long slowCalls = 0;         // calls over one second
    double slowest[5] = {};
    char slowestCall[5][300] = {};
    char problems[8][400] = {};
    int problemCount = 0;
    char notes[4][400] = {};  // the first mismatches, which are not failures by themselves
    int noteCount = 0;
};

struct Setting {
    DWORD checkMode, numberingMode;
};

Stats stats;
Exports plugin;
Setting current;  // the settings the plug-in was loaded with
// The call in progress, for the crash report and the figures: kept as
// pointers and numbers, and put into words only when it is reported (under
// Wine's heap checking every allocation a formatted text made would cost a
// walk over the whole heap).
struct CallInProgress {
    Call call = PROBE;
    const Archive* archive = nullptr;
    const char* label = "";     // "offset", "position", or "" when no number
    long number = 0;
    const char* text = nullptr;  // the entry or archive name passed, if any
    size_t textLength = 0;
    const char* planted = nullptr;  // a deliberate fault outside any call
    bool active = false;            // inside the call, or after it returned
    long count = 0;                 // calls made so far
} inProgress;

// Puts the call in progress (or, with `theCall`, the last call itself) into
// words.
const char* DescribeCall(char* out, size_t size, bool theCall = false)
{
    const CallInProgress& c = inProgress;
    if (c.planted) {
        snprintf(out, size, "%s", c.planted);
        return out;
    }
    if (!c.count) {
        snprintf(out, size, "no call yet");
        return out;
    }
    int n = snprintf(out, size, "%s[CheckMode %lu, NumberingMode %lu] %s '%s'", c.active || theCall ? "" : "the test, after ",
                     (unsigned long)current.checkMode, (unsigned long)current.numberingMode, CALL_NAMES[c.call],
                     c.archive ? c.archive->name.c_str() : "");
    if (n > 0 && (size_t)n < size && c.text)
        n += snprintf(out + n, size - n, " name '%.80s%s' (%lu bytes)", c.text, c.textLength > 80 ? "..." : "",
                      (unsigned long)c.textLength);
    if (n > 0 && (size_t)n < size && *c.label) snprintf(out + n, size - n, " %s %ld", c.label, c.number);
    return out;
}

LARGE_INTEGER frequency;

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...)
{
    if (stats.noteCount >= 4) return;
    va_list args;
    va_start(args, format);
    vsnprintf(stats.notes[stats.noteCount++], sizeof stats.notes[0], format, args);
    va_end(args);
}

void Problem(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Problem(const char* format, ...)
{
    if (stats.problemCount >= 8) return;
    va_list args;
    va_start(args, format);
    vsnprintf(stats.problems[stats.problemCount++], sizeof stats.problems[0], format, args);
    va_end(args);
}

// An unhandled exception in a call ends the process: say which call it was
// and make the exit status a failure. Written without the C runtime's
// streams: the heap may be what failed (Wine's heap checking raises an
// exception when it finds a damaged block).
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* e)
{
    static char call[600], text[800];
    snprintf(text, sizeof text, "\nCRASH: exception 0x%08lx at %p during %s\n", e->ExceptionRecord->ExceptionCode,
             e->ExceptionRecord->ExceptionAddress, DescribeCall(call, sizeof call));
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)strlen(text), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 99);
    return EXCEPTION_EXECUTE_HANDLER;
}

void ValidateHeaps()
{
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < n && i < 64; i++) {
        if (!HeapValidate(heaps[i], 0, nullptr)) {
            stats.heapInvalid++;
            char call[600];
            Problem("heap %p invalid after %s", heaps[i], DescribeCall(call, sizeof call));
        }
    }
}

// Brackets one call: names it for the crash report, times it, and counts its
// code against what the call may answer.
struct Timed {
    Call call;
    LARGE_INTEGER start;
    Timed(Call c, const Archive& a, const char* label = "", long number = 0, const std::string* text = nullptr)
        : call(c)
    {
        inProgress.call = c;
        inProgress.archive = &a;
        inProgress.label = label;
        inProgress.number = number;
        inProgress.text = text ? text->c_str() : nullptr;
        inProgress.textLength = text ? text->size() : 0;
        inProgress.active = true;
        inProgress.count++;
        QueryPerformanceCounter(&start);
    }
    int Done(int code)
    {
        LARGE_INTEGER end;
        QueryPerformanceCounter(&end);
        double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        stats.calls++;
        stats.codes[call][code >= 0 && code <= 6 ? code : 7]++;
        bool allowed = code >= 0 && code <= 9 && strchr(ALLOWED[call], '0' + code);
        if (!allowed) {
            stats.unexpected++;
            char text[600];
            Problem("code %d from %s", code, DescribeCall(text, sizeof text));
        }
        if (seconds > 1.0) stats.slowCalls++;
        for (int i = 0; i < 5; i++) {
            if (seconds > stats.slowest[i]) {
                for (int j = 4; j > i; j--) {
                    stats.slowest[j] = stats.slowest[j - 1];
                    memcpy(stats.slowestCall[j], stats.slowestCall[j - 1], sizeof stats.slowestCall[j]);
                }
                stats.slowest[i] = seconds;
                DescribeCall(stats.slowestCall[i], sizeof stats.slowestCall[i]);
                break;
            }
        }
        if (reduced) ValidateHeaps();
        if (verbose) {
            char text[600];
            printf("%d  %.3f ms  %s\n", code, seconds * 1000, DescribeCall(text, sizeof text));
        }
        inProgress.active = false;
        return code;
    }
};

const HLOCAL GARBAGE = reinterpret_cast<HLOCAL>(static_cast<uintptr_t>(0xBAADF00D));

bool Terminated(const char* text, size_t size) { return memchr(text, 0, size) != nullptr; }

bool WellFormed(const Record& r)
{
    return memcmp(r.method, "QORDAT", 7) == 0 && r.path[0] == 0 && Terminated(r.fileName, sizeof r.fileName);
}

// ---------------------------------------------------------------------------
// The calls

void Probe(const Archive& a, const std::string& name)
{
    Timed t(PROBE, a, "", 0, &name);
    t.Done(plugin.IsSupported(name.c_str(), reinterpret_cast<DWORD_PTR>(a.head.data())));
}

void ProbeHandle(const Archive& a)
{
    HANDLE file = CreateFileA(a.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    Timed t(PROBE_HANDLE, a);
    t.Done(plugin.IsSupported(a.path.c_str(), reinterpret_cast<DWORD_PTR>(file)));
    CloseHandle(file);
}

// Lists the archive at `base`; returns the code and fills `records`.
int List(const Archive& a, LONG_PTR base, std::vector<Record>* records)
{
    HLOCAL block = GARBAGE;
    Timed t(LIST, a, "at offset", (long)base);
    int code = t.Done(plugin.GetArchiveInfo(a.path.c_str(), base, 0, &block));
    // On failure the host's variable is left alone or set to null, never to
    // a block.
    if (code != 0) {
        if (block != nullptr && block != GARBAGE) {
            stats.badHandleVariable++;
            Problem("GetArchiveInfo '%s' failed with %d and left %p", a.name.c_str(), code, block);
        }
        return code;
    }
    if (block == nullptr || block == GARBAGE) {
        stats.badHandleVariable++;
        Problem("GetArchiveInfo '%s' succeeded without a block", a.name.c_str());
        return code;
    }
    SIZE_T size = LocalSize(block);
    const Record* r = static_cast<const Record*>(LocalLock(block));
    size_t capacity = size / sizeof(Record);
    size_t n = 0;
    while (n < capacity && r[n].method[0]) n++;
    bool ok = n < capacity && size == (n + 1) * sizeof(Record) && n <= 8191;
    for (size_t i = 0; i < n && ok; i++) {
        // Positions carry the table index and the numbering mode in force.
        ok = WellFormed(r[i]) && r[i].position % 3 == current.numberingMode &&
             (a.count < 0 || r[i].position / 3 < (uint32_t)a.count);
        if (records) records->push_back(r[i]);
    }
    if (!ok) {
        stats.badRecords++;
        Problem("GetArchiveInfo '%s': malformed list (%lu bytes, %lu records)", a.name.c_str(), (unsigned long)size,
                (unsigned long)n);
    }
    LocalUnlock(block);
    LocalFree(block);
    return code;
}

int Lookup(const Archive& a, LONG_PTR base, const std::string& name, Record* out = nullptr)
{
    Record info;
    memset(&info, 0xCC, sizeof info);
    Timed t(LOOKUP, a, "at offset", (long)base, &name);
    int code = t.Done(plugin.GetFileInfo(a.path.c_str(), base, name.c_str(), 0, &info));
    if (code == 0 && !WellFormed(info)) {
        stats.badRecords++;
        Problem("GetFileInfo '%s' '%.60s': malformed record", a.name.c_str(), name.c_str());
    }
    if (out) *out = info;
    return code;
}

// Extracts to memory; returns the code and the block's size (0 for no block).
int ToMemory(const Archive& a, LONG_PTR position, SIZE_T* blockSize)
{
    HLOCAL block = GARBAGE;
    Timed t(TO_MEMORY, a, "position", (long)position);
    int code = t.Done(plugin.GetFile(a.path.c_str(), position, reinterpret_cast<LPSTR>(&block), 0x100, nullptr, 0));
    *blockSize = 0;
    if (code != 0) {
        if (block != nullptr && block != GARBAGE) {
            stats.badHandleVariable++;
            Problem("GetFile(memory) '%s' %ld failed with %d and left %p", a.name.c_str(), (long)position, code,
                    block);
        }
        return code;
    }
    if (block == GARBAGE) {
        stats.badHandleVariable++;
        Problem("GetFile(memory) '%s' %ld succeeded without setting the handle", a.name.c_str(), (long)position);
        return code;
    }
    if (!block) return code;  // an entry without content
    SIZE_T size = LocalSize(block);
    *blockSize = size;
    if (size > stats.largestBlock) {
        stats.largestBlock = size;
        DescribeCall(stats.largestBlockCall, sizeof stats.largestBlockCall, true);
    }
    // An LZSS stream yields at most 18 bytes for every 2 1/8 of its own, so
    // past ten times the archive's length a block can only hold the zeros
    // that fill what the stream did not. Only a few bytes of a big block are
    // looked at: touching all of it would commit it.
    const uint8_t* bytes = static_cast<const uint8_t*>(LocalLock(block));
    const SIZE_T reach = 10 * (SIZE_T)a.size;
    if (size > reach && bytes) {
        SIZE_T probes[] = {size - 1, reach + (size - reach) / 2, reach};
        for (SIZE_T at : probes) {
            if (bytes[at] != 0) {
                stats.nonZeroTails++;
                Problem("GetFile(memory) '%s' %ld: byte %lu of %lu is not zero", a.name.c_str(), (long)position,
                        (unsigned long)at, (unsigned long)size);
                break;
            }
        }
    }
    LocalUnlock(block);
    LocalFree(block);
    return code;
}

int ToDisk(const Archive& a, LONG_PTR position, const std::string& outDir)
{
    Timed t(TO_DISK, a, "position", (long)position);
    return t.Done(plugin.GetFile(a.path.c_str(), position, const_cast<LPSTR>(outDir.c_str()), 0, nullptr, 0));
}

// True when nothing holds the file open: a handle opened without
// FILE_SHARE_DELETE, as the plug-in opens archives, makes the rename fail.
bool CanRename(const std::string& path)
{
    // A short name beside it: appending to a name of 250+ bytes would pass
    // the file system's limit on one name and fail for that reason alone.
    size_t slash = path.find_last_of("\\/");
    std::string moved = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "rename-probe.tmp";
    if (!MoveFileA(path.c_str(), moved.c_str())) return false;
    return MoveFileA(moved.c_str(), path.c_str()) != 0;
}

// Up to `limit` of `n` indices: the first and last thirds of the limit and
// evenly spaced ones between.
std::vector<size_t> Sample(size_t n, size_t limit)
{
    std::vector<size_t> picked;
    if (n <= limit) {
        for (size_t i = 0; i < n; i++) picked.push_back(i);
        return picked;
    }
    size_t edge = limit / 3;
    for (size_t i = 0; i < edge; i++) picked.push_back(i);
    size_t middle = limit - 2 * edge;
    for (size_t k = 0; k < middle; k++) picked.push_back(edge + (n - 2 * edge) * k / middle);
    for (size_t i = n - edge; i < n; i++) picked.push_back(i);
    return picked;
}

// ---------------------------------------------------------------------------
// One archive under the settings in force

std::vector<std::string> badNames, oddArchiveNames;
std::string outDir;
long outputRemoved = 0, outputLeft = 0;  // extracted files deleted / not deletable
long ClearOutput(const std::string& dir, long* removed);

void RunArchive(const Archive& a)
{
    const size_t slotLimit = reduced ? 6 : 150;
    if (!a.openable) stats.notOpenable++;

    Probe(a, a.path);
    ProbeHandle(a);

    // Offsets where no archive can begin: past the end, or before the file.
    std::vector<LONG_PTR> bases = {(LONG_PTR)a.size, (LONG_PTR)-1};
    if (!reduced) bases.insert(bases.end(), {(LONG_PTR)a.size + 4096, (LONG_PTR)0x7FFFFFFF, (LONG_PTR)-4});
    for (LONG_PTR base : bases) {
        if (List(a, base, nullptr) == 0) {
            stats.pastEndListed++;
            Problem("GetArchiveInfo '%s' at offset %ld succeeded", a.name.c_str(), (long)base);
        }
    }

    // The listing last: lookups and extractions use the layout it leaves.
    std::vector<Record> records;
    int listed = List(a, a.base, &records);

    // Lookups: every listed name, then the names no listing makes, also at an
    // offset where no archive begins.
    std::vector<size_t> picked = Sample(records.size(), slotLimit);
    for (size_t i : picked) {
        const Record& r = records[i];
        Record found;
        int code = Lookup(a, a.base, r.fileName, &found);
        // A listing in which a later entry raises the layout from two-byte to
        // six-byte heads built the records before it under the old layout;
        // looked up or extracted afterwards they come out under the new one.
        // Such differences are counted and shown, not failed.
        if (code != 0 || found.position != r.position || found.fileSize != r.fileSize ||
            strcmp(found.fileName, r.fileName) != 0) {
            if (stats.lookupMismatches++ < 2)
                Note("lookup of '%s' in '%s' gave %d: '%s', position %llu, size %llu (listed %llu, %llu)", r.fileName,
                     a.name.c_str(), code, found.fileName, (unsigned long long)found.position,
                     (unsigned long long)found.fileSize, (unsigned long long)r.position,
                     (unsigned long long)r.fileSize);
        }
    }
    for (size_t i = 0; i < badNames.size(); i += reduced ? 3 : 1) Lookup(a, a.base, badNames[i]);
    Lookup(a, (LONG_PTR)a.size + 1, "X~000.DAT");
    Lookup(a, -1, "X~000.DAT");

    // Extraction of every listed slot in each numbering mode, to memory and
    // to disk; of the first slots when nothing was listed; and of positions
    // that name no slot.
    std::vector<LONG_PTR> positions;
    std::vector<uint32_t> listedSizes;  // fileSize of the listed record, for the position of its mode
    if (!records.empty()) {
        for (size_t i : picked) {
            for (int m = 0; m < 3; m++) {
                positions.push_back((LONG_PTR)(records[i].position - records[i].position % 3 + m));
                listedSizes.push_back(m == (int)(records[i].position % 3) ? records[i].fileSize : 0xFFFFFFFF);
            }
        }
    } else {
        int32_t slots = a.count > 0 ? std::min<int32_t>(a.count, 16) : 16;
        for (int32_t p = 0; p < 3 * slots; p++) {
            positions.push_back(p);
            listedSizes.push_back(0xFFFFFFFF);
        }
    }
    for (LONG_PTR p : BAD_POSITIONS) {
        positions.push_back(p);
        listedSizes.push_back(0xFFFFFFFF);
    }
    for (size_t i = 0; i < positions.size(); i++) {
        SIZE_T size = 0;
        int code = ToMemory(a, positions[i], &size);
        // GetFile always reads from the start of the file, so only archives
        // that begin there extract what they list.
        if (listed == 0 && a.base == 0 && listedSizes[i] != 0xFFFFFFFF &&
            (code == 0 ? size != listedSizes[i] : code != 4)) {
            if (stats.sizeMismatches++ < 2)
                Note("extraction of '%s' position %ld gave %d, %lu bytes; listed %u", a.name.c_str(),
                     (long)positions[i], code, (unsigned long)size, listedSizes[i]);
        }
        // The reduced pass writes to disk only what the listing offered, and
        // tries the negative positions.
        if (!reduced || listedSizes[i] != 0xFFFFFFFF || positions[i] < 0) ToDisk(a, positions[i], outDir);
    }

    // The same archive under odd names: the probe takes the name's base name,
    // and the listing and extraction name entries after it.
    if (a.oddNames) {
        for (const std::string& name : oddArchiveNames) {
            Probe(a, name);
            std::vector<Record> odd;
            if (List(a, a.base, &odd) != 0 || odd.empty()) continue;
            for (size_t i : Sample(odd.size(), 3)) {
                SIZE_T size = 0;
                ToMemory(a, odd[i].position, &size);
                ToDisk(a, odd[i].position, outDir);
                Lookup(a, a.base, odd[i].fileName);
            }
        }
        Probe(a, a.path);
    }

    if (a.openable && !CanRename(a.path)) {
        stats.lockedAfterCall++;
        Problem("'%s' locked after its calls", a.name.c_str());
    }
    // What this archive's extractions wrote goes at once, so the run never
    // holds more than one archive's output on disk.
    outputLeft += ClearOutput(outDir, &outputRemoved);
}

// ---------------------------------------------------------------------------
// Output files

// Deletes the files extraction wrote into dir, adding to *removed; returns how
// many could not be deleted.
long ClearOutput(const std::string& dir, long* removed)
{
    long left = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            if (DeleteFileA((dir + "\\" + found.cFileName).c_str())) (*removed)++;
            else left++;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return left;
}

// Output directories of earlier runs that were killed or crashed before they
// could clean up (the crash report ends the process at once): a damaged size
// can make one extracted file hundreds of megabytes, so they are removed
// before a new run starts. A directory whose process still runs is kept.
void RemoveStaleOutput()
{
    const std::string temp = TempDir();
    const std::string prefix = "morquent-hostile-";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((temp + prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        DWORD pid = strtoul(found.cFileName + prefix.size(), nullptr, 10);
        HANDLE owner = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        DWORD status = 0;
        bool running = owner && GetExitCodeProcess(owner, &status) && status == STILL_ACTIVE;
        if (owner) CloseHandle(owner);
        if (running) continue;
        std::string dir = temp + found.cFileName;
        long removed = 0;
        ClearOutput(dir, &removed);
        RemoveDirectoryA(dir.c_str());
        printf("removed %ld files left by an earlier run in %s\n", removed, dir.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// The run's output directory, removed with what is left in it however the
// test returns.
struct OutputDir {
    OutputDir()
    {
        outDir = TempDir() + "morquent-hostile-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(outDir.c_str(), nullptr);
    }
    ~OutputDir()
    {
        ClearOutput(outDir, &outputRemoved);
        RemoveDirectoryA(outDir.c_str());
    }
};

void PrintSummary(const std::vector<Archive>& corpus, const std::vector<Setting>& settings, const Usage& before,
                  const Usage& after, long lockedAtEnd, long outputFiles, long warmUpCalls, double seconds)
{
    Drift d = Compare(before, after);
    size_t oddArchives = 0;
    for (const Archive& a : corpus) oddArchives += a.oddNames;
    printf("\n== hostile-archive run%s: %.1f s\n", reduced ? " (reduced)" : "", seconds);
    printf("inputs tried        %lu archives x %lu settings (CheckMode x NumberingMode), plus %lu odd archive names"
           " on %lu archives, %lu bad entry names, %lu bad positions\n",
           (unsigned long)corpus.size(), (unsigned long)settings.size(), (unsigned long)oddArchiveNames.size(),
           (unsigned long)oddArchives, (unsigned long)badNames.size(),
           (unsigned long)(sizeof BAD_POSITIONS / sizeof BAD_POSITIONS[0]));
    printf("calls made          %ld, measured (after a warm-up pass of %ld)\n", stats.calls, warmUpCalls);
    printf("%-20s %8s %8s %8s %8s %8s %8s %8s %8s\n", "codes seen", "0", "1", "2", "3", "4", "5", "6", "other");
    for (int c = 0; c < CALL_KINDS; c++) {
        printf("  %-18s", CALL_NAMES[c]);
        for (int k = 0; k < CODE_SLOTS; k++) printf(" %8ld", stats.codes[c][k]);
        printf("\n");
    }
    printf("codes outside the table   %ld\n", stats.unexpected);
    printf("crashes                   0 (a crash ends the run: CRASH, exit status 99)\n");
    printf("handle growth             %+ld (%ld -> %ld handles)\n", d.handles, before.handles, after.handles);
    if (reduced) {
        printf("heap and committed memory not measured in the reduced pass\n");
    } else {
        printf("heap growth               %+ld blocks, %+ld bytes\n", d.heapBlocks, d.heapBytes);
        printf("committed memory growth   %+ld bytes (%ld -> %ld)\n", d.committed, before.committed,
               after.committed);
    }
    printf("files left locked         %ld (archives after their calls %ld, at the end %ld)\n",
           stats.lockedAfterCall + lockedAtEnd, stats.lockedAfterCall, lockedAtEnd);
    printf("extracted files removed   %ld\n", outputFiles);
    printf("malformed results         %ld records, %ld handle variables\n", stats.badRecords,
           stats.badHandleVariable);
    printf("listings past the end     %ld succeeded\n", stats.pastEndListed);
    printf("big blocks not zero-filled %ld\n", stats.nonZeroTails);
    if (reduced) printf("heap validation failures  %ld\n", stats.heapInvalid);
    printf("archives the test cannot open (path too long) %ld per setting\n",
           stats.notOpenable / (long)settings.size());
    printf("listed/extracted size mismatches %ld, listed/looked-up mismatches %ld\n", stats.sizeMismatches,
           stats.lookupMismatches);
    printf("largest block handed over %lu bytes (%s)\n", (unsigned long)stats.largestBlock, stats.largestBlockCall);
    printf("calls over 1 s            %ld; slowest:\n", stats.slowCalls);
    for (int i = 0; i < 5 && stats.slowest[i] > 0; i++)
        printf("  %8.3f s  %s\n", stats.slowest[i], stats.slowestCall[i]);
    for (int i = 0; i < stats.noteCount; i++) printf("note: %s\n", stats.notes[i]);
    for (int i = 0; i < stats.problemCount; i++) printf("problem: %s\n", stats.problems[i]);
}

TEST(Hostile, EveryArchiveThroughEveryCall)
{
    QueryPerformanceFrequency(&frequency);
    SetUnhandledExceptionFilter(ReportCrash);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);

    char full[MAX_PATH];
    GetFullPathNameA(corpusDir.c_str(), sizeof full, full, nullptr);
    std::vector<Archive> corpus = LoadCorpus(full);
    ASSERT_GT(corpus.size(), 50u) << "no corpus in " << full << " (make_hostile_corpus.py writes it)";
    badNames = BadNames();
    oddArchiveNames = OddArchiveNames();
    RemoveStaleOutput();

    std::vector<Setting> settings;
    for (DWORD check : {0, 1})
        for (DWORD numbering : {0, 1, 2})
            if (!reduced || (check == 1 && numbering == 2)) settings.push_back({check, numbering});
    // Under Wine's heap checking every heap operation validates the whole
    // heap, so the reduced pass takes the small archives first, while the
    // heaps are small.
    if (reduced)
        std::stable_sort(corpus.begin(), corpus.end(),
                         [](const Archive& x, const Archive& y) { return x.size < y.size; });

    SavedSettings saved = ReadSettings();
    if (plantCrash) {
        inProgress.planted = "a planted crash";
        *static_cast<volatile int*>(nullptr) = 1;
    }
    if (plantHeapOverrun) {
        // What a plug-in that writes one byte past a working buffer does.
        inProgress.planted = "a planted heap overrun";
        volatile size_t size = 50;
        volatile char* buffer = static_cast<char*>(malloc(size));
        buffer[size] = 'x';
        free(const_cast<char*>(buffer));
        inProgress.planted = nullptr;
    }
    OutputDir output;

    // Warm-up: one pass under the first setting lets the C runtime, Wine and
    // the heaps reach the size the run needs; the run is measured after it.
    // (Not in the reduced pass, whose heap checking makes Wine allocate for
    // its own bookkeeping: it does not measure memory.)
    current = settings[0];
    Reload(plugin, current.checkMode, current.numberingMode);
    ASSERT_NE(nullptr, plugin.module) << "cannot load " << PluginPath();
    if (!reduced)
        for (const Archive& a : corpus) RunArchive(a);
    Stats warmUp = stats;
    for (int i = 0; i < warmUp.problemCount; i++) printf("problem (warm-up): %s\n", warmUp.problems[i]);
    stats = Stats();

    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    // The heap walk is slow under heap checking, and its figures not flat
    // there: the reduced pass counts handles only.
    Usage before;
    if (reduced) CountHandles(before);
    else before = Measure();
    for (const Setting& s : settings) {
        current = s;
        Reload(plugin, s.checkMode, s.numberingMode);
        ASSERT_NE(nullptr, plugin.module);
        for (const Archive& a : corpus) RunArchive(a);
    }
    current = settings[0];
    Reload(plugin, current.checkMode, current.numberingMode);  // as at the first measurement
    Usage after;
    if (reduced) CountHandles(after);
    else after = Measure();
    QueryPerformanceCounter(&end);
    if (plugin.module) FreeLibrary(plugin.module);
    RestoreSettings(saved);

    // Nothing may hold an archive or an extracted file: all can be renamed or
    // deleted now.
    long lockedAtEnd = 0, outputFiles = 0;
    for (const Archive& a : corpus)
        if (a.openable && !CanRename(a.path)) lockedAtEnd++;
    lockedAtEnd += outputLeft + ClearOutput(outDir, &outputRemoved);
    if (!RemoveDirectoryA(outDir.c_str())) lockedAtEnd++;
    outputFiles = outputRemoved;

    PrintSummary(corpus, settings, before, after, lockedAtEnd, outputFiles, warmUp.calls,
                 double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
    Drift d = Compare(before, after);
    EXPECT_EQ(0, warmUp.unexpected + stats.unexpected) << "codes outside the result table";
    EXPECT_EQ(0, warmUp.badHandleVariable + stats.badHandleVariable);
    EXPECT_EQ(0, warmUp.badRecords + stats.badRecords);
    EXPECT_EQ(0, warmUp.pastEndListed + stats.pastEndListed);
    EXPECT_EQ(0, warmUp.nonZeroTails + stats.nonZeroTails);
    EXPECT_EQ(0, warmUp.heapInvalid + stats.heapInvalid);
    EXPECT_EQ(0, warmUp.lockedAfterCall + stats.lockedAfterCall + lockedAtEnd);
    EXPECT_EQ(0, d.handles);
    if (!reduced) {
        EXPECT_EQ(0, d.heapBlocks);
        EXPECT_EQ(0, d.heapBytes);
        EXPECT_LE(std::labs(d.committed), COMMIT_TOLERANCE);
    }
    EXPECT_LT(after.highestHandle, HANDLE_PROBE_BOUND / 16);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const char* v = getenv("MORQUENT_HOSTILE_VERBOSE");
    verbose = v && *v == '1';
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--reduced") reduced = true;
        else if (arg == "--plant-crash") plantCrash = true;
        else if (arg == "--plant-heap-overrun") plantHeapOverrun = true;
        else corpusDir = arg;
    }
    return RUN_ALL_TESTS();
}
