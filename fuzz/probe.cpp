// The probe (ProbeArchive, what IsSupported does once it has the bytes) on a
// path and the first bytes of a file. The bytes and the path are heap blocks
// of exactly their length, so ASan reports any read past them; the answer and
// the base name it remembers are checked against a plain reading of the
// format (a count of 1 to 8191, then no negative size among those that begin
// inside the offered bytes, cut sizes completed with zeros) and of the path
// (media extensions, the file name up to its first dot).
//
// Input:
//   byte 0    how the bytes are offered: 0 the rest as it is (any length,
//             below 4 and not a multiple of 4 included), 1 what a read of
//             2,048 bytes gets, 2 a read cut short at bytes 1-2 (modulo the
//             rest's length + 1), 3 a 2,048-byte block from memory (the rest
//             cut or zero-filled to 2,048)
//   byte 1-2  the cut, for way 2
//   byte 3    the path's length L
//   L bytes   the path (up to its first NUL)
//   the rest  the file's first bytes
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/container.h"
#include "archive/state.h"
#include "calls/calls.h"
#include "fuzz/check.h"

namespace {

bool ExpectedAccepted(const uint8_t* bytes, int32_t length)
{
    if (length < 4) return false;
    const int32_t count = (int32_t)(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (uint32_t)bytes[3] << 24);
    if (count < 1 || count > 8191) return false;
    for (int64_t i = 0; i < count && 4 + 4 * i < length; i++) {
        uint32_t size = 0;
        for (int64_t k = 0; k < 4; k++) {
            const int64_t at = 4 + 4 * i + k;
            if (at < length) size |= (uint32_t)bytes[at] << (8 * k);
        }
        if ((int32_t)size < 0) return false;
    }
    return true;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 32) : c; }

bool ExpectedMedia(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.size() - dot != 4) return false;
    std::string ext;
    for (size_t i = dot + 1; i < path.size(); i++) ext += Upper(path[i]);
    return ext == "BMP" || ext == "WAV" || ext == "PNG";
}

std::string ExpectedBaseName(const std::string& path, size_t outSize)
{
    // After the last backslash (one that begins the path is not taken for a
    // folder), up to the first dot that is not the path's first byte.
    size_t slash = path.rfind('\\');
    size_t start = slash == std::string::npos || slash == 0 ? 0 : slash + 1;
    size_t end = std::min(path.find('.', std::max<size_t>(start, 1)), path.size());
    return path.substr(start, std::min(end - start, outSize - 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4 || size > 64 * 1024) return 0;
    const int way = data[0] & 3;
    const size_t cut = (size_t)(data[1] | data[2] << 8);
    const size_t pathLength = std::min<size_t>(data[3], size - 4);
    const uint8_t* rest = data + 4 + pathLength;
    const size_t restLength = size - 4 - pathLength;

    size_t length = restLength;
    size_t copied = restLength;
    if (way == 1) length = copied = std::min<size_t>(restLength, PROBE_SIZE);
    if (way == 2) length = copied = cut % (restLength + 1);
    if (way == 3) {
        length = PROBE_SIZE;
        copied = std::min<size_t>(restLength, PROBE_SIZE);
    }
    std::vector<uint8_t> padded(rest, rest + copied);
    padded.resize(length, 0);
    uint8_t* bytes = new uint8_t[length];
    if (length) memcpy(bytes, padded.data(), length);

    const std::string path(reinterpret_cast<const char*>(data + 4), strnlen((const char*)data + 4, pathLength));
    char* pathCopy = new char[path.size() + 1];
    memcpy(pathCopy, path.c_str(), path.size() + 1);

    // What the last listing left must survive a probe.
    PluginState state = {{1, NUMBERING_PACKED}, {LAYOUT_KIND_ONLY, "previous"}};

    const bool accepted = ExpectedAccepted(padded.data(), (int32_t)length);
    const int probed = ProbeArchive(&state, pathCopy, bytes, (int32_t)length);
    CHECK(probed == (accepted && !ExpectedMedia(path)));
    CHECK(state.memory.entryLayout == LAYOUT_KIND_ONLY && state.settings.CheckMode == 1 && state.settings.NumberingMode == NUMBERING_PACKED);
    // Any mode value other than listing is probe mode.
    CHECK((ValidateContainer(nullptr, bytes, (int32_t)length, 7) != 0) == accepted);
    CHECK(path == pathCopy);  // the caller's string is left alone
    CHECK(strlen(state.memory.archiveBaseName) < sizeof state.memory.archiveBaseName);
    CHECK(state.memory.archiveBaseName == (probed ? ExpectedBaseName(path, sizeof state.memory.archiveBaseName) : "previous"));

    delete[] bytes;
    delete[] pathCopy;
    return 0;
}
