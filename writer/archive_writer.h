// The QOR's DAT archive writer: slots in, an archive out, in one pass and in
// bounded memory whatever the sizes. qordat pack, the tests' archives and
// the page (saving an edited archive) all write through it.
//
// What it writes, in order:
//
//   prefix           any bytes before the archive (an archive inside another file)
//   count            signed 32-bit, little-endian
//   size table       one signed 32-bit stored size per slot
//   entries          each slot's stored bytes, back to back, in table order
//   suffix           any bytes after the last entry
//
// An entry's stored bytes are its head (none, kind, or kind and declared
// size; archive/state.h) and its payload: the content, or its LZSS stream
// (archive/lzss.h). A slot may also be stored bytes copied as they are from
// another archive (a repack's unchanged slots come back byte for byte), or
// empty (stored size 0, no bytes).
//
// The size table comes before the entries but a compressed entry's size is
// known only once it is encoded. The writer writes the count and the table
// as zeros, then every entry as it comes (each head as zeros too), and at the
// end writes the table, and each head whose fields were not known up front,
// over that room. Nothing is spilled and nothing is held but the encoder's
// blocks in flight (a few MiB per thread): the sink must take a rewrite of
// bytes it already has (a file: a seek back; the page: a piece replaced).
//
// The file I/O is behind two small interfaces, Sink and Source, so that the
// page can hand it pieces of Blobs; FileSink and FileSource serve files,
// MemorySink and MemorySource memory. With LzssOptions::threads 1 (the only
// choice in a single-threaded WebAssembly build) no thread is ever started.
#ifndef MORQUENT_WRITER_ARCHIVE_WRITER_H
#define MORQUENT_WRITER_ARCHIVE_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/state.h"
#include "writer/lzss_encoder.h"

namespace writer {

// An entry's head, as the archive code names the layouts.
enum class Layout : int32_t {
    Raw = LAYOUT_RAW,             // no head: the stored bytes are the payload
    KindSize = LAYOUT_KIND_SIZE,  // int16 kind, int32 declared size, payload
    KindOnly = LAYOUT_KIND_ONLY,  // int16 kind, payload
};
// Bytes of head before the payload: 0, 6 or 2.
uint32_t HeadSize(Layout layout);

// Where the archive goes. Written strictly in order, but for two things the
// writer does, both on bytes it wrote before:
//  - Rewrite gives new bytes for exactly the bytes of one earlier Write (the
//    count and size table, or an entry's head), never anything else;
//  - Cut drops everything from `length` on, always the end of an earlier
//    Write (where a payload begins: a compressed entry that came out larger
//    than its content is written again plain).
// Each returns false on a failure, and Error() then says why (for a file,
// the system's reason for that very call).
class Sink {
public:
    virtual ~Sink() = default;
    virtual bool Write(const uint8_t* data, size_t size) = 0;
    virtual bool Rewrite(uint64_t at, const uint8_t* data, size_t size) = 0;
    virtual bool Cut(uint64_t length) = 0;
    virtual std::string Error() const = 0;
};

// Where content, copied bytes, a prefix or a suffix come from, read in
// order in pieces.
class Source {
public:
    virtual ~Source() = default;
    // Up to `size` bytes into `data`, their count in *got: 0 at the end.
    // False on a failure (Error() says why).
    virtual bool Read(uint8_t* data, size_t size, size_t* got) = 0;
    // Back to the first byte, to read it all again: needed only by an entry
    // stored plain after its stream came out larger (Store::plainIfLarger).
    // False when this source cannot.
    virtual bool Rewind() { return false; }
    virtual std::string Error() const = 0;
};

// A file opened by the caller for writing (and seeking), from its current
// position on: the writer's offsets count from there.
class FileSink : public Sink {
public:
    explicit FileSink(FILE* file);
    bool Write(const uint8_t* data, size_t size) override;
    bool Rewrite(uint64_t at, const uint8_t* data, size_t size) override;
    bool Cut(uint64_t length) override;
    std::string Error() const override;

private:
    bool Fail();  // keeps errno's reason, returns false
    FILE* file_;
    uint64_t start_ = 0, end_ = 0;  // the file's position at the start; bytes written since
    int error_ = 0;
};

// The archive in memory.
class MemorySink : public Sink {
public:
    bool Write(const uint8_t* data, size_t size) override;
    bool Rewrite(uint64_t at, const uint8_t* data, size_t size) override;
    bool Cut(uint64_t length) override;
    std::string Error() const override { return "out of range"; }
    std::vector<uint8_t> bytes;
};

// `length` bytes of the file at `path` from byte `offset` (by default all
// of it from there). Opened when first read and closed at its end, so that
// sources queued in the writer hold no file open; Rewind opens it again. A
// file that ends before `length` bytes fails with "ends N bytes short".
class FileSource : public Source {
public:
    explicit FileSource(std::string path, uint64_t offset = 0, std::optional<uint64_t> length = {});
    ~FileSource() override;
    bool Read(uint8_t* data, size_t size, size_t* got) override;
    bool Rewind() override;
    std::string Error() const override;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    uint64_t offset_;
    std::optional<uint64_t> length_;
    FILE* file_ = nullptr;
    uint64_t read_ = 0;
    bool ended_ = false;
    std::string error_;
};

// Bytes in memory, not copied: they must outlive the source.
class MemorySource : public Source {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    explicit MemorySource(const std::vector<uint8_t>& bytes) : MemorySource(bytes.data(), bytes.size()) {}
    bool Read(uint8_t* data, size_t size, size_t* got) override;
    bool Rewind() override;
    std::string Error() const override { return ""; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// How a slot's new content is stored. The defaults give the head a correct
// archive holds: kind 0 plain, 1 compressed, the declared size the
// content's.
struct Store {
    std::string name;  // what messages call it ("title.bmp"); "entry N" when empty
    Layout head = Layout::Raw;
    bool compress = false;
    // With compress: stored plain (kind 0) instead when its stream comes out
    // larger than the content. The content is then read a second time: its
    // Source must rewind (a content fed with Feed is never stored again).
    bool plainIfLarger = false;
    std::optional<int16_t> kind;          // the kind field to write
    std::optional<int32_t> declaredSize;  // the declared size to write (KindSize)
    std::optional<int32_t> storedSize;    // the size-table value to write (a damaged archive)
};

// New content stored as the slot it replaces was (a repack's changed file,
// a replaced entry, the page's edit): under `head`, with the slot's kind and
// so its compression by the archive code's payload rule (a slot shorter than
// its head held no stream), and a declared size that follows the new
// content unless the slot's own (`declared`, when it had one) said another
// size than its content's (`contentSize`, when known).
Store StoreAsSlotWas(Layout head, int16_t kind, uint32_t storedSize, std::optional<int32_t> declared,
                     std::optional<uint64_t> contentSize, std::string name);

// What a slot became, once the writer is finished.
struct SlotWritten {
    uint64_t offset = 0;   // where its stored bytes begin, from the start of the sink
    uint64_t stored = 0;   // stored bytes written (head included)
    uint64_t content = 0;  // content bytes (new content only; copied: the bytes copied)
    bool compressed = false;     // its payload is an LZSS stream
    bool storedPlain = false;    // plainIfLarger stored it plain
    uint64_t streamSize = 0;     // with compressed or storedPlain: the stream's size
};

// The writer. Calls go in this order, each returning false on a failure
// (Error() then says what failed; nothing more may be written):
//
//   Prefix*  Begin  (Empty | Copy | Content | BeginContent Feed* EndContent){slots}  Suffix*  Finish
//
// Compressed entries go through one encoder pipeline: while the oldest is
// written, its later blocks and the entries after it are encoded on every
// thread. A Content source is kept (and read again, for plainIfLarger)
// until its entry is written; a FileSource holds no file open meanwhile.
class ArchiveWriter {
public:
    ArchiveWriter(Sink& sink, const LzssOptions& lzss = LzssOptions());
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Bytes before the archive.
    bool Prefix(Source& source);
    bool Prefix(const uint8_t* data, size_t size);
    // The count and the room of the size table for `slots` slots. `count`
    // writes another count field (a damaged archive).
    bool Begin(size_t slots, std::optional<int32_t> count = {});

    // The next slot:
    // empty: stored size 0 (or `storedSize`), no bytes;
    bool Empty(std::optional<int32_t> storedSize = {});
    // `length` stored bytes, head included, copied as they are from `stored`
    // (the table gets `length`, or `storedSize`);
    bool Copy(Source& stored, uint64_t length, std::optional<int32_t> storedSize = {});
    // new content, read from `content` to its end, stored as `how` says;
    bool Content(const Store& how, std::unique_ptr<Source> content);
    // new content fed in pieces, stored as `how` says (no plainIfLarger).
    bool BeginContent(const Store& how);
    bool Feed(const uint8_t* data, size_t size);
    bool EndContent();

    // Bytes after the last entry.
    bool Suffix(Source& source);
    bool Suffix(const uint8_t* data, size_t size);
    // Writes the size table and the heads. The sink then holds the archive.
    bool Finish();

    const std::string& Error() const;
    // Every slot begun so far; complete after Finish.
    const std::vector<SlotWritten>& Slots() const;
    // Bytes written to the sink: the prefix, the archive and the suffix.
    uint64_t Size() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace writer

#endif
