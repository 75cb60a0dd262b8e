// qordat's reading of an archive file as bytes, for what it shows beside the
// plug-in's calls: the probe's first bytes, and the raw count and size table
// that `dump` prints. Every read is bounded by the file's length; a read that
// fails (an I/O error, not the end of the file) is reported as such, never
// taken for damage. What the bytes mean is the archive code's (archive/).
#ifndef MORQUENT_TOOLS_QORDAT_INPUT_H
#define MORQUENT_TOOLS_QORDAT_INPUT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qordat {

// An archive file open for reading.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
    // Opens `path` (not a directory); false with errno set.
    bool Open(const std::string& path);
    uint64_t Length() const { return length_; }
    // Reads up to `n` bytes at `at`, never past the end of the file; *got
    // says how many. False when the read failed (errno set).
    bool ReadAt(uint64_t at, uint8_t* buffer, size_t n, size_t* got);

private:
    FILE* file_ = nullptr;
    uint64_t length_ = 0;
};

// The count field and the size table at byte `base` of the file, as far as
// the file holds them.
struct RawTable {
    bool readFailed = false;     // errno tells why
    bool hasCount = false;       // the file holds four bytes at the base
    int32_t rawCount = 0;        // the count field as it stands
    bool countValid = false;     // 1 to 8191 in its encoded form
    std::vector<uint8_t> bytes;  // the count field and the sizes the file holds
};

RawTable ReadRawTable(InputFile& file, uint64_t base);

}  // namespace qordat

#endif
