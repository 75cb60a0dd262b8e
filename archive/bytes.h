// Little-endian field reads over untrusted byte spans.
//
// Every archive integer is little-endian. The *_At readers take the span's
// length and give the bytes that lie outside it the value zero, so a field
// that begins inside a buffer but runs past its end (a short file, a short
// entry) is read without touching memory beyond the buffer and always gives
// the same answer.
#ifndef MORQUENT_ARCHIVE_BYTES_H
#define MORQUENT_ARCHIVE_BYTES_H

#include <stddef.h>
#include <stdint.h>

static inline uint32_t ReadU32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline int32_t ReadS32(const uint8_t* p) { return (int32_t)ReadU32(p); }

static inline uint16_t ReadU16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

// Byte at offset, or 0 when offset lies at or past length.
static inline uint8_t ByteAt(const uint8_t* p, size_t length, size_t offset)
{
    return offset < length ? p[offset] : 0;
}

static inline int32_t S32At(const uint8_t* p, size_t length, size_t offset)
{
    uint32_t v = (uint32_t)ByteAt(p, length, offset) | ((uint32_t)ByteAt(p, length, offset + 1) << 8) |
                 ((uint32_t)ByteAt(p, length, offset + 2) << 16) | ((uint32_t)ByteAt(p, length, offset + 3) << 24);
    return (int32_t)v;
}

static inline int16_t S16At(const uint8_t* p, size_t length, size_t offset)
{
    return (int16_t)(uint16_t)(ByteAt(p, length, offset) | (ByteAt(p, length, offset + 1) << 8));
}

#endif
