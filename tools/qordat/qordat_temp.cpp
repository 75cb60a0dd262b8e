#include "tools/qordat/qordat_temp.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace qordat {
namespace {

namespace fs = std::filesystem;

// Two sets of buffers for each kind of path: the handler reads the set the
// index names, which is switched only once the other holds the new paths.
struct CleanupPath {
    static constexpr int kMax = 6;
    char paths[2][kMax][4096];
    int counts[2] = {0, 0};
    volatile std::sig_atomic_t current = -1;  // -1: none

    void Set(const std::vector<std::string>& list)
    {
        const int next = current == 0 ? 1 : 0;
        int n = 0;
        for (const std::string& path : list) {
            if (path.empty() || path.size() >= sizeof paths[0][0] || n == kMax) continue;
            std::snprintf(paths[next][n++], sizeof paths[next][0], "%s", path.c_str());
        }
        counts[next] = n;
        current = n ? next : -1;
    }
    template <typename F>
    void Each(F f) const
    {
        const int at = current;
        if (at < 0) return;
        for (int i = 0; i < counts[at]; i++) f(paths[at][i]);
    }
};

CleanupPath cleanupFile, cleanupDir;

extern "C" void RemoveAndDie(int signal)
{
    cleanupFile.Each([](const char* file) { std::remove(file); });
    cleanupDir.Each([](const char* dir) {
#if defined(_WIN32)
        _rmdir(dir);
#else
        rmdir(dir);
#endif
    });
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

uint64_t Seed()
{
    static uint64_t counter = 0;
    const uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (now ^ (static_cast<uint64_t>(getpid()) << 32)) * 0x9E3779B97F4A7C15ull + ++counter * 0x632BE59BD9B4E019ull;
}

}  // namespace

void InstallCleanupHandlers()
{
    static bool installed = false;
    if (installed) return;
    installed = true;
    std::signal(SIGINT, RemoveAndDie);
    std::signal(SIGTERM, RemoveAndDie);
#if !defined(_WIN32)
    std::signal(SIGHUP, RemoveAndDie);
    std::signal(SIGPIPE, RemoveAndDie);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void SetCleanupFile(const std::string& path) { cleanupFile.Set({path}); }
void SetCleanupFiles(const std::vector<std::string>& paths) { cleanupFile.Set(paths); }
void SetCleanupDir(const std::string& path) { cleanupDir.Set({path}); }

std::string MakeTempDir(const std::string& dir)
{
    for (int attempt = 0; attempt < 100; attempt++) {
        char name[40];
        std::snprintf(name, sizeof name, ".qordat-%08" PRIx64, Seed() >> 32);
        const fs::path path = fs::path(dir) / name;
        std::error_code error;
        if (fs::create_directory(path, error)) return path.string();
        if (error) {
            errno = error.value();
            return "";
        }
    }
    errno = EEXIST;
    return "";
}

bool PendingFile::Open(const std::string& finalPath)
{
    Discard();
    finalPath_ = finalPath;
    const fs::path final(finalPath);
    for (int attempt = 0; attempt < 100 && !stream_; attempt++) {
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".qordat-%08" PRIx64, Seed() >> 32);
        const fs::path temp = final.parent_path() / ("." + final.filename().string() + suffix);
        tempPath_ = temp.string();
        SetCleanupFile(tempPath_);
        // "x": never an existing file (nor one a link points to).
#if defined(_WIN32)
        stream_ = std::fopen(tempPath_.c_str(), "wb");
#else
        stream_ = std::fopen(tempPath_.c_str(), "wbx");
#endif
        if (!stream_ && errno != EEXIST) break;
    }
    if (!stream_) {
        const int error = errno;
        SetCleanupFile("");
        tempPath_.clear();
        errno = error;
        return false;
    }
    return true;
}

bool PendingFile::Commit()
{
    if (!stream_) return false;
    const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
    int error = errno;
    const bool closed = std::fclose(stream_) == 0;
    if (flushed && !closed) error = errno;
    stream_ = nullptr;
    if (flushed && closed) {
        std::error_code renameError;
        fs::rename(tempPath_, finalPath_, renameError);
        if (!renameError) {
            SetCleanupFile("");
            tempPath_.clear();
            return true;
        }
        error = renameError.value();
    }
    Discard();
    errno = error;
    return false;
}

void PendingFile::Discard()
{
    if (stream_) std::fclose(stream_);
    stream_ = nullptr;
    if (!tempPath_.empty()) {
        std::remove(tempPath_.c_str());
        SetCleanupFile("");
        tempPath_.clear();
    }
}

}  // namespace qordat
