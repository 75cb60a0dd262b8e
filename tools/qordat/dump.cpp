// qordat dump: the count, the size table and each entry's first bytes, raw,
// read in pieces whatever the file's size.
#include <cinttypes>
#include <cstdio>

#include "archive/bytes.h"
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
    const SizeTable t = ReadSizeTable(file, base);
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
    for (size_t i = 0; i < t.stored.size(); i++) {
        const int32_t stored = t.stored[i];
        std::printf("%6zu %12" PRId32, i, stored);
        if (t.offsets[i] < 0) {
            std::printf(" %12s  offset unknown after a negative size\n", "?");
            continue;
        }
        std::printf(" %12" PRId64, t.offsets[i]);
        if (stored < 0) {
            std::printf("  NEGATIVE size\n");
            continue;
        }
        if (stored == 0) {
            std::printf("  empty\n");
            continue;
        }
        // Raw head fields as the plug-in reads them, whatever the layout;
        // "-" where the file ends before the field does.
        const uint64_t at = static_cast<uint64_t>(t.offsets[i]);
        uint8_t head[8] = {};
        size_t got = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(8, static_cast<uint32_t>(stored)));
        if (!file.ReadAt(base + at, head, want, &got)) return Fail("cannot read " + path + ": " + SystemError());
        if (at + 2 <= length && got >= 2) std::printf(" %8d", static_cast<int>(S16At(head, got, 0)));
        else std::printf(" %8s", "-");
        if (at + 6 <= length && got >= 6) std::printf(" %12" PRId32, S32At(head, got, 2));
        else std::printf(" %12s", "-");
        std::printf(" ");
        for (size_t k = 0; k < got; k++) std::printf(" %02x", head[k]);
        const uint64_t end = at + static_cast<uint32_t>(stored);
        if (end > length) std::printf("  CUT: file ends %" PRIu64 " bytes early", end - length);
        std::printf("\n");
    }
    if (t.Cut()) {
        std::printf("table cut: the file ends inside slot %zu\n", t.stored.size());
    } else if (t.DataEnd() >= 0) {
        const int64_t extra = static_cast<int64_t>(length) - t.DataEnd();
        std::printf("end:      entries end at %" PRId64, t.DataEnd());
        if (extra == 0) std::printf(", the end of the file\n");
        else if (extra > 0) std::printf("; %" PRId64 " more bytes follow in the file\n", extra);
        else std::printf("; the file is %" PRId64 " bytes short\n", -extra);
    }
    return kExitOk;
}

}  // namespace qordat
