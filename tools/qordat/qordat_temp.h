// Files that appear whole or not at all: qordat writes each output under a
// temporary name beside its final one and renames it into place when it is
// complete. On a failure the temporary file is removed, and on SIGINT,
// SIGTERM, SIGHUP or SIGPIPE a handler removes it (and the temporary
// directory of an extraction) before qordat dies of the signal.
#ifndef MORQUENT_TOOLS_QORDAT_TEMP_H
#define MORQUENT_TOOLS_QORDAT_TEMP_H

#include <cstdio>
#include <string>
#include <vector>

namespace qordat {

// Installs the handlers (once); also makes a write past the file-size limit
// fail with EFBIG instead of killing the process.
void InstallCleanupHandlers();

// The file and directory the handler removes; "" for none. The handler
// reads a path only once it is complete.
void SetCleanupFile(const std::string& path);
// Up to six files, any of which may exist.
void SetCleanupFiles(const std::vector<std::string>& paths);
void SetCleanupDir(const std::string& path);

// A new directory inside `dir` (".qordat-XXXXXXXX"), or "" (errno set).
std::string MakeTempDir(const std::string& dir);

// An output file written under a temporary name in the final one's
// directory. Commit renames it into place; otherwise it is removed.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { Discard(); }
    // Creates the temporary file for `finalPath`; false with errno set.
    bool Open(const std::string& finalPath);
    FILE* Stream() { return stream_; }
    // Closes the file and renames it into place; false with errno set (the
    // temporary file is then removed).
    bool Commit();
    void Discard();

private:
    FILE* stream_ = nullptr;
    std::string finalPath_, tempPath_;
};

}  // namespace qordat

#endif
