// Working memory and time of the listing and the lookup where they size
// compressed entries by scanning their streams (CheckMode 1, kind-only
// heads), through the real morquent.spi in one 32-bit process under Wine:
//
//   - GetArchiveInfo and GetFileInfo of an archive holding one 64 MiB
//     compressed text entry (no signature: only a scan of its whole stream
//     gives its size): the peak of the heap memory the plug-in takes during
//     the call beyond what it held before (malloc, calloc and realloc less
//     free, counted in its import table by tests/wine/heap_meter.h), the
//     blocks it hands the host (LocalAlloc) on their own, and the call's time;
//     each call twice.
//   - GetArchiveInfo of the 8,191 small entries of the listing benchmark
//     (bench/small_entries.h) under kind-only heads: the median time of
//     `--runs` runs with the counters out of the way, then the working memory
//     of one more listing.
//
// With `--against DLL`, that second build of the plug-in is loaded beside the
// first and the small listing timed through both, one right after the other,
// in each of the runs: the median ratio of two builds from one process, which
// moves less than that of two processes run one after the other.
//
// Run from the win32 build directory; MORQUENT_PLUGIN names another DLL:
//
//   scripts/wine-run.sh build/win32/wine_scan_bench.exe [--runs N] [--against DLL]
//
// It prints a table on stdout and progress on stderr. The archives are written
// to the temporary directory and deleted at the end; the settings the plug-in
// reads at load are put in the registry before loading it and the user's
// values put back afterwards.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/entry.h"
#include "bench/small_entries.h"
#include "bench/wine_clock.h"
#include "tests/wine/heap_meter.h"
#include "tests/wine/plugin_loader.h"
#include "tests/support/archive_builder.h"
#include "writer/lzss_encoder.h"
#include "tools/spihost/plugin_exports.h"
#include "tools/spihost/registry_settings.h"
#include "tests/support/test_content.h"

namespace {

using Plugin = PluginExports;

testing_plugin::SavedSettings saved;
std::string dir;
int runs = 9;

void Fail(const char* what, long code)
{
    fprintf(stderr, "%s: %ld\n", what, code);
    heap_meter::Detach();
    testing_plugin::RestoreSettings(saved);
    exit(1);
}

std::string Write(const std::string& name, const std::vector<uint8_t>& bytes)
{
    std::string path = dir + name;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr) ||
        written != bytes.size())
        Fail("cannot write the archive", (long)GetLastError());
    CloseHandle(file);
    fprintf(stderr, "%s: %lu bytes\n", name.c_str(), (unsigned long)bytes.size());
    return path;
}

const uint32_t BIG = 64u << 20;

// The archive of one 64 MiB compressed text entry under kind-only heads;
// `stored` gets the entry's stored size.
std::string WriteBigArchive(uint32_t* stored)
{
    double start = Now();
    std::vector<uint8_t> text = test_content::Text(BIG, 1);
    // A bitmap, wave or PNG signature would size the entry from its head.
    if (!memcmp(text.data(), "BM", 2) || !memcmp(text.data(), "RIFF", 4) || !memcmp(text.data(), "\x89PNG", 4))
        Fail("the text entry begins with a media signature", 0);
    std::vector<uint8_t> entry = test_content::Head(1);
    std::vector<uint8_t> stream = LzssEncode(text);
    text = std::vector<uint8_t>();
    entry.insert(entry.end(), stream.begin(), stream.end());
    stream = std::vector<uint8_t>();
    *stored = (uint32_t)entry.size();
    test_archive::Options options;
    options.layout = test_archive::Layout::KindOnly;
    std::string path = Write("BIGTEXT.DAT", test_archive::BuildArchive({test_archive::Stored(std::move(entry))}, options));
    fprintf(stderr, "  made in %.1f s\n", Now() - start);
    return path;
}

Plugin Load(DWORD checkMode)
{
    testing_plugin::PutSettings(checkMode, 0);
    Plugin p = testing_plugin::LoadPlugin();
    if (!p.module) Fail("cannot load the plug-in (run from build/win32, or set MORQUENT_PLUGIN)", 0);
    return p;
}

std::vector<EntryInfo> Records(HLOCAL block)
{
    std::vector<EntryInfo> records;
    for (const EntryInfo* r = static_cast<const EntryInfo*>(LocalLock(block)); r->method[0]; r++) records.push_back(*r);
    LocalUnlock(block);
    return records;
}

// ---------------------------------------------------------------------------
// Results

struct Row {
    std::string what;
    heap_meter::Counts work, host;
    double seconds;
};
std::vector<Row> rows;

void Add(const std::string& what, double seconds)
{
    rows.push_back({what, heap_meter::work, heap_meter::host, seconds});
    const Row& r = rows.back();
    fprintf(stderr, "%-58s work peak %9lld B (net %lld, %u blocks, largest %lu)  host %lld B  %.2f ms\n",
            what.c_str(), (long long)r.work.PeakBeyondStart(), (long long)r.work.Net(), r.work.taken,
            (unsigned long)r.work.largest, (long long)r.host.Net(), seconds * 1e3);
}

// ---------------------------------------------------------------------------
// The cases

// GetArchiveInfo and GetFileInfo of the 64 MiB entry, counted (the meter is
// attached).
void BigEntry(const Plugin& p, const std::string& path, uint32_t stored)
{
    std::vector<uint8_t> head = testing_plugin::FirstBytes(path);
    if (p.IsSupported(path.c_str(), reinterpret_cast<DWORD_PTR>(head.data())) != 1) Fail("probe", 0);
    std::string name;
    for (int round = 1; round <= 2; round++) {
        HLOCAL block = nullptr;
        heap_meter::Mark();
        double start = Now();
        int result = p.GetArchiveInfo(path.c_str(), 0, 0, &block);
        double seconds = Now() - start;
        if (result != 0) Fail("listing", result);
        Add("GetArchiveInfo, one 64 MiB text entry, round " + std::to_string(round), seconds);
        std::vector<EntryInfo> records = Records(block);
        LocalFree(block);
        if (records.size() != 1) Fail("listing: records", (long)records.size());
        if (records[0].fileSize != BIG || records[0].compressedSize != stored)
            Fail("listing: sizes wrong, file size", (long)records[0].fileSize);
        name = records[0].fileName;
    }
    for (int round = 1; round <= 2; round++) {
        EntryInfo info;
        memset(&info, 0, sizeof info);
        heap_meter::Mark();
        double start = Now();
        int result = p.GetFileInfo(path.c_str(), 0, name.c_str(), 0, &info);
        double seconds = Now() - start;
        if (result != 0) Fail("lookup", result);
        Add("GetFileInfo " + name + ", round " + std::to_string(round), seconds);
        if (info.fileSize != BIG || info.compressedSize != stored || info.position != 0)
            Fail("lookup: record wrong, file size", (long)info.fileSize);
    }
}

double MedianOf(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The 8,191 small entries: timed without the meter, then counted once.
void SmallListing(const Plugin& p, const std::string& path)
{
    auto list = [&] {
        HLOCAL block = nullptr;
        int result = p.GetArchiveInfo(path.c_str(), 0, 0, &block);
        if (result != 0) Fail("small listing", result);
        return block;
    };
    std::vector<uint8_t> head = testing_plugin::FirstBytes(path);
    if (p.IsSupported(path.c_str(), reinterpret_cast<DWORD_PTR>(head.data())) != 1) Fail("probe", 0);
    HLOCAL block = list();
    if ((int32_t)Records(block).size() != bench_archives::SMALL_COUNT)
        Fail("small listing: records", (long)Records(block).size());
    LocalFree(block);

    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        double start = Now();
        block = list();
        times.push_back(Now() - start);
        LocalFree(block);
    }
    fprintf(stderr, "small listing: fastest %.3f ms, slowest %.3f ms\n", *std::min_element(times.begin(), times.end()) * 1e3,
            *std::max_element(times.begin(), times.end()) * 1e3);

    if (heap_meter::Attach(p.module).empty()) Fail("nothing to count in the plug-in's imports", 0);
    heap_meter::Mark();
    block = list();
    heap_meter::Detach();
    LocalFree(block);
    Add("GetArchiveInfo, 8,191 small entries (median of " + std::to_string(runs) + ")", MedianOf(times));
}

// The small listing through `p` and `q` alternately, one after the other in
// every run; returns both medians and q's over p's as a line of text.
std::string SmallListingAgainst(const Plugin& p, const Plugin& q, const std::string& path, const char* qPath)
{
    auto time = [&](const Plugin& plugin) {
        HLOCAL block = nullptr;
        double start = Now();
        int result = plugin.GetArchiveInfo(path.c_str(), 0, 0, &block);
        double seconds = Now() - start;
        if (result != 0) Fail("small listing", result);
        LocalFree(block);
        return seconds;
    };
    const Alternated t = TimeAlternately(runs, [&](int which) { return time(which ? q : p); });
    char line[700];
    snprintf(line, sizeof line,
             "\nGetArchiveInfo, 8,191 small entries, alternately in one process, median of %d runs each:\n"
             "%s %.2f ms, %s %.2f ms; second / first %.2fx (median of the runs' ratios %.2fx, quartiles "
             "%.2f-%.2fx)\n",
             runs, testing_plugin::PluginPath(), t.first * 1e3, qPath, t.second * 1e3, t.second / t.first, t.ratio,
             t.ratioLow, t.ratioHigh);
    return line;
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
    dir = std::string(temp) + "morquent-scan-bench-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    saved = testing_plugin::ReadSettings();

    test_archive::Options kindOnly;
    kindOnly.layout = test_archive::Layout::KindOnly;
    std::string small = Write("SMALLKO.DAT", test_archive::BuildArchive(bench_archives::SmallEntries(), kindOnly));
    uint32_t stored = 0;
    std::string big = WriteBigArchive(&stored);

    Plugin p = Load(1);
    fprintf(stderr, "plug-in: %s\n", testing_plugin::PluginPath());
    SmallListing(p, small);
    std::vector<std::string> patched = heap_meter::Attach(p.module);
    if (patched.empty()) Fail("nothing to count in the plug-in's imports", 0);
    std::string counted;
    for (const std::string& name : patched) counted += (counted.empty() ? "" : ", ") + name;
    fprintf(stderr, "counting %s\n", counted.c_str());
    BigEntry(p, big, stored);
    heap_meter::Detach();
    std::string comparison;
    if (against) {
        // Loaded last, so that the figures above are those of a process that
        // holds one build alone.
        Plugin q = BindExports(LoadLibraryA(against));
        if (!q.module || q.module == p.module || !q.GetArchiveInfo) Fail("cannot load the second plug-in", 0);
        comparison = SmallListingAgainst(p, q, small, against);
        FreeLibrary(q.module);
    }
    FreeLibrary(p.module);

    testing_plugin::RestoreSettings(saved);
    DeleteFileA(small.c_str());
    DeleteFileA(big.c_str());
    RemoveDirectoryA(dir.c_str());

    printf("plug-in %s, CheckMode 1, kind-only heads; 64 MiB entry stored in %lu bytes\n\n",
           testing_plugin::PluginPath(), (unsigned long)stored);
    printf("| call | working memory, peak beyond the start | blocks taken | largest | host blocks | time |\n"
           "|---|---:|---:|---:|---:|---:|\n");
    for (const Row& r : rows)
        printf("| %s | %lld B | %u | %lu B | %lld B | %.2f ms |\n", r.what.c_str(),
               (long long)r.work.PeakBeyondStart(), r.work.taken, (unsigned long)r.work.largest,
               (long long)r.host.Net(), r.seconds * 1e3);
    printf("%s", comparison.c_str());
    return 0;
}
