// qordat's own reading of an archive file, for what the plug-in's calls do
// not tell: the size table as the file holds it, where the file cuts an
// entry, and what an entry's stored bytes really give. Every byte is
// untrusted and every read bounded by the file's length; a read that fails
// (an I/O error, not the end of the file) is reported as such, never taken
// for damage. Memory stays a few hundred KiB whatever the file's size.
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

// The count and size table of the container at byte `base` of the file,
// as far as the file holds them.
struct SizeTable {
    bool readFailed = false;  // errno tells why
    bool hasCount = false;    // the file holds four bytes at the base
    int32_t rawCount = 0;     // the count field as it stands
    bool countValid = false;  // 1 to 8191 in its encoded form
    // One per slot whose size field the file holds whole (all of them
    // unless the file ends inside the table).
    std::vector<int32_t> stored;
    // Where each of those slots begins, counted from the count field; -1
    // from a negative size on.
    std::vector<int64_t> offsets;
    bool Cut() const { return countValid && stored.size() < static_cast<size_t>(rawCount); }
    // Where the entries end (from the count field), or -1 when the table is
    // cut or a size is negative.
    int64_t DataEnd() const;
};

SizeTable ReadSizeTable(InputFile& file, uint64_t base);

// What an entry's bytes give, against the content size `size` that the
// listing gives it (a host receives what is missing as zeros).
struct EntryCheck {
    bool readFailed = false;       // errno (saved in readError) tells why
    int readError = 0;
    bool inTable = false;          // its size field lies inside the file
    int64_t offset = -1;           // its first byte, from the count field
    uint64_t stored = 0;           // the size-table value
    uint64_t storedMissing = 0;    // stored bytes past the end of the file
    uint64_t contentMissing = 0;   // content bytes its stored bytes do not give
    bool compressed = false;
    bool Damaged() const { return !inTable || storedMissing || contentMissing; }
    // What is wrong, in a few words ("" when whole).
    std::string Problem() const;
};

// Checks the entry of table slot `slot` whose content is `size` bytes, read
// under `layout` (LAYOUT_*, as the listing left it) by the archive code's
// payload rule. With `decode` every stored byte the file holds is read and
// expanded (what extraction gives, without writing it); without, only what
// the table and the file's length show.
EntryCheck CheckEntry(InputFile& file, uint64_t base, const SizeTable& table, int32_t layout, size_t slot,
                      uint64_t size, bool decode);

// A damage of the table as a whole, in a few words ("" when none): the
// file ends inside the size table.
std::string TableProblem(const SizeTable& table, uint64_t fileLength, uint64_t base);

}  // namespace qordat

#endif
