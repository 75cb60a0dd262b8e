#include "tools/qordat/digest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace qordat {
namespace {

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull, kP2 = 0xC2B2AE3D27D4EB4Full, kP3 = 0x165667B19E3779F9ull,
                   kP4 = 0x85EBCA77C2B2AE63ull, kP5 = 0x27D4EB2F165667C5ull;

inline uint64_t Rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// Little-endian loads, whatever the machine. One load, not eight: the
// compilers do not merge a loop of byte loads, and the digest runs over
// every byte unpack writes.
inline uint64_t Load64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}
inline uint32_t Load32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t Round(uint64_t acc, uint64_t input)
{
    acc += input * kP2;
    return Rotl(acc, 31) * kP1;
}

inline uint64_t Merge(uint64_t acc, uint64_t v)
{
    acc ^= Round(0, v);
    return acc * kP1 + kP4;
}

}  // namespace

Digest::Digest() : v_{kP1 + kP2, kP2, 0, 0 - kP1} {}

void Digest::Update(const uint8_t* data, size_t size)
{
    total_ += size;
    if (held_) {
        const size_t take = size < 32 - held_ ? size : 32 - held_;
        std::memcpy(stripe_ + held_, data, take);
        held_ += take;
        data += take;
        size -= take;
        if (held_ < 32) return;
        for (int i = 0; i < 4; i++) v_[i] = Round(v_[i], Load64(stripe_ + 8 * i));
        held_ = 0;
    }
    uint64_t v0 = v_[0], v1 = v_[1], v2 = v_[2], v3 = v_[3];
    for (; size >= 32; data += 32, size -= 32) {
        v0 = Round(v0, Load64(data));
        v1 = Round(v1, Load64(data + 8));
        v2 = Round(v2, Load64(data + 16));
        v3 = Round(v3, Load64(data + 24));
    }
    v_[0] = v0, v_[1] = v1, v_[2] = v2, v_[3] = v3;
    std::memcpy(stripe_, data, size);
    held_ = size;
}

uint64_t Digest::Value() const
{
    uint64_t h;
    if (total_ >= 32) {
        h = Rotl(v_[0], 1) + Rotl(v_[1], 7) + Rotl(v_[2], 12) + Rotl(v_[3], 18);
        for (int i = 0; i < 4; i++) h = Merge(h, v_[i]);
    } else {
        h = kP5;
    }
    h += total_;
    const uint8_t* p = stripe_;
    size_t left = held_;
    for (; left >= 8; p += 8, left -= 8) h = Rotl(h ^ Round(0, Load64(p)), 27) * kP1 + kP4;
    if (left >= 4) {
        h = Rotl(h ^ (static_cast<uint64_t>(Load32(p)) * kP1), 23) * kP2 + kP3;
        p += 4;
        left -= 4;
    }
    for (; left; p++, left--) h = Rotl(h ^ (*p * kP5), 11) * kP1;
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

std::string Digest::Format(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "xxh64:%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool Digest::Parse(const std::string& text, uint64_t& value)
{
    if (text.size() != 22 || text.compare(0, 6, "xxh64:") != 0) return false;
    value = 0;
    for (size_t i = 6; i < text.size(); i++) {
        const char c = text[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F'              ? c - 'A' + 10
                                                          : -1;
        if (d < 0) return false;
        value = value << 4 | static_cast<uint64_t>(d);
    }
    return true;
}

bool DigestOfFile(const std::string& path, uint64_t& value)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> piece(1 << 20);
    Digest digest;
    size_t n;
    while ((n = std::fread(piece.data(), 1, piece.size(), f)) > 0) digest.Update(piece.data(), n);
    const bool failed = std::ferror(f);
    const int error = errno;
    std::fclose(f);
    value = digest.Value();
    errno = error;
    return !failed;
}

}  // namespace qordat
