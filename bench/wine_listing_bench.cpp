// Listing, lookup and extraction through the real morquent.spi, timed under
// Wine with QueryPerformanceCounter: the median of several runs of each case,
// printed as the table of bench/README.md ("Listing and extraction under
// Wine"). Run from the win32 build directory:
//
//   scripts/wine-run.sh build/win32/wine_listing_bench.exe [--runs N] [--against DLL]
//
// With `--against DLL`, that second build of the plug-in is loaded beside the
// first (both at the same settings), and the listings and lookups are timed
// through both, one right after the other in every run: the median ratio of
// two builds from one process, which moves far less than that of two
// processes (a listing of the same build varies by up to 2x between
// processes under Wine).
//
// The archives are generated at start-up in the temporary directory and
// deleted at the end. The settings the plug-in reads when it loads
// (CheckMode, NumberingMode) are set in the registry before each load and put
// back afterwards.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/entry.h"
#include "archive/lzss.h"
#include "bench/lzss_corpus.h"
#include "bench/small_entries.h"
#include "bench/wine_clock.h"
#include "tests/wine/plugin_loader.h"
#include "tools/spihost/registry_settings.h"
#include "tests/support/archive_builder.h"
#include "tools/spihost/plugin_exports.h"
#include "tests/support/test_content.h"

namespace {

// ---------------------------------------------------------------------------
// Loading the plug-in with given settings

using testing_plugin::FirstBytes;
using testing_plugin::PutSettings;
using testing_plugin::ReadSettings;
using testing_plugin::SavedSettings;
using Plugin = PluginExports;

// The user's settings, put back at the end.
SavedSettings saved;

// Loads the plug-in afresh (its settings are read at load) with the given
// settings in the registry.
Plugin Load(DWORD checkMode)
{
    PutSettings(checkMode, 0);
    Plugin p = testing_plugin::LoadPlugin();
    if (!p.module) {
        fprintf(stderr, "cannot load the plug-in (run from build/win32, or set MORQUENT_PLUGIN)\n");
        testing_plugin::RestoreSettings(saved);
        exit(1);
    }
    return p;
}

void Unload(Plugin& p)
{
    FreeLibrary(p.module);
    p = Plugin();
}

// ---------------------------------------------------------------------------
// Timing

int runs = 7;

double fastest;  // the quickest run of the last Median() call

// Median time in seconds of `runs` runs of `f`, after one untimed run; the
// quickest run is left in `fastest` (a loaded machine mostly adds time).
template <typename F>
double Median(F f)
{
    f();
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        double start = Now();
        f();
        times.push_back(Now() - start);
    }
    std::sort(times.begin(), times.end());
    fastest = times.front();
    return times[times.size() / 2];
}

void Fail(const char* what, int code)
{
    fprintf(stderr, "%s: result %d\n", what, code);
    testing_plugin::RestoreSettings(saved);
    exit(1);
}

// ---------------------------------------------------------------------------
// Archives

std::string dir;

std::string Write(const std::string& name, const std::vector<uint8_t>& bytes)
{
    std::string path = dir + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) ||
        written != bytes.size()) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
    CloseHandle(file);
    fprintf(stderr, "%s: %lu bytes\n", name.c_str(), (unsigned long)bytes.size());
    return path;
}

using bench_archives::SMALL_COUNT;
using bench_archives::SmallEntries;

test_archive::Options In(test_archive::Layout layout)
{
    test_archive::Options options;
    options.layout = layout;
    return options;
}

// Probes and lists `path`; returns the records.
std::vector<EntryInfo> List(const Plugin& p, const std::string& path)
{
    std::vector<uint8_t> head = FirstBytes(path);
    if (p.IsSupported(path.c_str(), reinterpret_cast<DWORD_PTR>(head.data())) != 1) Fail("probe", 0);
    HLOCAL block = nullptr;
    int result = p.GetArchiveInfo(path.c_str(), 0, 0, &block);
    if (result != 0) Fail("listing", result);
    std::vector<EntryInfo> records;
    for (const EntryInfo* r = static_cast<const EntryInfo*>(LocalLock(block)); r->method[0]; r++) records.push_back(*r);
    LocalUnlock(block);
    LocalFree(block);
    return records;
}

// ---------------------------------------------------------------------------
// The cases

struct Row {
    std::string what;
    double seconds, fastest;
    std::string rate;
};
std::vector<Row> rows;

void Add(const std::string& what, double seconds, double amount, const char* unit)
{
    char rate[64];
    snprintf(rate, sizeof rate, "%.0f %s", amount / seconds, unit);
    rows.push_back({what, seconds, fastest, rate});
    fprintf(stderr, "%-66s %9.2f ms (fastest %.2f)  %s\n", what.c_str(), seconds * 1e3, fastest * 1e3, rate);
}

void ListingCase(const Plugin& p, const std::string& path, const std::string& what)
{
    std::vector<EntryInfo> records = List(p, path);
    if ((int32_t)records.size() != SMALL_COUNT) Fail("record count", (int)records.size());
    double t = Median([&] {
        HLOCAL block = nullptr;
        int result = p.GetArchiveInfo(path.c_str(), 0, 0, &block);
        if (result != 0) Fail("listing", result);
        LocalFree(block);
    });
    Add(what, t, SMALL_COUNT, "entries/s");
}

void LookupCase(const Plugin& p, const std::string& path, const std::string& what)
{
    std::vector<EntryInfo> records = List(p, path);
    double t = Median([&] {
        EntryInfo info;
        for (const EntryInfo& r : records) {
            int result = p.GetFileInfo(path.c_str(), 0, r.fileName, 0, &info);
            if (result != 0 || info.position != r.position) Fail("lookup", result);
        }
    });
    Add(what, t, (double)records.size(), "lookups/s");
}

// The listing and the lookups of `path` through `p` and `q` alternately,
// one right after the other in every run, after one untimed run of each.
void AgainstCase(const Plugin& p, const Plugin& q, const std::string& path, const std::string& what)
{
    const std::vector<EntryInfo> records = List(p, path);
    if (List(q, path).size() != records.size()) Fail("the two builds list different counts", 0);
    auto listing = [&](const Plugin& plugin) {
        HLOCAL block = nullptr;
        int result = plugin.GetArchiveInfo(path.c_str(), 0, 0, &block);
        if (result != 0) Fail("listing", result);
        LocalFree(block);
    };
    auto lookups = [&](const Plugin& plugin) {
        EntryInfo info;
        for (const EntryInfo& r : records) {
            int result = plugin.GetFileInfo(path.c_str(), 0, r.fileName, 0, &info);
            if (result != 0 || info.position != r.position) Fail("lookup", result);
        }
    };
    for (int call = 0; call < 2; call++) {
        const Alternated t = TimeAlternately(runs, [&](int which) {
            double start = Now();
            call ? lookups(which ? q : p) : listing(which ? q : p);
            return Now() - start;
        });
        printf("| %s, %s | %.2f ms | %.2f ms | %.2fx (%.2f-%.2fx) |\n", call ? "GetFileInfo of every name" : "GetArchiveInfo",
               what.c_str(), t.first * 1e3, t.second * 1e3, t.ratio, t.ratioLow, t.ratioHigh);
        fflush(stdout);
    }
}

const size_t BIG = 16 << 20;

void ExtractionCases(const Plugin& p)
{
    // A small compressed bitmap first (it fixes the kind-and-size layout),
    // then a 16 MiB compressed entry of every content kind.
    std::vector<test_archive::Entry> entries = {test_archive::Compressed(test_content::Bitmap(300, 7))};
    for (int kind = 0; kind < test_content::KIND_COUNT; kind++) {
        const std::vector<uint8_t>& stream = lzss_corpus::Get(kind, BIG).stream;
        std::vector<uint8_t> stored = test_content::Head(1, (int32_t)BIG);  // compressed, declared size
        stored.insert(stored.end(), stream.begin(), stream.end());
        entries.push_back(test_archive::Stored(std::move(stored)));
    }
    std::string path = Write("BIG.DAT", test_archive::BuildArchive(entries, In(test_archive::Layout::KindSize)));
    List(p, path);
    std::vector<uint8_t> out(BIG);
    for (int kind = 0; kind < test_content::KIND_COUNT; kind++) {
        const lzss_corpus::Sample& sample = lzss_corpus::Get(kind, BIG);
        LONG_PTR position = 3 * (kind + 1);
        bool checked = false;
        double t = Median([&] {
            HLOCAL block = nullptr;
            int result = p.GetFile(path.c_str(), position, reinterpret_cast<LPSTR>(&block), 0x100, nullptr, 0);
            if (result != 0 || !block || LocalSize(block) != BIG) Fail("extraction", result);
            if (!checked) {
                if (memcmp(LocalLock(block), sample.content.data(), BIG) != 0) Fail("extracted bytes differ", 0);
                LocalUnlock(block);
                checked = true;
            }
            LocalFree(block);
        });
        char what[120];
        snprintf(what, sizeof what, "GetFile to memory, 16 MiB %s entry (stream %.1f MiB)",
                 test_content::KindName(kind), sample.stream.size() / 1048576.0);
        Add(what, t, BIG / 1e6, "MB/s");
        // The decoder alone, in this process, on the same stream.
        t = Median([&] { LzssDecode(sample.stream.data(), (uint32_t)sample.stream.size(), out.data(), (uint32_t)BIG); });
        snprintf(what, sizeof what, "LzssDecode alone, same %s stream, in the bench process", test_content::KindName(kind));
        Add(what, t, BIG / 1e6, "MB/s");
    }
    DeleteFileA(path.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    const char* against = nullptr;
    for (int i = 1; i + 1 < argc; i++) {
        if (!strcmp(argv[i], "--runs")) runs = std::max(1, atoi(argv[i + 1]));
        if (!strcmp(argv[i], "--against")) against = argv[i + 1];
    }

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir = std::string(temp) + "morquent-bench-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    saved = ReadSettings();

    std::vector<test_archive::Entry> small = SmallEntries();
    std::string kindSize = Write("SMALLKS.DAT", test_archive::BuildArchive(small, In(test_archive::Layout::KindSize)));
    std::string kindOnly = Write("SMALLKO.DAT", test_archive::BuildArchive(small, In(test_archive::Layout::KindOnly)));

    if (against) {
        printf("| call, archive | %s | %s | second / first: median ratio of the runs (quartiles) |\n"
               "|---|---:|---:|---:|\n",
               testing_plugin::PluginPath(), against);
        for (DWORD checkMode : {0u, 1u}) {
            Plugin p = Load(checkMode);
            Plugin q = BindExports(LoadLibraryA(against));
            if (!q.module || q.module == p.module || !q.GetFileInfo) Fail("cannot load the second plug-in", 0);
            AgainstCase(p, q, checkMode ? kindOnly : kindSize,
                        checkMode ? "8,191 small entries, kind only, CheckMode 1"
                                  : "8,191 small entries, kind+size, CheckMode 0");
            FreeLibrary(q.module);
            Unload(p);
        }
        testing_plugin::RestoreSettings(saved);
        DeleteFileA(kindSize.c_str());
        DeleteFileA(kindOnly.c_str());
        RemoveDirectoryA(dir.c_str());
        return 0;
    }

    Plugin p = Load(0);
    ListingCase(p, kindSize, "GetArchiveInfo, 8,191 small entries, kind+size, CheckMode 0");
    LookupCase(p, kindSize, "GetFileInfo of each of the 8,191 names, kind+size, CheckMode 0");
    ExtractionCases(p);
    Unload(p);

    p = Load(1);
    ListingCase(p, kindOnly, "GetArchiveInfo, 8,191 small entries, kind only, CheckMode 1");
    LookupCase(p, kindOnly, "GetFileInfo of each of the 8,191 names, kind only, CheckMode 1");
    Unload(p);

    testing_plugin::RestoreSettings(saved);
    DeleteFileA(kindSize.c_str());
    DeleteFileA(kindOnly.c_str());
    RemoveDirectoryA(dir.c_str());

    printf("| case | median of %d runs | fastest | rate (median) |\n|---|---:|---:|---:|\n", runs);
    for (const Row& r : rows)
        printf("| %s | %.2f ms | %.2f ms | %s |\n", r.what.c_str(), r.seconds * 1e3, r.fastest * 1e3, r.rate.c_str());
    return 0;
}
