// Content for the tests and benchmarks: byte strings and little-endian
// integers, entry heads and literal-only LZSS streams as archives store them,
// media files whose headers carry the signatures and sizes the plug-in reads,
// and synthetic content of the kinds that game archives hold. Everything is
// deterministic: the same arguments give the same bytes.
#ifndef MORQUENT_TOOLS_TEST_CONTENT_H
#define MORQUENT_TOOLS_TEST_CONTENT_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace test_content {

using Bytes = std::vector<uint8_t>;

Bytes Str(const std::string& text);
Bytes Le32(uint32_t value);
Bytes Words(std::initializer_list<uint32_t> words);  // little-endian 32-bit words back to back
// Writes the low `width` bytes of `value`, little-endian, at `at`.
void PutLe(Bytes& bytes, size_t at, uint32_t value, int width);
Bytes Cat(std::initializer_list<Bytes> parts);
// `bytes` cut or filled up with `fill` to `size` bytes.
Bytes Pad(Bytes bytes, size_t size, uint8_t fill = 0x5A);

// An entry's head: the kind alone (two bytes), or the kind and the declared
// size (six bytes).
Bytes Head(int16_t kind);
Bytes Head(int16_t kind, int32_t declared);
// An LZSS stream of literals only: a flag byte 0 before every eight bytes of
// `content`, so that the content shows from stream byte 1 on.
Bytes Literals(const Bytes& content);

// Media files of exactly `size` bytes whose headers give that size.
//   Bitmap  "BM", size, pixel offset 54, a 24-bit image header, then rows of
//           a drawing: a gradient with flat shapes and a little noise
//   Wave    "RIFF", size - 8, "WAVEfmt ", 16-bit mono PCM: tone bursts
//           whose loudness steps down, with silence between
//   Png     the eight-byte PNG signature, then random bytes
Bytes Bitmap(uint32_t size, uint32_t seed = 0);
Bytes Wave(uint32_t size, uint32_t seed = 0);
Bytes Png(uint32_t size, uint32_t seed = 0);

// Synthetic content kinds, as the LZSS benchmarks measure them.
//   Photo   a BMP file (header size field: the whole image's) of a
//           photo-like image: gradients, soft blobs, per-channel sensor
//           noise, so that LZSS finds few matches
//   Sound   a WAV file, 16-bit stereo at 22,050 Hz: a few sine tones with
//           slow amplitude changes plus low noise
//   Text    English-like prose: a Zipf-weighted vocabulary, sentences and
//           CRLF paragraphs (no signature: it classifies as plain data)
//   Random  random bytes, below `alphabet`
//   Runs    runs of one byte value, 16 to 4,000 bytes long
enum Kind { PHOTO, SOUND, TEXT, RANDOM, RUNS, KIND_COUNT };
const char* KindName(int kind);
Bytes Photo(size_t size, uint32_t seed);
Bytes Sound(size_t size, uint32_t seed);
Bytes Text(size_t size, uint32_t seed = 0);
Bytes Random(size_t size, uint32_t seed, int alphabet = 256);
Bytes Runs(size_t size, uint32_t seed);
Bytes Make(int kind, size_t size, uint32_t seed);

}  // namespace test_content

#endif
