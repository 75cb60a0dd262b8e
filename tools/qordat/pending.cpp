#include "tools/qordat/pending.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#endif

namespace qordat {
namespace {

namespace fs = std::filesystem;

// The paths the handler removes. Two sets of fixed buffers: a new list is
// written into the set the handler is not reading, and only then does the
// index switch to it; a signal fence keeps the compiler from moving the
// writes past the switch. The handler reads nothing else.
struct CleanupPaths {
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
            std::memcpy(paths[next][n], path.c_str(), path.size() + 1);
            n++;
        }
        counts[next] = n;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        current = n ? next : -1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
};

CleanupPaths cleanupFiles, cleanupDir;

// Only async-signal-safe calls: unlink, rmdir, signal, raise.
extern "C" void RemoveAndDie(int signal)
{
    const int files = cleanupFiles.current, dir = cleanupDir.current;
    for (int i = 0; files >= 0 && i < cleanupFiles.counts[files]; i++) {
#if defined(_WIN32)
        _unlink(cleanupFiles.paths[files][i]);
#else
        unlink(cleanupFiles.paths[files][i]);
#endif
    }
    if (dir >= 0) {
#if defined(_WIN32)
        _rmdir(cleanupDir.paths[dir][0]);
#else
        rmdir(cleanupDir.paths[dir][0]);
#endif
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Installed once, before the first temporary path is published.
void InstallHandlers()
{
    static bool installed = false;
    if (installed) return;
    installed = true;
#if defined(_WIN32)
    std::signal(SIGINT, RemoveAndDie);
    std::signal(SIGTERM, RemoveAndDie);
#else
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemoveAndDie;
    sigfillset(&action.sa_mask);  // one handler at a time
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
    // A write past the file-size limit fails with EFBIG instead of killing.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

uint64_t Seed()
{
    static uint64_t counter = 0;
    const uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (now ^ (static_cast<uint64_t>(getpid()) << 32)) * 0x9E3779B97F4A7C15ull + ++counter * 0x632BE59BD9B4E019ull;
}

std::string RandomSuffix()
{
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".qordat-%08" PRIx64, Seed() >> 32);
    return suffix;
}

}  // namespace

void SetCleanupFiles(const std::vector<std::string>& paths) { cleanupFiles.Set(paths); }
void SetCleanupDir(const std::string& path) { cleanupDir.Set({path}); }

std::string MakeTempDir(const std::string& dir)
{
    InstallHandlers();
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string path = (fs::path(dir) / RandomSuffix()).string();
        SetCleanupDir(path);
        std::error_code error;
        if (fs::create_directory(path, error)) return path;
        SetCleanupDir("");
        if (error) {
            errno = error.value();
            return "";
        }
    }
    errno = EEXIST;
    return "";
}

bool PutInPlace(const std::string& from, const std::string& to, bool replace)
{
#if defined(_WIN32)
    if (!replace) return std::rename(from.c_str(), to.c_str()) == 0;  // never replaces on Windows
    std::error_code error;
    fs::rename(from, to, error);
    if (error) errno = error.value();
    return !error;
#else
    if (replace) return std::rename(from.c_str(), to.c_str()) == 0;
#if defined(RENAME_NOREPLACE)
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
#endif
    // A file system without renameat2's flag: a second link under the new
    // name, which fails on any existing one, then the old name goes.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
#endif
}

bool PendingFile::Open(const std::string& finalPath)
{
    Discard();
    InstallHandlers();
    finalPath_ = finalPath;
    const fs::path final(finalPath);
    for (int attempt = 0; attempt < 100 && !stream_; attempt++) {
        tempPath_ = (final.parent_path() / ("." + final.filename().string() + RandomSuffix())).string();
        SetCleanupFiles({tempPath_});
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
        SetCleanupFiles({});
        tempPath_.clear();
        errno = error;
        return false;
    }
    return true;
}

bool PendingFile::Close()
{
    if (!stream_) return !tempPath_.empty();
    const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
    int error = errno;
    const bool closed = std::fclose(stream_) == 0;
    if (flushed && !closed) error = errno;
    stream_ = nullptr;
    errno = error;
    return flushed && closed;
}

bool PendingFile::Commit(bool replace)
{
    if (tempPath_.empty()) return false;
    if (Close()) {
        if (PutInPlace(tempPath_, finalPath_, replace)) {
            SetCleanupFiles({});
            tempPath_.clear();
            return true;
        }
    }
    const int error = errno;
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
        SetCleanupFiles({});
        tempPath_.clear();
    }
}

}  // namespace qordat
