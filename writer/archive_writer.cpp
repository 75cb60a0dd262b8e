// The QOR's DAT archive writer (archive_writer.h): count, size table, entries
// back to back, all integers little-endian.
#include "writer/archive_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/entry.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace writer {

namespace {

void PutLe(uint8_t* out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool SeekFile(FILE* f, uint64_t at)
{
#if defined(_WIN32)
    return _fseeki64(f, static_cast<int64_t>(at), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

int64_t TellFile(FILE* f)
{
#if defined(_WIN32)
    return _ftelli64(f);
#else
    return static_cast<int64_t>(ftello(f));
#endif
}

constexpr size_t kPiece = size_t(1) << 20;  // bytes copied at a time

}  // namespace

// By the archive code's own rule for where a payload begins.
Store StoreAsSlotWas(Layout head, int16_t kind, uint32_t storedSize, std::optional<int32_t> declared,
                     std::optional<uint64_t> contentSize, std::string name)
{
    Store how;
    how.name = std::move(name);
    how.head = head;
    if (head == Layout::Raw) return how;
    how.kind = kind;
    const EntryLayout layout = static_cast<EntryLayout>(head);
    how.compress = storedSize >= HeadSize(head) && SlotPayloadOf(layout, kind, storedSize).compressed;
    if (head == Layout::KindSize && declared && contentSize && static_cast<uint32_t>(*declared) != *contentSize)
        how.declaredSize = *declared;
    return how;
}

uint32_t HeadSize(Layout layout) { return LayoutHeadSize(static_cast<EntryLayout>(layout)); }

// --- FileSink ---

FileSink::FileSink(FILE* file) : file_(file)
{
    const int64_t at = TellFile(file);
    start_ = at > 0 ? static_cast<uint64_t>(at) : 0;
}

bool FileSink::Fail()
{
    error_ = errno ? errno : EIO;
    return false;
}

bool FileSink::Write(const uint8_t* data, size_t size)
{
    errno = 0;
    if (size && std::fwrite(data, 1, size, file_) != size) return Fail();
    end_ += size;
    return true;
}

bool FileSink::Rewrite(uint64_t at, const uint8_t* data, size_t size)
{
    errno = 0;
    if (!SeekFile(file_, start_ + at) || std::fwrite(data, 1, size, file_) != size) return Fail();
    if (!SeekFile(file_, start_ + end_)) return Fail();
    return true;
}

bool FileSink::Cut(uint64_t length)
{
    errno = 0;
    if (std::fflush(file_) != 0) return Fail();
#if defined(_WIN32)
    if (_chsize_s(_fileno(file_), static_cast<int64_t>(start_ + length)) != 0) return Fail();
#else
    if (ftruncate(fileno(file_), static_cast<off_t>(start_ + length)) != 0) return Fail();
#endif
    if (!SeekFile(file_, start_ + length)) return Fail();
    end_ = length;
    return true;
}

std::string FileSink::Error() const { return std::strerror(error_ ? error_ : EIO); }

// --- MemorySink ---

bool MemorySink::Write(const uint8_t* data, size_t size)
{
    bytes.insert(bytes.end(), data, data + size);
    return true;
}

bool MemorySink::Rewrite(uint64_t at, const uint8_t* data, size_t size)
{
    if (at > bytes.size() || size > bytes.size() - at) return false;
    std::memcpy(bytes.data() + at, data, size);
    return true;
}

bool MemorySink::Cut(uint64_t length)
{
    if (length > bytes.size()) return false;
    bytes.resize(static_cast<size_t>(length));
    return true;
}

// --- FileSource ---

FileSource::FileSource(std::string path, uint64_t offset, std::optional<uint64_t> length)
    : path_(std::move(path)), offset_(offset), length_(length)
{
}

FileSource::~FileSource()
{
    if (file_) std::fclose(file_);
}

bool FileSource::Read(uint8_t* data, size_t size, size_t* got)
{
    *got = 0;
    if (ended_) return true;
    if (!file_) {
        errno = 0;
        file_ = std::fopen(path_.c_str(), "rb");
        if (!file_ || (offset_ && !SeekFile(file_, offset_))) {
            error_ = "cannot read " + path_ + ": " + std::strerror(errno ? errno : EIO);
            return false;
        }
    }
    if (length_) size = static_cast<size_t>(std::min<uint64_t>(size, *length_ - read_));
    const size_t n = size ? std::fread(data, 1, size, file_) : 0;
    if (n < size && std::ferror(file_)) {
        error_ = "cannot read " + path_ + ": " + std::strerror(errno ? errno : EIO);
        return false;
    }
    read_ += n;
    *got = n;
    if (n == 0) {  // the end: no file kept open while the writer holds this source
        std::fclose(file_);
        file_ = nullptr;
        ended_ = true;
        if (length_ && read_ < *length_) {
            error_ = path_ + ": ends " + std::to_string(*length_ - read_) + " bytes short";
            return false;
        }
    }
    return true;
}

bool FileSource::Rewind()
{
    if (file_) std::fclose(file_);
    file_ = nullptr;
    read_ = 0;
    ended_ = false;
    return true;
}

std::string FileSource::Error() const { return error_; }

// --- MemorySource ---

bool MemorySource::Read(uint8_t* data, size_t size, size_t* got)
{
    *got = std::min(size, size_ - at_);
    if (*got) std::memcpy(data, data_ + at_, *got);
    at_ += *got;
    return true;
}

bool MemorySource::Rewind()
{
    at_ = 0;
    return true;
}

// --- ArchiveWriter ---

struct ArchiveWriter::Impl {
    enum Phase { kPrefix, kSlots, kSuffix, kDone, kFailed };

    // A slot of new content until it is written: how it is stored, and its
    // source while it may be read again.
    struct Pending {
        Store how;
        std::unique_ptr<Source> source;
        bool begun = false;  // its head's room is written
    };

    Sink& sink;
    LzssOptions lzss;
    std::unique_ptr<LzssPipeline> pipeline;  // made for the first compressed slot
    Phase phase = kPrefix;
    std::string error;
    uint64_t end = 0;      // bytes written to the sink
    uint64_t tableAt = 0;  // where the count is
    std::vector<uint8_t> table;
    size_t slotCount = 0;
    std::vector<SlotWritten> slots;
    std::vector<Pending> pending;  // by slot; emptied as each is written
    // The oldest slot not written yet: slots before it are complete, and
    // the pipeline's next bytes are its stream (slots from it on are
    // compressed or empty while the pipeline holds anything).
    size_t oldest = 0;
    bool feeding = false;  // between BeginContent and EndContent
    std::vector<uint8_t> piece;   // content read, bytes copied
    std::vector<uint8_t> stream;  // stream bytes taken

    Impl(Sink& s, const LzssOptions& o) : sink(s), lzss(o) {}

    bool Fail(const std::string& what)
    {
        if (phase != kFailed) error = what;
        phase = kFailed;
        return false;
    }
    bool WriteFailed() { return Fail("cannot write: " + sink.Error()); }
    std::string Entry(size_t i) const
    {
        return i < pending.size() && !pending[i].how.name.empty() ? pending[i].how.name : "entry " + std::to_string(i);
    }

    bool Write(const uint8_t* data, size_t size)
    {
        if (!sink.Write(data, size)) return WriteFailed();
        end += size;
        return true;
    }

    // Copies `source` to the sink: `length` bytes, or to its end when
    // unset; the count in *copied.
    bool CopyFrom(Source& source, std::optional<uint64_t> length, uint64_t* copied)
    {
        Piece();
        *copied = 0;
        for (;;) {
            size_t want = piece.size();
            if (length) want = static_cast<size_t>(std::min<uint64_t>(want, *length - *copied));
            if (want == 0) return true;
            size_t got = 0;
            if (!source.Read(piece.data(), want, &got)) return Fail(source.Error());
            if (got == 0) {
                if (length) return Fail("the bytes to copy end " + std::to_string(*length - *copied) + " bytes short");
                return true;
            }
            if (!Write(piece.data(), got)) return false;
            *copied += got;
        }
    }

    uint8_t* Piece()
    {
        if (piece.size() != kPiece) piece.resize(kPiece);
        return piece.data();
    }

    bool CheckSlot(const char* call)
    {
        if (phase == kFailed) return false;
        if (phase != kSlots || feeding) return Fail(std::string(call) + " out of order");
        if (slots.size() == slotCount) return Fail("more slots than Begin was given");
        return true;
    }

    // A new slot at index slots.size().
    size_t NewSlot()
    {
        slots.emplace_back();
        pending.emplace_back();
        return slots.size() - 1;
    }

    void SetTable(size_t i, uint64_t stored, std::optional<int32_t> given)
    {
        PutLe(&table[4 + 4 * i], static_cast<uint32_t>(given.value_or(static_cast<int32_t>(stored))), 4);
    }

    // Slot i's head room, at the end of the sink: zeros for now.
    bool BeginEntry(size_t i)
    {
        slots[i].offset = end;
        pending[i].begun = true;
        const uint8_t room[6] = {};
        const uint32_t head = HeadSize(pending[i].how.head);
        return head == 0 || Write(room, head);
    }

    // Slot i, begun at slots[i].offset, is complete with `payload` bytes
    // after its head: its head's fields and its size in the table.
    bool FinishEntry(size_t i, int16_t kind, uint64_t content, uint64_t payload)
    {
        SlotWritten& slot = slots[i];
        const Store& how = pending[i].how;
        const uint32_t headSize = HeadSize(how.head);
        slot.content = content;
        slot.stored = headSize + payload;
        if (slot.stored > INT32_MAX || content > INT32_MAX)
            return Fail(Entry(i) + ": too large for the format (an entry holds less than 2 GiB)");
        if (headSize) {
            uint8_t head[6];
            PutLe(head, static_cast<uint16_t>(how.kind.value_or(kind)), 2);
            PutLe(head + 2, static_cast<uint32_t>(how.declaredSize.value_or(static_cast<int32_t>(content))), 4);
            if (!sink.Rewrite(slot.offset, head, headSize)) return WriteFailed();
        }
        SetTable(i, slot.stored, how.storedSize);
        pending[i] = Pending();
        return true;
    }

    // Empty slots at `oldest` are complete where the next bytes go.
    void PassEmpties()
    {
        while (oldest < slots.size() && !pending[oldest].begun && !pending[oldest].how.compress) {
            slots[oldest].offset = end;
            oldest++;
        }
    }

    // Writes the oldest block the pipeline has ready (with `wait`, once it
    // is encoded), into the oldest slot; at its stream's end, that slot is
    // stored plain instead when its stream came out larger and plainIfLarger
    // allows it. *took: something was written.
    bool TakeOne(bool wait, bool* took)
    {
        stream.clear();
        const LzssPipeline::Taken taken = pipeline->Take(stream, wait);
        *took = taken.any;
        if (!taken.any) return true;
        PassEmpties();
        const size_t i = oldest;
        if (!pending[i].begun && !BeginEntry(i)) return false;
        if (!Write(stream.data(), stream.size())) return false;
        SlotWritten& slot = slots[i];
        slot.streamSize += stream.size();
        if (!taken.streamEnd) return true;
        if (taken.tag != i) return Fail(Entry(i) + ": the encoder's streams are out of step");
        slot.compressed = true;
        Pending& p = pending[i];
        const uint64_t payloadAt = slot.offset + HeadSize(p.how.head);
        if (p.how.plainIfLarger && slot.streamSize > taken.content && p.source && p.source->Rewind()) {
            if (!sink.Cut(payloadAt)) return WriteFailed();
            end = payloadAt;
            uint64_t copied = 0;
            if (!CopyFrom(*p.source, {}, &copied)) return false;
            if (copied != taken.content) return Fail(Entry(i) + ": its content changed while it was written");
            slot.compressed = false;
            slot.storedPlain = true;
            if (!FinishEntry(i, 0, copied, copied)) return false;
        } else if (!FinishEntry(i, 1, taken.content, slot.streamSize)) {
            return false;
        }
        oldest++;
        return true;
    }

    // Writes every stream in the pipeline: what comes next goes after them.
    bool Drain()
    {
        bool took = true;
        while (pipeline && pipeline->Queued())
            if (!TakeOne(true, &took)) return false;
        PassEmpties();
        return true;
    }

    // Writes what the pipeline has ready; waits only at its memory bound.
    bool TakeReady()
    {
        for (bool took = true; took;)
            if (!TakeOne(pipeline->Full(), &took)) return false;
        return true;
    }

    // A slot of new content begins: compressed into the pipeline, or plain
    // in place after everything before it.
    bool StartContent(const Store& how, std::unique_ptr<Source> source)
    {
        if (!how.compress && !Drain()) return false;
        const size_t i = NewSlot();
        pending[i].how = how;
        pending[i].source = std::move(source);
        if (!how.compress) return BeginEntry(i);
        if (!pipeline) pipeline.reset(new LzssPipeline(lzss));
        return true;
    }

    bool FeedContent(const uint8_t* data, size_t size)
    {
        const size_t i = slots.size() - 1;
        if (pending[i].how.compress) {
            pipeline->Add(data, size);
            slots[i].content += size;
            return TakeReady();
        }
        slots[i].content += size;
        return Write(data, size);
    }

    bool EndContentSlot()
    {
        const size_t i = slots.size() - 1;
        if (pending[i].how.compress) {
            pipeline->EndStream(i);
            return TakeReady();
        }
        const uint64_t content = slots[i].content;
        if (!FinishEntry(i, 0, content, content)) return false;
        oldest = i + 1;
        return true;
    }
};

ArchiveWriter::ArchiveWriter(Sink& sink, const LzssOptions& lzss) : impl_(new Impl(sink, lzss)) {}
ArchiveWriter::~ArchiveWriter() = default;

bool ArchiveWriter::Prefix(Source& source)
{
    Impl& s = *impl_;
    if (s.phase != Impl::kPrefix) return s.Fail("Prefix after Begin");
    uint64_t copied = 0;
    return s.CopyFrom(source, {}, &copied);
}

bool ArchiveWriter::Prefix(const uint8_t* data, size_t size)
{
    MemorySource source(data, size);
    return Prefix(source);
}

bool ArchiveWriter::Begin(size_t slots, std::optional<int32_t> count)
{
    Impl& s = *impl_;
    if (s.phase != Impl::kPrefix) return s.Fail("Begin out of order");
    s.phase = Impl::kSlots;
    s.slotCount = slots;
    s.tableAt = s.end;
    s.table.assign(4 + 4 * slots, 0);
    PutLe(s.table.data(), static_cast<uint32_t>(count.value_or(static_cast<int32_t>(slots))), 4);
    s.slots.reserve(slots);
    s.pending.reserve(slots);
    // Zeros for now: written whole at the end, with every size.
    const std::vector<uint8_t> room(s.table.size(), 0);
    return s.Write(room.data(), room.size());
}

bool ArchiveWriter::Empty(std::optional<int32_t> storedSize)
{
    Impl& s = *impl_;
    if (!s.CheckSlot("Empty")) return false;
    const size_t i = s.NewSlot();
    s.pending[i].how.storedSize = storedSize;
    s.SetTable(i, 0, storedSize);
    if (!s.pipeline || !s.pipeline->Queued()) s.PassEmpties();
    return true;
}

bool ArchiveWriter::Copy(Source& stored, uint64_t length, std::optional<int32_t> storedSize)
{
    Impl& s = *impl_;
    if (!s.CheckSlot("Copy")) return false;
    if (length > INT32_MAX && !storedSize)
        return s.Fail(s.Entry(s.slots.size()) + ": too large for the format (an entry holds less than 2 GiB)");
    if (!s.Drain()) return false;
    const size_t i = s.NewSlot();
    s.slots[i].offset = s.end;
    uint64_t copied = 0;
    if (!s.CopyFrom(stored, length, &copied)) return false;
    s.slots[i].stored = s.slots[i].content = copied;
    s.SetTable(i, copied, storedSize);
    s.pending[i] = Impl::Pending();
    s.oldest = i + 1;
    return true;
}

bool ArchiveWriter::Content(const Store& how, std::unique_ptr<Source> content)
{
    Impl& s = *impl_;
    if (!s.CheckSlot("Content")) return false;
    if (!content) return s.Fail("Content without a source");
    Source& source = *content;
    if (!s.StartContent(how, std::move(content))) return false;
    s.feeding = true;
    uint8_t* piece = s.Piece();
    for (;;) {
        size_t got = 0;
        if (!source.Read(piece, kPiece, &got)) return s.Fail(source.Error());
        if (got == 0) break;
        // Taken in by the encoder, or written, before the piece is used again.
        if (!s.FeedContent(piece, got)) return false;
    }
    s.feeding = false;
    return s.EndContentSlot();
}

bool ArchiveWriter::BeginContent(const Store& how)
{
    Impl& s = *impl_;
    if (!s.CheckSlot("BeginContent")) return false;
    Store fed = how;
    fed.plainIfLarger = false;  // fed content cannot be read again
    if (!s.StartContent(fed, nullptr)) return false;
    s.feeding = true;
    return true;
}

bool ArchiveWriter::Feed(const uint8_t* data, size_t size)
{
    Impl& s = *impl_;
    if (s.phase == Impl::kFailed) return false;
    if (!s.feeding) return s.Fail("Feed without BeginContent");
    return s.FeedContent(data, size);
}

bool ArchiveWriter::EndContent()
{
    Impl& s = *impl_;
    if (s.phase == Impl::kFailed) return false;
    if (!s.feeding) return s.Fail("EndContent without BeginContent");
    s.feeding = false;
    return s.EndContentSlot();
}

bool ArchiveWriter::Suffix(Source& source)
{
    Impl& s = *impl_;
    if (s.phase == Impl::kFailed) return false;
    if (s.phase == Impl::kSlots) {
        if (s.feeding) return s.Fail("Suffix inside a slot");
        if (s.slots.size() != s.slotCount) return s.Fail("Suffix before the last slot");
        if (!s.Drain()) return false;
        s.phase = Impl::kSuffix;
    }
    if (s.phase != Impl::kSuffix) return s.Fail("Suffix out of order");
    uint64_t copied = 0;
    return s.CopyFrom(source, {}, &copied);
}

bool ArchiveWriter::Suffix(const uint8_t* data, size_t size)
{
    MemorySource source(data, size);
    return Suffix(source);
}

bool ArchiveWriter::Finish()
{
    Impl& s = *impl_;
    if (s.phase == Impl::kFailed) return false;
    if (s.phase == Impl::kSlots) {
        if (s.feeding) return s.Fail("Finish inside a slot");
        if (s.slots.size() != s.slotCount)
            return s.Fail("Finish after " + std::to_string(s.slots.size()) + " of " + std::to_string(s.slotCount) +
                          " slots");
        if (!s.Drain()) return false;
        s.phase = Impl::kSuffix;
    }
    if (s.phase != Impl::kSuffix) return s.Fail("Finish out of order");
    if (!s.sink.Rewrite(s.tableAt, s.table.data(), s.table.size())) return s.WriteFailed();
    s.phase = Impl::kDone;
    return true;
}

const std::string& ArchiveWriter::Error() const { return impl_->error; }
const std::vector<SlotWritten>& ArchiveWriter::Slots() const { return impl_->slots; }
uint64_t ArchiveWriter::Size() const { return impl_->end; }

}  // namespace writer
