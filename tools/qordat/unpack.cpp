// qordat unpack: every non-empty slot's content, read by qordat's own
// reader under the layout given (for archives the plug-in refuses or whose
// layout it guesses wrong), each slot read, expanded and written in pieces.
//
// Its rule, simpler than a host's: kinds 0 and 8 are plain, kind 1 an LZSS
// stream, under both head layouts; other kinds are skipped. Under kind-size
// a declared size shorter than what the payload gives cuts the content.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "archive/bytes.h"
#include "archive/lzss.h"
#include "archive/state.h"
#include "tools/qordat/common.h"
#include "tools/qordat/input.h"
#include "tools/qordat/pending.h"

namespace qordat {
namespace {

constexpr size_t kPiece = 64 * 1024;
constexpr uint32_t kHistory = LZSS_RING_SIZE, kChunk = 64 * 1024;

// Writes the slot's payload (`held` of its bytes from `begin`, the rest past
// the end of the file) to `out`: copied, or expanded, at most `limit`
// content bytes. Returns "" or what failed; *produced the content written.
std::string WritePayload(InputFile& file, uint64_t begin, uint64_t held, bool compressed, uint64_t limit,
                         FILE* out, uint64_t* produced)
{
    std::vector<uint8_t> piece(kPiece), window(kHistory + kChunk);
    LzssDecoder decoder;
    LzssDecoderStart(&decoder);
    uint32_t pos = 0, unwritten = 0;
    *produced = 0;
    for (uint64_t at = 0; at < held && *produced < limit;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, held - at));
        size_t got = 0;
        if (!file.ReadAt(begin + at, piece.data(), n, &got) || got < n) return "cannot read: " + SystemError();
        at += n;
        if (!compressed) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n, limit - *produced));
            if (std::fwrite(piece.data(), 1, take, out) != take) return "cannot write: " + SystemError();
            *produced += take;
            continue;
        }
        for (uint32_t used = 0; used < n || decoder.copyLeft;) {
            const uint64_t room = std::min<uint64_t>(window.size(), pos + (limit - *produced));
            uint32_t length = static_cast<uint32_t>(n) - used;
            const uint32_t before = pos;
            const LzssStatus status = LzssDecodeSome(&decoder, piece.data() + used, &length, window.data(), &pos,
                                                     static_cast<uint32_t>(room));
            used += length;
            *produced += pos - before;
            if (status != LZSS_OUTPUT_FULL) break;
            if (std::fwrite(window.data() + unwritten, 1, pos - unwritten, out) != pos - unwritten)
                return "cannot write: " + SystemError();
            if (*produced >= limit) {
                unwritten = pos;
                break;
            }
            std::memmove(window.data(), window.data() + pos - kHistory, kHistory);
            pos = unwritten = kHistory;
        }
    }
    if (compressed && pos > unwritten && std::fwrite(window.data() + unwritten, 1, pos - unwritten, out) != pos - unwritten)
        return "cannot write: " + SystemError();
    return "";
}

}  // namespace

int CommandUnpack(int argc, char** argv)
{
    enum { kOffset = 1, kLayout, kOutput };
    std::string path, outDir;
    uint64_t base = 0;
    int32_t layout = -1;
    const int parsed = ParseCommandLine(
        argc, argv, {{"offset", 0, true, kOffset}, {"layout", 0, true, kLayout}, {"output", 'o', true, kOutput}},
        [&](int id, const char* value) {
            int64_t n;
            if (id == kOffset) {
                if (!ParseNumber(value, 0, kMaxOffset, n)) return Usage("--offset takes a byte count");
                base = static_cast<uint64_t>(n);
            } else if (id == kLayout) {
                if (!ParseLayout(value, layout)) return Usage("--layout takes raw, kind-size or kind-only");
            } else {
                if (!*value) return Usage("-o takes a folder");
                outDir = value;
            }
            return 0;
        },
        [&](const char* argument) {
            if (!path.empty()) return Usage("only one archive at a time");
            path = argument;
            return 0;
        });
    if (parsed) return parsed == kHelped ? kExitOk : parsed;
    if (path.empty()) return Usage("no archive given");
    if (layout < 0) return Usage("unpack needs --layout");
    if (outDir.empty()) return Usage("unpack needs -o DIR");
    InputFile file;
    if (!file.Open(path)) return Fail("cannot read " + path + ": " + SystemError());
    if (base > file.Length())
        return Fail(path + ": --offset " + std::to_string(base) + " lies past the end of the file (" +
                    Bytes(file.Length()) + ")");
    const SizeTable t = ReadSizeTable(file, base);
    if (t.readFailed) return Fail("cannot read " + path + ": " + SystemError());
    if (!t.countValid) return Fail(path + " is not a QOR's DAT archive (no valid count)");

    std::error_code error;
    std::filesystem::create_directories(outDir, error);
    if (error) return Fail("cannot create " + outDir + ": " + error.message());

    const uint64_t length = file.Length() - base;
    const uint32_t head = layout == LAYOUT_RAW ? 0 : layout == LAYOUT_KIND_SIZE ? 6 : 2;
    int problems = 0;
    auto report = [&](size_t slot, const std::string& what) {
        std::fprintf(stderr, "qordat: slot %zu: %s\n", slot, what.c_str());
        problems++;
    };
    for (size_t i = 0; i < t.stored.size(); i++) {
        const int32_t stored = t.stored[i];
        if (stored == 0) continue;
        if (stored < 0 || t.offsets[i] < 0) {
            report(i, "negative size, stopping");
            break;
        }
        const uint64_t at = static_cast<uint64_t>(t.offsets[i]);
        if (at + head > length) {
            report(i, "the file ends before the entry's payload");
            continue;
        }
        const uint64_t inFile = length - at;
        const uint64_t held = std::min<uint64_t>(static_cast<uint32_t>(stored), inFile);
        uint8_t fields[6] = {};
        size_t got = 0;
        if (!file.ReadAt(base + at, fields, head, &got)) return Fail("cannot read " + path + ": " + SystemError());
        const int kind = head == 0 ? 0 : S16At(fields, got, 0);
        const int32_t declared = head == 6 ? S32At(fields, got, 2) : -1;
        if (held < static_cast<uint32_t>(stored)) report(i, "the file ends inside the entry");
        if (kind != 0 && kind != 1 && kind != 8) {
            report(i, "unknown kind " + std::to_string(kind) + ", skipped");
            continue;
        }
        uint64_t limit = UINT32_MAX;
        if (layout == LAYOUT_KIND_SIZE && declared >= 0 && kind != 8) limit = static_cast<uint32_t>(declared);

        char name[32];
        std::snprintf(name, sizeof name, "%03zu.bin", i);
        const std::string outPath = (std::filesystem::path(outDir) / name).string();
        PendingFile out;
        if (!out.Open(outPath)) return Fail("cannot write " + outPath + ": " + SystemError());
        uint64_t produced = 0;
        const std::string failed =
            WritePayload(file, base + at + head, held - head, kind == 1, limit, out.Stream(), &produced);
        if (!failed.empty()) return Fail(outPath + ": " + failed);
        if (kind == 1 && layout == LAYOUT_KIND_SIZE && (declared < 0 || static_cast<uint64_t>(declared) > produced))
            report(i, "declared size " + std::to_string(declared) + ", stream holds " + std::to_string(produced));
        if (!out.Commit()) return Fail("cannot write " + outPath + ": " + SystemError());
    }
    if (t.Cut()) report(t.stored.size(), "the file ends inside the size table");
    return problems ? kExitFailed : kExitOk;
}

}  // namespace qordat
