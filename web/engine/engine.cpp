// The module's entry points for the page's worker (web/page/worker.js): a
// host of the archive calls, as the plug-in's exports are for a Windows
// host. It keeps the one PluginState of the page, the last listing's block
// and what its entries lack; the calls themselves do the work, over the
// browser's side of the seam (platform_web.cpp).
#include <emscripten.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "archive/names.h"
#include "calls/calls.h"
#include "calls/damage.h"
#include "calls/words.h"
#include "calls/platform_native.h"


namespace {

// The path under which the worker hands the seam the archive's File.
char ARCHIVE_PATH[] = "archive";

PluginState state;
HostBlock listing;        // the last listing's records
const EntryInfo* records;  // locked
int32_t listed;           // records before the zeroed one
SlotReport* damage;       // one per record, filled by MorquentCheck

void DropListing()
{
    if (listing) {
        HostUnlock(listing);
        HostFree(listing);
    }
    free(damage);
    listing = nullptr;
    records = nullptr;
    damage = nullptr;
    listed = 0;
}

// The path a Windows host would hand the probe: the file name after a '\',
// so that the base name comes out as under a host.
std::string ProbePath(const char* fileName) { return std::string(".\\") + fileName; }

bool Listed(int32_t i) { return i >= 0 && i < listed; }

}  // namespace

extern "C" {

// IsSupported as a host calls it: the file's first PROBE_SIZE bytes from
// `offset` (zero past its end). 1 when taken, 0 when refused, -1 when the
// worker holds no file.
EMSCRIPTEN_KEEPALIVE int MorquentProbe(const char* fileName, double offset)
{
    int64_t length = 0;
    PlatformFile* file = FileOpenRead(ARCHIVE_PATH, &length);
    if (!file) return -1;
    uint8_t bytes[PROBE_SIZE];
    FileReadAt(file, (int64_t)offset, bytes, PROBE_SIZE);
    FileClose(file);
    return ProbeArchive(&state, ProbePath(fileName).c_str(), bytes, PROBE_SIZE);
}

// 1 for the names the plug-in leaves to other plug-ins (*.BMP, *.WAV, *.PNG).
EMSCRIPTEN_KEEPALIVE int MorquentLeavesName(const char* fileName)
{
    return HasMediaExtension(ProbePath(fileName).c_str()) ? 1 : 0;
}

// GetArchiveInfo in the settings given; the result code. The records stay
// until the next listing.
EMSCRIPTEN_KEEPALIVE int MorquentList(int numbering, int fullScan, double offset)
{
    DropListing();
    state.settings.NumberingMode = (EntryNumbering)numbering;
    state.settings.CheckMode = fullScan ? 1 : 0;
    HostBlock block = nullptr;
    int result = ListArchive(&state, ARCHIVE_PATH, (int64_t)offset, 0, &block);
    if (result != RESULT_OK) return result;
    listing = block;
    records = (const EntryInfo*)HostLock(block);
    if (!records) {
        DropListing();
        return RESULT_NO_MEMORY;
    }
    // A host reads records up to the zeroed one; the block's size bounds it too.
    size_t capacity = NativeHostBlockSize(block) / sizeof(EntryInfo);
    while ((size_t)listed < capacity && records[listed].method[0]) listed++;
    damage = (SlotReport*)calloc((size_t)listed + 1, sizeof(SlotReport));
    if (!damage) {
        DropListing();
        return RESULT_NO_MEMORY;
    }
    return RESULT_OK;
}

EMSCRIPTEN_KEEPALIVE int MorquentCount() { return listed; }
EMSCRIPTEN_KEEPALIVE int MorquentLayout() { return state.memory.entryLayout; }
// The names and words qordat uses too (calls/words.h).
EMSCRIPTEN_KEEPALIVE const char* MorquentLayoutName() { return LayoutName(state.memory.entryLayout); }
EMSCRIPTEN_KEEPALIVE const char* MorquentResultMeaning(int code) { return ResultMeaning(code); }

// The fields of record `i` of the last listing.
EMSCRIPTEN_KEEPALIVE const char* MorquentName(int i)
{
    static char name[sizeof records->fileName + 1];
    name[0] = 0;
    if (Listed(i)) {
        memcpy(name, records[i].fileName, sizeof records[i].fileName);
        name[sizeof records[i].fileName] = 0;
    }
    return name;
}
EMSCRIPTEN_KEEPALIVE double MorquentPosition(int i) { return Listed(i) ? (double)records[i].position : -1; }
EMSCRIPTEN_KEEPALIVE double MorquentStored(int i) { return Listed(i) ? (double)records[i].compressedSize : 0; }
EMSCRIPTEN_KEEPALIVE double MorquentSize(int i) { return Listed(i) ? (double)records[i].fileSize : 0; }

// What records [first, first + count) lack, for MorquentMissing and the rest.
EMSCRIPTEN_KEEPALIVE int MorquentCheck(int first, int count, double offset)
{
    if (!records || first < 0 || count < 0 || first > listed) return RESULT_NOT_ARCHIVE;
    if (count > listed - first) count = listed - first;
    return CheckEntriesDamage(&state, ARCHIVE_PATH, (int64_t)offset, records + first, count, damage + first);
}
// Content bytes lost, stored bytes missing, whether the content is a stream,
// and what the entry lacks in the words qordat uses ("" when whole).
EMSCRIPTEN_KEEPALIVE double MorquentMissing(int i) { return Listed(i) ? (double)damage[i].contentMissing : 0; }
EMSCRIPTEN_KEEPALIVE double MorquentStoredMissing(int i) { return Listed(i) ? (double)damage[i].place.storedMissing : 0; }
EMSCRIPTEN_KEEPALIVE int MorquentCompressed(int i) { return Listed(i) && damage[i].payload.compressed ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE int MorquentDamaged(int i) { return Listed(i) && damage[i].lack != SLOT_WHOLE ? 1 : 0; }
EMSCRIPTEN_KEEPALIVE const char* MorquentLack(int i)
{
    static char text[160];
    text[0] = 0;
    if (Listed(i)) DescribeSlotLack(&damage[i], text, sizeof text);
    return text;
}

// GetFile to the seam's output: the entry at `position` goes out in pieces
// under the name the extraction gives it. The result code.
EMSCRIPTEN_KEEPALIVE int MorquentExtract(double position, double offset)
{
    static char noDirectory[] = "";
    return ExtractEntry(&state, ARCHIVE_PATH, (int64_t)offset, (int64_t)position, noDirectory, OUTPUT_DISK << 8);
}

}  // extern "C"

// ---- Slot by slot, and where plain content lies in the file ----
//
// A listing fails as a whole when one entry's record cannot be built (an
// archive cut short, as a download that stopped). Then the page lists slot
// by slot, as qordat's extract and test do: each slot's record is looked up
// by the name the listing would give it (GetFileInfo), and the slots whose
// record cannot be built keep their result and what the file lacks of them.

#include <stdio.h>

#include "archive/bytes.h"
#include "archive/table.h"
#include "calls/walk.h"

namespace {

int* slotResults;        // per record of a slot-by-slot listing; null otherwise
double* slotMissing;     // stored bytes of such a slot past the end of the file
double* contentStarts;   // per record, filled by MorquentLocate
int32_t contentCapacity;

}  // namespace

extern "C" {

// The slots of the archive at `offset` in the settings given, each looked up
// on its own (after MorquentList failed, which left the layout). The result
// code; the records stay until the next listing, as MorquentList's do. What
// the file lacks of a slot without a record is in its damage report.
EMSCRIPTEN_KEEPALIVE int MorquentListSlots(int numbering, int fullScan, double offset)
{
    DropListing();
    free(slotResults);
    free(slotMissing);
    slotResults = nullptr;
    slotMissing = nullptr;
    if (numbering < 0 || numbering > 2) return RESULT_NOT_ARCHIVE;
    state.settings.NumberingMode = (EntryNumbering)numbering;
    state.settings.CheckMode = fullScan ? 1 : 0;
    ArchiveReader reader;
    int result = OpenArchiveReader(&reader, ARCHIVE_PATH, (int64_t)offset);
    if (result != RESULT_OK) return result;

    TableWalk walk;
    SlotPlace place;
    int32_t count = 0;
    for (ArchiveWalkStart(&reader.archive, &walk); TableWalkNext(&walk, &place);)
        count += numbering == NUMBERING_WITH_DUMMIES || place.storedSize != 0;
    listing = HostAlloc(((size_t)count + 1) * sizeof(EntryInfo));
    EntryInfo* made = listing ? (EntryInfo*)HostLock(listing) : nullptr;
    slotResults = (int*)calloc((size_t)count + 1, sizeof(int));
    slotMissing = (double*)calloc((size_t)count + 1, sizeof(double));
    damage = (SlotReport*)calloc((size_t)count + 1, sizeof(SlotReport));
    if (!made || !slotResults || !slotMissing || !damage) {
        CloseArchiveReader(&reader);
        DropListing();
        return RESULT_NO_MEMORY;
    }
    memset(made, 0, ((size_t)count + 1) * sizeof(EntryInfo));
    records = made;

    int32_t at = 0;
    const SlotSink measure = {NULL, 0, NULL, NULL, false};
    for (ArchiveWalkStart(&reader.archive, &walk); TableWalkNext(&walk, &place);) {
        if (numbering != NUMBERING_WITH_DUMMIES && place.storedSize == 0) continue;
        char name[32];
        snprintf(name, sizeof name, "%c%03d.DAT", NUMBERING_SEPARATORS[numbering],
                 (int)SlotNumber(&place, state.settings.NumberingMode));
        EntryInfo* info = &made[at];
        slotResults[at] = FindEntry(&state, ARCHIVE_PATH, (int64_t)offset, name, 0, info);
        if (slotResults[at] != RESULT_OK) {
            memset(info, 0, sizeof *info);
            info->position = (EntryWord)EntryPosition(place.index, state.settings.NumberingMode);
            info->compressedSize = place.storedSize > 0 ? (uint32_t)place.storedSize : 0;
            slotMissing[at] = (double)place.storedMissing;
            WalkSlot(&reader.reader, &place, state.memory.entryLayout, 0, &measure, &damage[at]);
        }
        at++;
    }
    CloseArchiveReader(&reader);
    listed = count;
    return RESULT_OK;
}

// Right after MorquentListSlots (the worker asks nothing else in between):
// record i's lookup result, and the stored bytes of a failed slot the file lacks.
EMSCRIPTEN_KEEPALIVE int MorquentSlotResult(int i) { return slotResults && Listed(i) ? slotResults[i] : 0; }
EMSCRIPTEN_KEEPALIVE double MorquentSlotMissing(int i) { return slotMissing && Listed(i) ? slotMissing[i] : 0; }

// Where the content of each record lies in the file, byte for byte, when it
// is stored plain and the file holds all of it: the page then saves a slice
// of the File instead of running the extraction. Fills the answers of
// MorquentContentStart for every record; the result code.
EMSCRIPTEN_KEEPALIVE int MorquentLocate(double offset)
{
    if (!records) return RESULT_NOT_ARCHIVE;
    if (contentCapacity < listed + 1) {
        double* grown = (double*)realloc(contentStarts, ((size_t)listed + 1) * sizeof(double));
        if (!grown) return RESULT_NO_MEMORY;
        contentStarts = grown;
        contentCapacity = listed + 1;
    }
    for (int32_t i = 0; i < listed; i++) contentStarts[i] = -1;
    ArchiveReader reader;
    int result = OpenArchiveReader(&reader, ARCHIVE_PATH, (int64_t)offset);
    if (result != RESULT_OK) return result;
    // A listing's records are in table order: one walk places them all.
    TableWalk walk;
    SlotPlace place;
    place.index = -1;
    ArchiveWalkStart(&reader.archive, &walk);
    for (int32_t i = 0; i < listed; i++) {
        int64_t index = SlotOfPosition((int64_t)records[i].position);
        if (index >= reader.archive.count) continue;
        TableWalkTo(&walk, &place, (int32_t)index);
        uint32_t size = records[i].fileSize;
        if (place.offset < 0 || place.storedSize <= 0 || size == 0 || !records[i].method[0]) continue;
        uint32_t got = 0;
        const uint8_t* kindBytes = ReadHead(&reader.reader, place.offset, 2, &got);
        if (!kindBytes || reader.reader.readFailed) continue;
        SlotPayload payload =
            SlotPayloadOf(state.memory.entryLayout, S16At(kindBytes, got, 0), (uint32_t)place.storedSize);
        // Plain, and every content byte within the stored bytes the file holds.
        if (payload.compressed || (uint64_t)payload.start + size > place.held) continue;
        contentStarts[i] = (double)(offset + (double)place.offset + payload.start);
    }
    CloseArchiveReader(&reader);
    return RESULT_OK;
}
EMSCRIPTEN_KEEPALIVE double MorquentContentStart(int i) { return contentStarts && Listed(i) ? contentStarts[i] : -1; }

}  // extern "C"

// ---- Saving an edited archive ----
//
// The page's edits (a slot's content replaced by a file, a slot emptied,
// slots added at the end) written as a new archive through the one archive
// writer, as qordat replace writes one: every slot not edited copied as it
// is stored, a replaced slot stored as its slot was (its head, its kind,
// compressed if it was, its declared size following the new content unless
// it said another), the bytes before and after the archive kept.
//
// Copied bytes never pass through the module: a copied range's source
// delivers no bytes but says which bytes of the File it stands for, and the
// sink, handed that very piece, passes the range to the worker, which makes
// it a slice of the File in the Blob it builds. Only the new bytes (the
// table, the heads, the new content and its streams) come out of the heap,
// piece by piece; the heap holds the writer's pieces and the encoder's
// blocks, whatever the archive and the edit.

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "archive/container.h"
#include "calls/platform.h"
#include "writer/archive_writer.h"

// The worker's side (web/page/worker.js, self.morquentIo.save).
EM_JS(int, WebSaveWrite, (const uint8_t* bytes, uint32_t length), {
    return self.morquentIo.save.write(HEAPU8.subarray(bytes, bytes + (length >>> 0))) ? 1 : 0;
});
EM_JS(int, WebSaveCopy, (double start, double length), { return self.morquentIo.save.copy(start, length) ? 1 : 0; });
EM_JS(int, WebSaveRewrite, (double at, const uint8_t* bytes, uint32_t length), {
    return self.morquentIo.save.rewrite(at, HEAPU8.subarray(bytes, bytes + (length >>> 0))) ? 1 : 0;
});
EM_JS(int, WebSaveCut, (double length), { return self.morquentIo.save.cut(length) ? 1 : 0; });
// Edit file k's name, at most `size` bytes with the NUL, into `out`.
EM_JS(void, WebEditName, (int k, char* out, int size), {
    stringToUTF8(self.morquentIo.save.editName(k), out, size);
});

namespace {

// What a slot of the saved archive is, as the page gives it: the slot as it
// is stored, emptied, or the content of edit file k (k >= 0).
enum { SAVE_KEEP = -1, SAVE_EMPTY = -2 };

std::string saveError;

std::string EditName(int k)
{
    char name[512];
    name[0] = 0;
    WebEditName(k, name, sizeof name);
    return name;
}

// Where the writer's bytes go: to the worker. A copied range's piece (see
// RangeSource) goes as the range of the File it stands for.
class PageSink : public writer::Sink {
public:
    // The next Write of exactly `size` bytes at `data` stands for the File's
    // bytes from `start`.
    void Expect(const uint8_t* data, size_t size, double start)
    {
        expected_ = data;
        expectedSize_ = size;
        expectedStart_ = start;
    }
    bool Write(const uint8_t* data, size_t size) override
    {
        if (expected_) {
            const bool same = data == expected_ && size == expectedSize_;
            expected_ = nullptr;
            if (!same) return Fail("a copied range was not written as it was read");
            return WebSaveCopy(expectedStart_, (double)size) || Fail("the page refused the bytes");
        }
        return WebSaveWrite(data, (uint32_t)size) || Fail("the page refused the bytes");
    }
    bool Rewrite(uint64_t at, const uint8_t* data, size_t size) override
    {
        return WebSaveRewrite((double)at, data, (uint32_t)size) || Fail("the page refused the bytes");
    }
    bool Cut(uint64_t length) override { return WebSaveCut((double)length) || Fail("the page refused the bytes"); }
    std::string Error() const override { return error_; }

private:
    bool Fail(const char* why)
    {
        error_ = why;
        return false;
    }
    const uint8_t* expected_ = nullptr;
    size_t expectedSize_ = 0;
    double expectedStart_ = 0;
    std::string error_;
};

// `length` bytes of the File from `start`, copied as they are, without
// being read: each piece the writer asks for is left as it is and announced
// to the sink, which the writer hands that very piece next.
class RangeSource : public writer::Source {
public:
    RangeSource(PageSink& sink, double start, uint64_t length) : sink_(sink), start_(start), length_(length) {}
    bool Read(uint8_t* data, size_t size, size_t* got) override
    {
        *got = (size_t)std::min<uint64_t>(size, length_ - done_);
        if (*got) sink_.Expect(data, *got, start_ + (double)done_);
        done_ += *got;
        return true;
    }
    std::string Error() const override { return ""; }

private:
    PageSink& sink_;
    double start_;
    uint64_t length_, done_ = 0;
};

// Edit file k, `size` bytes, read through the seam (the worker holds it
// under the path "edit-k"), in the pieces the writer asks for. A file that
// is not the size it was when chosen, or that the browser no longer reads,
// fails: nothing is stored from a file that changed.
class EditSource : public writer::Source {
public:
    EditSource(int k, uint64_t size) : k_(k), size_(size) {}
    ~EditSource() override
    {
        if (file_) FileClose(file_);
    }
    bool Read(uint8_t* data, size_t size, size_t* got) override
    {
        *got = 0;
        if (!file_) {
            int64_t length = 0;
            const std::string path = "edit-" + std::to_string(k_);
            file_ = FileOpenRead(path.c_str(), &length);
            if (!file_ || (uint64_t)length != size_) return Unreadable();
        }
        const uint32_t want = (uint32_t)std::min<uint64_t>(std::min<size_t>(size, 1u << 30), size_ - at_);
        if (want == 0) return true;
        if (FileReadAt(file_, (int64_t)at_, data, want) != want) return Unreadable();
        at_ += want;
        *got = want;
        return true;
    }
    bool Rewind() override
    {
        at_ = 0;
        return true;
    }
    std::string Error() const override { return error_; }

private:
    bool Unreadable()
    {
        error_ = EditName(k_) + ": the file can no longer be read (it was changed, moved or removed since it was "
                                "chosen)";
        return false;
    }
    int k_;
    uint64_t size_, at_ = 0;
    PlatformFile* file_ = nullptr;
    std::string error_;
};

const uint64_t kFormatMax = INT32_MAX;  // a slot's stored size and its content's size are signed 32-bit

bool Refuse(const std::string& why)
{
    saveError = why;
    return false;
}

// How each edited slot of the archive open in `reader` is stored: new slots
// as plain entries under the archive's heads, replaced ones as their slot
// was. False, with saveError, when the archive or an edit cannot be saved.
bool PlanSave(ArchiveReader& reader, const int32_t* actions, int total, const double* sizes,
              std::vector<writer::Store>& stores, std::vector<SlotPlace>& places)
{
    const int32_t count = reader.archive.count;
    const EntryLayout layout = state.memory.entryLayout;
    const uint32_t head = LayoutHeadSize(layout);
    if (total < count) return Refuse("the edits leave out slots of the archive");
    if (total > MAX_ENTRY_COUNT)
        return Refuse("the archive would hold " + std::to_string(total) + " slots: the format holds " +
                      std::to_string((int)MAX_ENTRY_COUNT) + " at most");
    // The archive must be whole: a copy of a damaged one would carry its
    // damage under a new date.
    if (TableSizesMissing(count, reader.archive.fileLength - reader.archive.base) != 0)
        return Refuse("the archive is damaged (the file ends inside its size table); only whole archives are saved");
    TableWalk walk;
    SlotPlace place;
    for (ArchiveWalkStart(&reader.archive, &walk); TableWalkNext(&walk, &place);) {
        if (place.offset < 0 || place.storedMissing)
            return Refuse("the archive is damaged (the file ends before its last slot, or its table holds a "
                          "negative size); only whole archives are saved");
        places.push_back(place);
    }
    stores.assign((size_t)total, writer::Store());
    for (int i = 0; i < total; i++) {
        const int32_t k = actions[i];
        if (i >= count && k == SAVE_KEEP) return Refuse("an added slot is neither new content nor empty");
        if (k < 0) continue;
        // Stored as its slot was; an added slot plain under the archive's heads.
        const int32_t stored = i < count ? places[(size_t)i].storedSize : 0;
        int16_t kind = 0;
        std::optional<int32_t> declared;
        std::optional<uint64_t> listedSize;
        if (stored > 0 && (uint32_t)stored >= head && layout != LAYOUT_RAW) {
            uint32_t got = 0;
            const uint8_t* bytes = ReadHead(&reader.reader, places[(size_t)i].offset, head, &got);
            if (!bytes || reader.reader.readFailed || got < head)
                return Refuse("the archive can no longer be read");
            kind = S16At(bytes, got, 0);
            declared = S32At(bytes, got, 2);
            for (int32_t r = 0; r < listed; r++)
                if (SlotOfPosition((int64_t)records[r].position) == i) listedSize = records[r].fileSize;
        }
        writer::Store& how = stores[(size_t)i] = writer::StoreAsSlotWas(
            (writer::Layout)layout, kind, stored > 0 ? (uint32_t)stored : 0, declared, listedSize, EditName(k));
        const double size = sizes[k];
        if (size < 0 || size > (double)kFormatMax || (!how.compress && size + head > (double)kFormatMax))
            return Refuse(how.name + ": " + std::to_string((uint64_t)size) +
                          " bytes, too large for the format (an entry holds less than 2 GiB)");
    }
    return true;
}

}  // namespace

extern "C" {

// Writes the archive at `offset` of the File, edited, to the worker's save
// sink: `actions` holds one value per slot of the new archive (SAVE_KEEP,
// SAVE_EMPTY, or k: the content of the File the worker holds under the path
// "edit-k", `sizes[k]` bytes); slots past
// the archive's count are added. The listing of the archive (in any
// numbering) must be the last one made: its layout is the heads', and its
// records say which declared sizes differ from the content's. 0 when the
// archive is written; else MorquentSaveError() says why, and nothing the
// sink took is to be kept.
EMSCRIPTEN_KEEPALIVE int MorquentSave(double offset, const int32_t* actions, int total, const double* sizes)
{
    saveError.clear();
    ArchiveReader reader;
    const int opened = OpenArchiveReader(&reader, ARCHIVE_PATH, (int64_t)offset);
    if (opened != RESULT_OK) {
        saveError = std::string("the archive cannot be read (") + ResultMeaning(opened) + ")";
        return 1;
    }
    std::vector<writer::Store> stores;
    std::vector<SlotPlace> places;
    const bool planned = PlanSave(reader, actions, total, sizes, stores, places);
    const int64_t fileLength = reader.archive.fileLength;
    // The bytes after the archive begin where its slots end (a whole
    // archive's: PlanSave refuses the others).
    const uint64_t dataEnd = (uint64_t)ArchiveEntriesEnd(&reader.archive);
    CloseArchiveReader(&reader);
    if (!planned) return 1;

    PageSink sink;
    LzssOptions lzss;
    lzss.level = LzssLevel::Normal;  // qordat replace's
    lzss.threads = 1;
    writer::ArchiveWriter w(sink, lzss);
    const double base = offset;
    bool ok = true;
    if (base > 0) {
        RangeSource prefix(sink, 0, (uint64_t)base);
        ok = w.Prefix(prefix);
    }
    // The bytes after the archive begin where its last non-empty slot ends.
    ok = ok && w.Begin((size_t)total);
    for (int i = 0; ok && i < total; i++) {
        const int32_t k = actions[i];
        if (k >= 0) {
            ok = w.Content(stores[(size_t)i], std::make_unique<EditSource>(k, (uint64_t)sizes[k]));
        } else if (k == SAVE_EMPTY || places[(size_t)i].storedSize == 0) {
            ok = w.Empty();
        } else {
            const SlotPlace& place = places[(size_t)i];
            RangeSource copy(sink, base + (double)place.offset, (uint32_t)place.storedSize);
            ok = w.Copy(copy, (uint32_t)place.storedSize);
        }
    }
    const double after = base + (double)dataEnd;
    if (ok && after < (double)fileLength) {
        RangeSource suffix(sink, after, (uint64_t)((double)fileLength - after));
        ok = w.Suffix(suffix);
    }
    ok = ok && w.Finish();
    if (!ok) {
        saveError = w.Error();
        return 2;
    }
    return 0;
}

EMSCRIPTEN_KEEPALIVE const char* MorquentSaveError() { return saveError.c_str(); }

// The format's bounds, for the page to refuse an edit when it is made: the
// most slots an archive holds, and the most content a slot stored plain
// under the archive's heads holds (a compressed one: its stream must fit).
EMSCRIPTEN_KEEPALIVE int MorquentMaxSlots() { return MAX_ENTRY_COUNT; }
EMSCRIPTEN_KEEPALIVE double MorquentMaxPlain() { return (double)(kFormatMax - LayoutHeadSize(state.memory.entryLayout)); }
EMSCRIPTEN_KEEPALIVE double MorquentMaxCompressed() { return (double)kFormatMax; }

// The slots of the archive at `offset` (its count field), every empty one
// included; -1 when it cannot be read as an archive.
EMSCRIPTEN_KEEPALIVE int MorquentSlotCount(double offset)
{
    ArchiveReader reader;
    if (OpenArchiveReader(&reader, ARCHIVE_PATH, (int64_t)offset) != RESULT_OK) return -1;
    const int32_t count = reader.archive.count;
    CloseArchiveReader(&reader);
    return count;
}

}  // extern "C"
