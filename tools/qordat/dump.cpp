// qordat dump: the count, the size table and each entry's first bytes, raw,
// read in pieces whatever the file's size.
#include <cinttypes>
#include <cstdio>

#include "archive/bytes.h"
#include "archive/table.h"
#include "tools/qordat/input.h"
#include "tools/qordat/common.h"

namespace qordat {

int CommandDump(int argc, char** argv)
{
    enum { kOffset = 1 };
    std::string path;
    uint64_t base = 0;
    const int parsed = ParseCommandLine(
        argc, argv, {{"offset", 0, true, kOffset}},
        [&](int, const char* value) {
            int64_t n;
            if (!ParseNumber(value, 0, kMaxOffset, n)) return Usage("--offset takes a byte count");
            base = static_cast<uint64_t>(n);
            return 0;
        },
        [&](const char* argument) {
            if (!path.empty()) return Usage("only one archive at a time");
            path = argument;
            return 0;
        });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (path.empty()) return Usage("no archive given");
    InputFile file;
    if (!file.Open(path)) return Fail("cannot read " + path + ": " + SystemError());
    if (base > file.Length())
        return Fail(path + ": --offset " + std::to_string(base) + " lies past the end of the file (" +
                    Bytes(file.Length()) + ")");
    const RawTable t = ReadRawTable(file, base);
    if (t.readFailed) return Fail("cannot read " + path + ": " + SystemError());
    const uint64_t length = file.Length() - base;  // from the count field on

    std::printf("file:     %s, %s; archive at file offset %" PRIu64 " (offsets below count from there)\n",
                path.c_str(), Bytes(file.Length()).c_str(), base);
    if (!t.hasCount) {
        std::printf("count:    none (only %s)\n", Bytes(length).c_str());
        return Fail(path + ": not a QOR's DAT archive (no count)");
    }
    std::printf("count:    %" PRId32 " (0x%08" PRIX32 ")%s\n", t.rawCount, static_cast<uint32_t>(t.rawCount),
                t.countValid ? "" : "  INVALID: not 1 to 8191 in its encoded form; no table shown");
    if (!t.countValid) return Fail(path + ": not a QOR's DAT archive (no valid count)");
    std::printf("table:    %" PRId32 " slots at 4..%" PRIu64 "\n", t.rawCount, 3 + 4 * static_cast<uint64_t>(t.rawCount));
    std::printf("%6s %12s %12s %8s %12s  %s\n", "slot", "stored", "offset", "kind", "declared", "first bytes / notes");
    TableWalk walk;
    TableWalkStart(&walk, t.bytes.data(), t.bytes.size(), t.rawCount, static_cast<int64_t>(length));
    SlotPlace place = {};
    bool negative = false;
    while (TableWalkNext(&walk, &place) && place.sizeInFile) {
        const int32_t stored = place.storedSize;
        std::printf("%6" PRId32 " %12" PRId32, place.index, stored);
        if (stored < 0) negative = true;
        if (place.offset < 0) {
            std::printf(" %12s  %s\n", "?", stored < 0 ? "NEGATIVE size" : "offset unknown after a negative size");
            continue;
        }
        std::printf(" %12" PRId64, place.offset);
        if (stored == 0) {
            std::printf("  empty\n");
            continue;
        }
        // Raw head fields as the plug-in reads them, whatever the layout;
        // "-" where the file ends before the field does.
        uint8_t head[8] = {};
        size_t got = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(8, place.held));
        if (!file.ReadAt(base + static_cast<uint64_t>(place.offset), head, want, &got))
            return Fail("cannot read " + path + ": " + SystemError());
        if (got >= 2) std::printf(" %8d", static_cast<int>(S16At(head, got, 0)));
        else std::printf(" %8s", "-");
        if (got >= 6) std::printf(" %12" PRId32, S32At(head, got, 2));
        else std::printf(" %12s", "-");
        std::printf(" ");
        for (size_t k = 0; k < got; k++) std::printf(" %02x", head[k]);
        if (place.storedMissing) std::printf("  CUT: file ends %" PRIu64 " bytes early", place.storedMissing);
        std::printf("\n");
    }
    if (TableSizesMissing(t.rawCount, static_cast<int64_t>(length))) {
        std::printf("table cut: the file ends inside slot %" PRId32 "\n", place.index);
    } else if (!negative) {
        const int64_t end = walk.offset;  // past the last slot
        const int64_t extra = static_cast<int64_t>(length) - end;
        std::printf("end:      entries end at %" PRId64, end);
        if (extra == 0) std::printf(", the end of the file\n");
        else if (extra > 0) std::printf("; %" PRId64 " more bytes follow in the file\n", extra);
        else std::printf("; the file is %" PRId64 " bytes short\n", -extra);
    }
    return kExitOk;
}

}  // namespace qordat
