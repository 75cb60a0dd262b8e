// Counts the heap memory a loaded module takes, for the benchmark and tests
// that measure the plug-in's working memory in the same process.
//
// How: the module's import address table entries for msvcrt's malloc,
// calloc, realloc and free (its working buffers; operator new of the
// statically linked C++ runtime lands in malloc too) and for kernel32's
// LocalAlloc and LocalFree (the blocks handed to the host) are pointed at
// counting wrappers. Only the module's own calls are counted: the process's
// other modules keep their import tables. A block's size is what the heap
// says it is (_msize, LocalSize), read when it is taken and when it is given
// back, so a block taken before Attach and freed later lowers the count by
// its true size.
//
// The counts are plain globals: the module must be called from one thread
// while attached. Detach puts the original entries back.
#ifndef MORQUENT_TESTS_HEAP_METER_H
#define MORQUENT_TESTS_HEAP_METER_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace heap_meter {

// One family of allocation calls.
struct Counts {
    int64_t current = 0;   // bytes taken minus bytes given back since Attach
    int64_t peak = 0;      // the highest `current` since the last Mark
    int64_t start = 0;     // `current` at the last Mark
    uint32_t taken = 0;    // blocks taken since the last Mark (reallocs included)
    size_t largest = 0;    // the largest block taken since the last Mark

    int64_t PeakBeyondStart() const { return peak - start; }
    int64_t Net() const { return current - start; }
};

inline Counts work;  // malloc, calloc, realloc, free
inline Counts host;  // LocalAlloc, LocalFree

namespace detail {

typedef void*(__cdecl* MallocFn)(size_t);
typedef void*(__cdecl* CallocFn)(size_t, size_t);
typedef void*(__cdecl* ReallocFn)(void*, size_t);
typedef void(__cdecl* FreeFn)(void*);
typedef size_t(__cdecl* MsizeFn)(void*);
typedef HLOCAL(WINAPI* LocalAllocFn)(UINT, SIZE_T);
typedef HLOCAL(WINAPI* LocalFreeFn)(HLOCAL);

inline MallocFn realMalloc;
inline CallocFn realCalloc;
inline ReallocFn realRealloc;
inline FreeFn realFree;
inline MsizeFn realMsize;
inline LocalAllocFn realLocalAlloc;
inline LocalFreeFn realLocalFree;

inline void Took(Counts& c, size_t size)
{
    c.current += (int64_t)size;
    c.taken++;
    if (size > c.largest) c.largest = size;
    if (c.current > c.peak) c.peak = c.current;
}

inline void Gave(Counts& c, size_t size) { c.current -= (int64_t)size; }

inline void* __cdecl Malloc(size_t size)
{
    void* p = realMalloc(size);
    if (p) Took(work, realMsize(p));
    return p;
}

inline void* __cdecl Calloc(size_t count, size_t size)
{
    void* p = realCalloc(count, size);
    if (p) Took(work, realMsize(p));
    return p;
}

inline void* __cdecl Realloc(void* old, size_t size)
{
    size_t before = old ? realMsize(old) : 0;
    void* p = realRealloc(old, size);
    // realloc(p, 0) frees p and may return null; a failed realloc keeps p.
    if (p) {
        Gave(work, before);
        Took(work, realMsize(p));
    } else if (old && size == 0) {
        Gave(work, before);
    }
    return p;
}

inline void __cdecl Free(void* p)
{
    if (p) Gave(work, realMsize(p));
    realFree(p);
}

inline HLOCAL WINAPI CountingLocalAlloc(UINT flags, SIZE_T size)
{
    HLOCAL h = realLocalAlloc(flags, size);
    if (h) Took(host, LocalSize(h));
    return h;
}

inline HLOCAL WINAPI CountingLocalFree(HLOCAL h)
{
    if (h) Gave(host, LocalSize(h));
    return realLocalFree(h);
}

// A patched import table slot and what it held.
struct Patch {
    void** slot;
    void* original;
};
inline std::vector<Patch> patches;

inline void Write(void** slot, void* value)
{
    DWORD protection;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
}

}  // namespace detail

// Points the module's imports at the counters and zeroes them. Returns the
// names patched ("msvcrt.dll!malloc", ...): the functions of the six that the
// module imports; empty when it imports none of them, or when a meter is
// attached already.
inline std::vector<std::string> Attach(HMODULE module)
{
    using namespace detail;
    std::vector<std::string> names;
    if (!module || !patches.empty()) return names;
    work = Counts();
    host = Counts();
    realMsize = reinterpret_cast<MsizeFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_msize")));
    if (!realMsize) return names;

    BYTE* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return names;

    struct Wanted {
        const char* dll;
        const char* name;
        void* wrapper;
        void** real;
    };
    const Wanted wanted[] = {
        {"msvcrt.dll", "malloc", (void*)&Malloc, (void**)&realMalloc},
        {"msvcrt.dll", "calloc", (void*)&Calloc, (void**)&realCalloc},
        {"msvcrt.dll", "realloc", (void*)&Realloc, (void**)&realRealloc},
        {"msvcrt.dll", "free", (void*)&Free, (void**)&realFree},
        {"kernel32.dll", "LocalAlloc", (void*)&CountingLocalAlloc, (void**)&realLocalAlloc},
        {"kernel32.dll", "LocalFree", (void*)&CountingLocalFree, (void**)&realLocalFree},
    };
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; imp++) {
        const char* dll = reinterpret_cast<const char*>(base + imp->Name);
        // Names from the lookup table; the address table beside it holds the
        // bound addresses (the same table when there is no lookup table).
        auto* lookup = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (imp->OriginalFirstThunk ? imp->OriginalFirstThunk : imp->FirstThunk));
        auto* bound = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; lookup->u1.AddressOfData; lookup++, bound++) {
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal)) continue;
            const char* name = reinterpret_cast<const char*>(
                reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + lookup->u1.AddressOfData)->Name);
            for (const Wanted& w : wanted) {
                if (_stricmp(dll, w.dll) != 0 || strcmp(name, w.name) != 0) continue;
                void** slot = reinterpret_cast<void**>(&bound->u1.Function);
                *w.real = *slot;
                patches.push_back({slot, *slot});
                Write(slot, w.wrapper);
                names.push_back(std::string(w.dll) + "!" + w.name);
            }
        }
    }
    return names;
}

// Puts the module's original import table entries back.
inline void Detach()
{
    using namespace detail;
    for (const Patch& p : patches) Write(p.slot, p.original);
    patches.clear();
    realMalloc = nullptr;
    realCalloc = nullptr;
    realRealloc = nullptr;
    realFree = nullptr;
    realLocalAlloc = nullptr;
    realLocalFree = nullptr;
}

// Starts a measurement: the peaks and block counts restart from now.
inline void Mark()
{
    for (Counts* c : {&work, &host}) {
        c->start = c->current;
        c->peak = c->current;
        c->taken = 0;
        c->largest = 0;
    }
}

}  // namespace heap_meter

#endif
