// The digest qordat's manifests keep of content and stored bytes: XXH64
// (seed 0), a fast 64-bit hash, written as "xxh64:" and 16 hex digits (the
// form `xxhsum -H1` prints). It tells a file that changed from one that did
// not; it is not meant to withstand someone forging a collision.
#ifndef MORQUENT_TOOLS_QORDAT_DIGEST_H
#define MORQUENT_TOOLS_QORDAT_DIGEST_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace qordat {

// XXH64 over bytes that come in pieces of any size.
class Digest {
public:
    Digest();
    void Update(const uint8_t* data, size_t size);
    uint64_t Value() const;
    // "xxh64:" and the value in 16 lowercase hex digits.
    std::string Text() const { return Format(Value()); }
    static std::string Format(uint64_t value);
    // The value of a Text() form; false when `text` is not one.
    static bool Parse(const std::string& text, uint64_t& value);

private:
    uint64_t v_[4];
    uint8_t stripe_[32];
    size_t held_ = 0;     // bytes in stripe_
    uint64_t total_ = 0;  // bytes so far
};

// The digest of the whole file at `path`, read in large pieces; false with
// errno set when it cannot be read.
bool DigestOfFile(const std::string& path, uint64_t& value);

}  // namespace qordat

#endif
