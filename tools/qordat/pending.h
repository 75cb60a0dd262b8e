// Files that appear whole or not at all: qordat writes each output under a
// temporary name (beside its final one, or in a private folder inside the
// output folder) and puts it in place when it is complete. On a failure the
// temporary file is removed, and on SIGINT, SIGTERM, SIGHUP or SIGPIPE a
// handler removes it (and the private folder) before qordat dies of the
// signal. The handlers are installed before the first temporary file or
// folder is made, by whatever makes it.
#ifndef MORQUENT_TOOLS_QORDAT_PENDING_H
#define MORQUENT_TOOLS_QORDAT_PENDING_H

#include <cstdio>
#include <string>
#include <vector>

namespace qordat {

// The files and the folder the handler removes; none for an empty list or
// "". A path is published whole before the handler can read it.
void SetCleanupFiles(const std::vector<std::string>& paths);
void SetCleanupDir(const std::string& path);

// A new private folder inside `dir` (".qordat-XXXXXXXX"), or "" (errno set).
// It is the cleanup folder from before it exists.
std::string MakeTempDir(const std::string& dir);

// Moves `from` to `to`. With `replace` false an existing file (or link) of
// that name is never replaced: the test and the move are one step, so a
// file that appears in between is kept too. False with errno set (EEXIST
// for a file kept); `from` is then left where it was.
bool PutInPlace(const std::string& from, const std::string& to, bool replace);

// An output file written under a temporary name in the final one's
// folder. Commit puts it in place; otherwise it is removed.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { Discard(); }
    // Creates the temporary file for `finalPath`; false with errno set.
    bool Open(const std::string& finalPath);
    FILE* Stream() { return stream_; }
    const std::string& TempPath() const { return tempPath_; }
    // Closes the file, still under its temporary name (to be read back,
    // also where an open writer keeps others out); false with errno set.
    bool Close();
    // Closes the file and puts it in place; false with errno set (the
    // temporary file is then removed).
    bool Commit(bool replace = true);
    void Discard();

private:
    FILE* stream_ = nullptr;
    std::string finalPath_, tempPath_;
};

}  // namespace qordat

#endif
