#include "tools/qordat/input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "archive/bytes.h"
#include "archive/container.h"
#include "archive/entry.h"
#include "archive/lzss.h"
#include "tools/qordat/common.h"

namespace qordat {
namespace {

// Pieces in which entries are read, and the expansion's window: the
// history LZSS references reach and a chunk of new content.
constexpr size_t kPiece = 64 * 1024;
constexpr uint32_t kHistory = LZSS_RING_SIZE;
constexpr uint32_t kChunk = 64 * 1024;

}  // namespace

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

int64_t SizeTable::DataEnd() const
{
    if (!countValid || Cut()) return -1;
    int64_t end = 4 + 4 * static_cast<int64_t>(rawCount);
    for (int32_t size : stored) {
        if (size < 0) return -1;
        end += size;
    }
    return end;
}

SizeTable ReadSizeTable(InputFile& file, uint64_t base)
{
    SizeTable t;
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
    std::vector<uint8_t> bytes(4 * static_cast<size_t>(t.rawCount));
    if (!file.ReadAt(base + 4, bytes.data(), bytes.size(), &got)) {
        t.readFailed = true;
        return t;
    }
    int64_t at = 4 + 4 * static_cast<int64_t>(t.rawCount);
    for (size_t i = 0; 4 * i + 4 <= got; i++) {
        const int32_t size = ReadS32(&bytes[4 * i]);
        t.stored.push_back(size);
        t.offsets.push_back(at);
        if (at >= 0) at = size >= 0 ? at + size : -1;
    }
    return t;
}

std::string TableProblem(const SizeTable& table, uint64_t fileLength, uint64_t base)
{
    if (!table.Cut()) return "";
    const uint64_t tableEnd = base + 4 + 4 * static_cast<uint64_t>(table.rawCount);
    return "the size table is cut: the file ends " + Bytes(tableEnd - fileLength) + " before it does (" +
           Count(table.rawCount - static_cast<int64_t>(table.stored.size()), "size", "sizes") + " missing)";
}

std::string EntryCheck::Problem() const
{
    if (!inTable) return "its size lies past the end of the file (the size table is cut)";
    if (storedMissing)
        return Bytes(contentMissing ? contentMissing : storedMissing) + " missing (the archive ends " +
               Bytes(storedMissing) + " before the entry does)";
    if (contentMissing) return Bytes(contentMissing) + " missing (its stream ends before its size)";
    return "";
}

EntryCheck CheckEntry(InputFile& file, uint64_t base, const SizeTable& table, int32_t layout, size_t slot,
                      uint64_t size, bool decode)
{
    EntryCheck c;
    if (slot >= table.stored.size() || table.offsets[slot] < 0 || table.stored[slot] < 0) return c;
    c.inTable = true;
    c.offset = table.offsets[slot];
    c.stored = static_cast<uint32_t>(table.stored[slot]);
    const uint64_t begin = base + static_cast<uint64_t>(c.offset);
    const uint64_t inFile = begin < file.Length() ? file.Length() - begin : 0;
    const uint64_t held = std::min(c.stored, inFile);
    c.storedMissing = c.stored - held;
    if (c.stored == 0 || size == 0) return c;

    uint8_t kindBytes[2] = {0, 0};
    size_t got = 0;
    if (!file.ReadAt(begin, kindBytes, static_cast<size_t>(std::min<uint64_t>(2, held)), &got)) {
        c.readFailed = true;
        c.readError = errno;
        return c;
    }
    // The archive code's payload rule: where the payload starts and whether
    // it is a stream, by the layout and the kind.
    EntryExpansion expansion;
    EntryExpandStart(&expansion, layout, S16At(kindBytes, got, 0), static_cast<uint32_t>(size));
    c.compressed = expansion.compressed;
    if (!decode) {
        if (!c.compressed) {
            const uint64_t payload = held > expansion.start ? held - expansion.start : 0;
            c.contentMissing = size > payload ? size - payload : 0;
        } else if (c.storedMissing) {
            c.contentMissing = c.storedMissing;  // at least that much, before decoding
        }
        return c;
    }
    // Everything the file holds of the entry, expanded into a window whose
    // content is thrown away: what a host would get from real bytes.
    std::vector<uint8_t> piece(kPiece), window(kHistory + kChunk);
    uint32_t pos = 0;
    ExpandStatus status = EXPAND_NEEDS_INPUT;
    for (uint64_t at = 0; at < held && status != EXPAND_FINISHED;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, held - at));
        if (!file.ReadAt(begin + at, piece.data(), n, &got) || got < n) {
            c.readFailed = true;
            c.readError = got < n && !errno ? EIO : errno;
            return c;
        }
        at += n;
        for (uint32_t used = 0;;) {
            uint32_t length = static_cast<uint32_t>(n) - used;
            status = EntryExpandSome(&expansion, piece.data() + used, &length, window.data(), &pos,
                                     static_cast<uint32_t>(window.size()));
            used += length;
            if (status != EXPAND_OUTPUT_FULL) break;
            std::memmove(window.data(), window.data() + pos - kHistory, kHistory);
            pos = kHistory;
        }
    }
    c.contentMissing = size - expansion.produced;
    return c;
}

}  // namespace qordat
