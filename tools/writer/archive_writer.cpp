// QOR's DAT archive writer: count, size table, entries back to back, all
// integers little-endian.
#include "tools/writer/archive_writer.h"

#include "tools/writer/lzss_encoder.h"

namespace qordat {

namespace {

void PutLe(std::vector<uint8_t>& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> StoredBytes(const Entry& entry, Layout layout)
{
    if (entry.storedBytes) return *entry.storedBytes;
    std::vector<uint8_t> out;
    if (entry.empty) return out;

    if (layout != Layout::Raw) {
        const int16_t kind = entry.kind.value_or(entry.compress ? 1 : 0);
        PutLe(out, static_cast<uint16_t>(kind), 2);
    }
    if (layout == Layout::KindSize) {
        const int32_t declared = entry.declaredSize.value_or(static_cast<int32_t>(entry.content.size()));
        PutLe(out, static_cast<uint32_t>(declared), 4);
    }
    if (entry.compress) {
        const std::vector<uint8_t> stream = LzssEncode(entry.content);
        out.insert(out.end(), stream.begin(), stream.end());
    } else {
        out.insert(out.end(), entry.content.begin(), entry.content.end());
    }
    return out;
}

std::vector<uint8_t> BuildArchive(const std::vector<Entry>& entries, const Options& options)
{
    std::vector<std::vector<uint8_t>> stored;
    stored.reserve(entries.size());
    for (const Entry& entry : entries) stored.push_back(StoredBytes(entry, options.layout));

    std::vector<uint8_t> out(options.leadingBytes, 0xEE);
    PutLe(out, static_cast<uint32_t>(options.count.value_or(static_cast<int32_t>(entries.size()))), 4);
    for (size_t i = 0; i < entries.size(); i++) {
        const int32_t size = entries[i].storedSize.value_or(static_cast<int32_t>(stored[i].size()));
        PutLe(out, static_cast<uint32_t>(size), 4);
    }
    for (const std::vector<uint8_t>& bytes : stored) out.insert(out.end(), bytes.begin(), bytes.end());

    if (options.truncate && *options.truncate < out.size()) out.resize(*options.truncate);
    return out;
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

}  // namespace qordat
