// Archives in memory through the archive writer.
#include "tests/support/archive_builder.h"

#include <cstdlib>
#include <memory>

namespace test_archive {

namespace {

// The entries of `entries` through the writer into memory; aborts on a
// failure (the memory sink and sources never fail, so that is a bug).
std::vector<uint8_t> Write(const std::vector<Entry>& entries, const Options& options)
{
    writer::MemorySink sink;
    writer::ArchiveWriter out(sink);
    const std::vector<uint8_t> leading(options.leadingBytes, 0xEE);
    bool ok = out.Prefix(leading.data(), leading.size()) && out.Begin(entries.size(), options.count);
    for (size_t i = 0; ok && i < entries.size(); i++) {
        const Entry& e = entries[i];
        if (e.storedBytes) {
            writer::MemorySource stored(*e.storedBytes);
            ok = out.Copy(stored, e.storedBytes->size(), e.storedSize);
        } else if (e.empty) {
            ok = out.Empty(e.storedSize);
        } else {
            writer::Store how;
            how.head = options.layout;
            how.compress = e.compress;
            how.kind = e.kind;
            how.declaredSize = e.declaredSize;
            how.storedSize = e.storedSize;
            ok = out.Content(how, std::make_unique<writer::MemorySource>(e.content));
        }
    }
    if (!(ok && out.Finish())) std::abort();
    std::vector<uint8_t> bytes = std::move(sink.bytes);
    if (options.truncate && *options.truncate < bytes.size()) bytes.resize(*options.truncate);
    return bytes;
}

}  // namespace

std::vector<uint8_t> StoredBytes(const Entry& entry, Layout layout)
{
    if (entry.storedBytes) return *entry.storedBytes;
    if (entry.empty) return {};
    Entry one = entry;
    one.storedSize.reset();
    Options options;
    options.layout = layout;
    const std::vector<uint8_t> archive = Write({one}, options);
    return std::vector<uint8_t>(archive.begin() + 8, archive.end());  // after the count and the one size
}

std::vector<uint8_t> BuildArchive(const std::vector<Entry>& entries, const Options& options)
{
    return Write(entries, options);
}

Entry Plain(std::vector<uint8_t> content)
{
    Entry entry;
    entry.content = std::move(content);
    return entry;
}

Entry Compressed(std::vector<uint8_t> content)
{
    Entry entry;
    entry.content = std::move(content);
    entry.compress = true;
    return entry;
}

Entry Empty()
{
    Entry entry;
    entry.empty = true;
    return entry;
}

Entry Stored(std::vector<uint8_t> bytes)
{
    Entry entry;
    entry.storedBytes = std::move(bytes);
    return entry;
}

}  // namespace test_archive
