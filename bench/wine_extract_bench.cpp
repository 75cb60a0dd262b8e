// Extraction through the real morquent.spi against a plain decoder, in one
// 32-bit process under Wine. For a 16 MiB and a 1 MiB compressed entry of
// each content kind, every repetition times, one after the other:
//
//   memory    GetFile to memory and LocalFree of the block
//   disk      GetFile to disk (the file is deleted afterwards, untimed)
//   decoder   LzssDecode of the same stream, already in memory, in this process
//   ring      the byte-at-a-time 4,096-byte-ring decoder
//             (tests/support/lzss_reference.h) on the same stream in memory
//   floor     what any GetFile to memory does besides decoding: open the
//             archive, read its count and size table, read the stored entry
//             in 64 KiB pieces, allocate the host's block, write every byte
//             of it, free it, close the archive
//
// and prints the median of each, and ring / memory: how much faster a host
// gets the entry than a straightforward decoder that already holds the stream;
// ring / floor is the most that any GetFile to memory could reach here.
// Run from the win32 build directory (MORQUENT_PLUGIN names another DLL):
//
//   scripts/wine-run.sh build/win32/wine_extract_bench.exe [--runs N]
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/entry.h"
#include "archive/lzss.h"
#include "bench/lzss_corpus.h"
#include "bench/wine_clock.h"
#include "calls/calls.h"
#include "tests/support/lzss_reference.h"
#include "tests/wine/plugin_loader.h"
#include "tools/spihost/registry_settings.h"
#include "tests/support/archive_builder.h"
#include "tests/support/test_content.h"

namespace {

testing_plugin::SavedSettings saved;

void Fail(const char* what, int code)
{
    fprintf(stderr, "%s: %d\n", what, code);
    testing_plugin::RestoreSettings(saved);
    exit(1);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

enum Work { MEMORY, DISK, DECODER, RING, FLOOR, WORK_COUNT };

struct Case {
    int kind;
    size_t size;
    LONG_PTR position;
    uint32_t offset;  // where the stored entry starts in the file
    uint32_t stored;  //   and its stored length
    std::vector<double> times[WORK_COUNT];
};

// The floor of a GetFile to memory of `c`: everything but the decoding.
void Floor(const std::string& path, uint32_t tableBytes, const Case& c, std::vector<uint8_t>& piece)
{
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) Fail("floor: open", 0);
    DWORD got = 0;
    ReadFile(f, piece.data(), tableBytes, &got, nullptr);
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, c.size);
    uint8_t* out = static_cast<uint8_t*>(LocalLock(block));
    size_t written = 0;
    for (uint32_t at = 0; at < c.stored; at += ENTRY_PIECE_SIZE) {
        LARGE_INTEGER to;
        to.QuadPart = c.offset + at;
        SetFilePointerEx(f, to, nullptr, FILE_BEGIN);
        ReadFile(f, piece.data(), std::min<uint32_t>(ENTRY_PIECE_SIZE, c.stored - at), &got, nullptr);
        // The output in step with the input, as a decoder writes it.
        size_t until = std::min(c.size, (size_t)((uint64_t)c.size * (at + got) / c.stored));
        memset(out + written, piece[0] | 1, until - written);
        written = until;
    }
    memset(out + written, 1, c.size - written);
    LocalUnlock(block);
    LocalFree(block);
    CloseHandle(f);
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 9;
    for (int i = 1; i + 1 < argc; i++)
        if (!strcmp(argv[i], "--runs")) runs = std::max(1, atoi(argv[i + 1]));

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string dir = std::string(temp) + "morquent-xbench-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    saved = testing_plugin::ReadSettings();

    // A small compressed bitmap (it fixes the kind-and-size layout), then a
    // 16 MiB and a 1 MiB compressed entry of every content kind.
    std::vector<Case> cases;
    std::vector<test_archive::Entry> entries = {test_archive::Compressed(test_content::Bitmap(300, 7))};
    test_archive::Options options;
    options.layout = test_archive::Layout::KindSize;
    const uint32_t tableBytes = 4 + 4 * (1 + 2 * test_content::KIND_COUNT);
    uint32_t offset = tableBytes + (uint32_t)test_archive::StoredBytes(entries[0], options.layout).size();
    for (size_t size : {(size_t)16 << 20, (size_t)1 << 20}) {
        for (int kind = 0; kind < test_content::KIND_COUNT; kind++) {
            const std::vector<uint8_t>& stream = lzss_corpus::Get(kind, size).stream;
            std::vector<uint8_t> stored = test_content::Head(1, (int32_t)size);
            stored.insert(stored.end(), stream.begin(), stream.end());
            cases.push_back({kind, size, (LONG_PTR)(3 * entries.size()), offset, (uint32_t)stored.size(), {}});
            offset += (uint32_t)stored.size();
            entries.push_back(test_archive::Stored(std::move(stored)));
        }
    }
    std::vector<uint8_t> archive = test_archive::BuildArchive(entries, options);
    std::string path = testing_plugin::WriteBytes(dir + "BIG.DAT", archive.data(), archive.size());
    archive.clear();
    archive.shrink_to_fit();

    testing_plugin::PutSettings(0, 0);
    PluginExports p = testing_plugin::LoadPlugin();
    if (!p.module) Fail("cannot load the plug-in", 0);
    std::vector<uint8_t> head = testing_plugin::FirstBytes(path);
    if (p.IsSupported(path.c_str(), reinterpret_cast<DWORD_PTR>(head.data())) != 1) Fail("probe", 0);
    HLOCAL list = nullptr;
    int listed = p.GetArchiveInfo(path.c_str(), 0, 0, &list);
    if (listed != 0) Fail("listing", listed);
    std::vector<std::string> names;
    for (const EntryInfo* r = static_cast<const EntryInfo*>(LocalLock(list)); r->method[0]; r++)
        names.push_back(r->fileName);
    LocalUnlock(list);
    LocalFree(list);

    std::vector<uint8_t> out((size_t)16 << 20), piece(ENTRY_PIECE_SIZE);
    for (int r = -1; r < runs; r++) {  // run -1 checks the bytes and is not timed
        for (Case& c : cases) {
            const lzss_corpus::Sample& s = lzss_corpus::Get(c.kind, c.size);
            const std::string written = dir + names[(size_t)c.position / 3];
            for (int w = 0; w < WORK_COUNT; w++) {
                double start = Now();
                if (w == MEMORY) {
                    HLOCAL block = nullptr;
                    int result = p.GetFile(path.c_str(), c.position, reinterpret_cast<LPSTR>(&block), 0x100, nullptr, 0);
                    if (result != 0 || !block || LocalSize(block) != c.size) Fail("GetFile to memory", result);
                    if (r < 0 && memcmp(LocalLock(block), s.content.data(), c.size) != 0) Fail("memory bytes differ", 0);
                    if (r < 0) LocalUnlock(block);
                    LocalFree(block);
                } else if (w == DISK) {
                    int result = p.GetFile(path.c_str(), c.position, const_cast<LPSTR>(dir.c_str()), 0, nullptr, 0);
                    if (result != 0) Fail("GetFile to disk", result);
                } else if (w == DECODER) {
                    LzssDecode(s.stream.data(), (uint32_t)s.stream.size(), out.data(), (uint32_t)c.size);
                } else if (w == FLOOR) {
                    Floor(path, tableBytes, c, piece);
                } else {
                    ReferenceLzssDecode(s.stream.data(), (uint32_t)s.stream.size(), out.data(), (uint32_t)c.size);
                }
                double t = Now() - start;
                if (w == DISK) {
                    if (r < 0) {
                        std::vector<uint8_t> back(c.size + 1);
                        HANDLE f = CreateFileA(written.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
                        DWORD got = 0;
                        if (f == INVALID_HANDLE_VALUE) Fail("no file written", 0);
                        ReadFile(f, back.data(), (DWORD)back.size(), &got, nullptr);
                        CloseHandle(f);
                        if (got != c.size || memcmp(back.data(), s.content.data(), c.size) != 0) Fail("disk bytes differ", (int)got);
                    }
                    DeleteFileA(written.c_str());
                }
                if ((w == DECODER || w == RING) && r < 0 && memcmp(out.data(), s.content.data(), c.size) != 0)
                    Fail("decoded bytes differ", w);
                if (r >= 0) c.times[w].push_back(t);
            }
        }
        fprintf(stderr, "run %d done\n", r);
    }
    // What a call costs whatever the decoder does: GetFile of the small
    // bitmap (opening the archive, reading the table, the call itself), and
    // a host block of each size allocated, touched once per page and freed
    // (Wine maps such blocks afresh on every call: the page faults are paid
    // by every GetFile to memory).
    std::vector<double> small, touch[2];
    for (int r = 0; r < runs; r++) {
        double start = Now();
        HLOCAL block = nullptr;
        int result = p.GetFile(path.c_str(), 0, reinterpret_cast<LPSTR>(&block), 0x100, nullptr, 0);
        if (result != 0) Fail("GetFile of the small entry", result);
        LocalFree(block);
        small.push_back(Now() - start);
        for (int k = 0; k < 2; k++) {
            size_t size = k ? (size_t)16 << 20 : (size_t)1 << 20;
            start = Now();
            HLOCAL h = LocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, size);
            volatile uint8_t* bytes = static_cast<uint8_t*>(LocalLock(h));
            for (size_t i = 0; i < size; i += 4096) bytes[i] = 1;
            LocalUnlock(h);
            LocalFree(h);
            touch[k].push_back(Now() - start);
        }
    }
    FreeLibrary(p.module);
    testing_plugin::RestoreSettings(saved);
    DeleteFileA(path.c_str());
    RemoveDirectoryA(dir.c_str());

    printf("median of %d interleaved runs; MB/s of output (MB = 10^6 bytes)\n\n", runs);
    printf("| entry | GetFile memory | GetFile disk | LzssDecode | ring decoder | floor | memory/ring | disk/ring | "
           "decoder/ring | floor/ring |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    double logSum = 0, worst = 1e9, floorLogSum = 0, floorWorst = 1e9;
    for (const Case& c : cases) {
        double m[WORK_COUNT];
        for (int w = 0; w < WORK_COUNT; w++) m[w] = Median(c.times[w]);
        double ratio = m[RING] / m[MEMORY];
        logSum += std::log(ratio);
        worst = std::min(worst, ratio);
        floorLogSum += std::log(m[RING] / m[FLOOR]);
        floorWorst = std::min(floorWorst, m[RING] / m[FLOOR]);
        auto mbps = [&](double t) { return (double)c.size / t / 1e6; };
        printf("| %s %d MiB | %.0f | %.0f | %.0f | %.0f | %.0f | %.2fx | %.2fx | %.2fx | %.2fx |\n",
               test_content::KindName(c.kind), (int)(c.size >> 20), mbps(m[MEMORY]), mbps(m[DISK]), mbps(m[DECODER]),
               mbps(m[RING]), mbps(m[FLOOR]), ratio, m[RING] / m[DISK], m[RING] / m[DECODER], m[RING] / m[FLOOR]);
    }
    printf("\nGetFile to memory / ring decoder: geometric mean %.2fx, lowest %.2fx\n",
           std::exp(logSum / cases.size()), worst);
    printf("floor / ring decoder (the most any GetFile to memory reaches): geometric mean %.2fx, lowest %.2fx\n",
           std::exp(floorLogSum / cases.size()), floorWorst);
    printf("GetFile to memory of a 300-byte bitmap: %.0f us; host block allocated, touched and freed: 1 MiB %.0f us, "
           "16 MiB %.0f us\n", Median(small) * 1e6, Median(touch[0]) * 1e6, Median(touch[1]) * 1e6);
    return 0;
}
