#include "tools/qordat/input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "archive/bytes.h"
#include "archive/container.h"
#include "tools/qordat/common.h"

namespace qordat {

InputFile::~InputFile()
{
    if (file_) std::fclose(file_);
}

bool InputFile::Open(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return false;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) return false;
#if defined(_WIN32)
    if (_fseeki64(file_, 0, SEEK_END) != 0) return false;
    const int64_t end = _ftelli64(file_);
#else
    if (fseeko(file_, 0, SEEK_END) != 0) return false;
    const int64_t end = ftello(file_);
#endif
    if (end < 0) return false;
    length_ = static_cast<uint64_t>(end);
    return true;
}

bool InputFile::ReadAt(uint64_t at, uint8_t* buffer, size_t n, size_t* got)
{
    *got = 0;
    if (at >= length_ || n == 0) return true;
    n = static_cast<size_t>(std::min<uint64_t>(n, length_ - at));
    if (!SeekTo(file_, at)) return false;
    *got = std::fread(buffer, 1, n, file_);
    if (*got < n && std::ferror(file_)) {
        if (!errno) errno = EIO;
        std::clearerr(file_);
        return false;
    }
    return true;
}

RawTable ReadRawTable(InputFile& file, uint64_t base)
{
    RawTable t;
    uint8_t four[4];
    size_t got = 0;
    if (!file.ReadAt(base, four, 4, &got)) {
        t.readFailed = true;
        return t;
    }
    if (got < 4) return t;
    t.hasCount = true;
    t.rawCount = ReadS32(four);
    t.countValid = ContainerCount(four) != 0;
    if (!t.countValid) return t;
    // At most 8,191 slots: 32 KiB of table.
    t.bytes.resize(4 + 4 * static_cast<size_t>(t.rawCount));
    if (!file.ReadAt(base, t.bytes.data(), t.bytes.size(), &got)) {
        t.readFailed = true;
        return t;
    }
    t.bytes.resize(got);
    return t;
}

}  // namespace qordat
