// Archives in memory for the tests, fuzz targets and benchmarks, of every
// entry-header layout, plain or compressed entries, and the damaged cases
// that tests need: a short way through the archive writer
// (writer/archive_writer.h) with a memory sink.
#ifndef MORQUENT_TESTS_SUPPORT_ARCHIVE_BUILDER_H
#define MORQUENT_TESTS_SUPPORT_ARCHIVE_BUILDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "writer/archive_writer.h"

namespace test_archive {

using Layout = writer::Layout;

struct Entry {
    std::vector<uint8_t> content;  // the content as a host should get it back
    bool empty = false;            // an empty slot (stored size 0); content ignored
    bool compress = false;         // store as an LZSS stream (kind 1)
    // Damage and special cases; unset means "what a correct archive holds".
    std::optional<int16_t> kind;           // kind field to write (default 0 plain, 1 compressed)
    std::optional<int32_t> declaredSize;   // declared size (KindSize head); default content size
    std::optional<int32_t> storedSize;     // size-table value; default the real stored length
    std::optional<std::vector<uint8_t>> storedBytes;  // exact stored bytes, head included (overrides all)
};

struct Options {
    Layout layout = Layout::Raw;
    std::optional<int32_t> count;   // count field to write; default the number of entries
    std::optional<size_t> truncate; // cut the finished file (leading bytes included) to this many bytes
    size_t leadingBytes = 0;        // bytes (0xEE) before the archive, for base-offset tests
};

// The bytes an entry is stored as under `layout` (head and payload):
//   Raw       payload only (no head; the kind and declared size are not written)
//   KindSize  int16 kind, int32 declared size, payload
//   KindOnly  int16 kind, payload (the declared size is not written)
// The payload is the content, or its LZSS stream (the optimal level) when
// `compress` is set (also under Raw, where such an entry reads back as plain
// bytes). An empty slot stores nothing. `storedBytes`, when set, is
// returned as it is.
std::vector<uint8_t> StoredBytes(const Entry& entry, Layout layout);

// The whole archive file.
std::vector<uint8_t> BuildArchive(const std::vector<Entry>& entries, const Options& options);

// Convenience constructors.
Entry Plain(std::vector<uint8_t> content);
Entry Compressed(std::vector<uint8_t> content);
Entry Empty();
Entry Stored(std::vector<uint8_t> bytes);  // exact stored bytes, head included

}  // namespace test_archive

#endif
