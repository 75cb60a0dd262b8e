#include "tests/support/test_content.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace test_content {

namespace {

const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const double TWO_PI = 6.283185307179586;

// Width (a multiple of 4) and height of a 24-bit image filling about `size`
// bytes after the 54-byte header, about 4:3.
struct Shape {
    uint32_t width, height;
};
Shape ImageShape(size_t size)
{
    size_t pixels = size > 54 ? (size - 54) / 3 : 1;
    uint32_t width = (uint32_t)std::max<double>(1.0, std::sqrt((double)pixels * 4 / 3));
    width &= ~3u;
    if (width == 0) width = 4;
    return {width, (uint32_t)(pixels / width) + 1};
}

// A BMP file's header (file header and 24-bit bottom-up image header) at the
// start of `v`, which has room for it and the rows.
void PutBitmapHeader(Bytes& v, uint32_t fileSize, Shape shape)
{
    v[0] = 'B';
    v[1] = 'M';
    PutLe(v, 2, fileSize, 4);
    PutLe(v, 10, 54, 4);
    PutLe(v, 14, 40, 4);
    PutLe(v, 18, shape.width, 4);
    PutLe(v, 22, shape.height, 4);
    PutLe(v, 26, 1, 2);
    PutLe(v, 28, 24, 2);
    PutLe(v, 34, shape.width * 3 * shape.height, 4);
}

// A WAV file's 44-byte header (RIFF chunk, 16-bit PCM at 22,050 Hz, data
// chunk) at the start of `v`.
void PutWaveHeader(Bytes& v, uint32_t fileSize, int channels)
{
    std::memcpy(v.data(), "RIFF\0\0\0\0WAVEfmt ", 16);
    PutLe(v, 4, fileSize - 8, 4);
    PutLe(v, 16, 16, 4);
    PutLe(v, 20, 1, 2);
    PutLe(v, 22, channels, 2);
    PutLe(v, 24, 22050, 4);
    PutLe(v, 28, 22050 * 2 * channels, 4);
    PutLe(v, 32, 2 * channels, 2);
    PutLe(v, 34, 16, 2);
    std::memcpy(v.data() + 36, "data", 4);
    PutLe(v, 40, fileSize - 44, 4);
}

}  // namespace

Bytes Str(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Le32(uint32_t value) { return Words({value}); }

Bytes Words(std::initializer_list<uint32_t> words)
{
    Bytes out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; i++) out.push_back((uint8_t)(w >> (8 * i)));
    return out;
}

void PutLe(Bytes& bytes, size_t at, uint32_t value, int width)
{
    for (int i = 0; i < width; i++) bytes[at + i] = (uint8_t)(value >> (8 * i));
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Pad(Bytes bytes, size_t size, uint8_t fill)
{
    bytes.resize(size, fill);
    return bytes;
}

Bytes Head(int16_t kind) { return {uint8_t(kind), uint8_t(uint16_t(kind) >> 8)}; }

Bytes Head(int16_t kind, int32_t declared) { return Cat({Head(kind), Le32((uint32_t)declared)}); }

Bytes Literals(const Bytes& content)
{
    Bytes out;
    for (size_t i = 0; i < content.size(); i++) {
        if (i % 8 == 0) out.push_back(0);
        out.push_back(content[i]);
    }
    return out;
}

Bytes Bitmap(uint32_t size, uint32_t seed)
{
    const Shape shape = ImageShape(size);
    Bytes v(54 + (size_t)shape.width * 3 * shape.height);
    PutBitmapHeader(v, size, shape);
    std::mt19937 rng(seed);
    uint8_t* pixel = v.data() + 54;
    for (uint32_t y = 0; y < shape.height; y++) {
        for (uint32_t x = 0; x < shape.width; x++) {
            const int dx = (int)x - 40, dy = (int)y - 30;
            const bool flat = dx * dx + dy * dy < 400 || (x > 70 && y < 20);
            *pixel++ = flat ? 0x20 : (uint8_t)(x * 2);
            *pixel++ = flat ? 0xC0 : (uint8_t)(y * 3 + (rng() % 4 == 0));
            *pixel++ = flat ? 0x40 : 0x80;
        }
    }
    v.resize(size);
    return v;
}

Bytes Wave(uint32_t size, uint32_t seed)
{
    Bytes v(std::max<size_t>(size, 44));
    PutWaveHeader(v, size, 1);
    for (size_t at = 44, i = seed; at + 2 <= v.size(); at += 2, i++) {
        const size_t burst = i % 3000;
        const double level = burst < 2000 ? 8000.0 / (1 + burst / 250) : 0.0;
        PutLe(v, at, (uint32_t)(int)(level * std::sin((double)(i % 64) * 0.0982)), 2);
    }
    v.resize(size);
    return v;
}

Bytes Png(uint32_t size, uint32_t seed)
{
    Bytes v = Random(size, seed);
    std::copy(PNG_SIGNATURE, PNG_SIGNATURE + std::min<size_t>(size, 8), v.begin());
    return v;
}

const char* KindName(int kind)
{
    static const char* const names[] = {"photo", "sound", "text", "random", "runs"};
    return names[kind];
}

Bytes Photo(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    const Shape shape = ImageShape(size);
    const uint32_t width = shape.width, height = shape.height, stride = width * 3;
    Bytes v(54 + (size_t)stride * height);
    PutBitmapHeader(v, (uint32_t)v.size(), shape);

    struct Blob {
        double x, y, r, c[3];
    };
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Blob> blobs(6);
    for (Blob& b : blobs) {
        b.x = unit(rng) * width;
        b.y = unit(rng) * height;
        b.r = (0.1 + 0.3 * unit(rng)) * width;
        for (double& c : b.c) c = 120 * (unit(rng) - 0.5);
    }
    std::normal_distribution<double> noise(0.0, 2.5);
    for (uint32_t y = 0; y < height; y++) {
        uint8_t* row = v.data() + 54 + (size_t)y * stride;
        for (uint32_t x = 0; x < width; x++) {
            double base[3] = {60 + 120.0 * x / width, 80 + 100.0 * y / height, 140 - 60.0 * (x + y) / (width + height)};
            for (const Blob& b : blobs) {
                double dx = x - b.x, dy = y - b.y;
                double w = std::exp(-(dx * dx + dy * dy) / (b.r * b.r));
                for (int c = 0; c < 3; c++) base[c] += w * b.c[c];
            }
            for (int c = 0; c < 3; c++) row[3 * x + c] = (uint8_t)std::clamp(base[c] + noise(rng), 0.0, 255.0);
        }
    }
    v.resize(size);
    return v;
}

Bytes Sound(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes v(std::max<size_t>(size, 48));
    PutWaveHeader(v, (uint32_t)v.size(), 2);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double freq[3], amp[3];
    for (int i = 0; i < 3; i++) {
        freq[i] = 110 * std::pow(2.0, unit(rng) * 3);
        amp[i] = 2000 + 6000 * unit(rng);
    }
    std::normal_distribution<double> noise(0.0, 40.0);
    for (size_t at = 44, n = 0; at + 4 <= v.size(); at += 4, n++) {
        double t = n / 22050.0, s = 0;
        for (int i = 0; i < 3; i++)
            s += amp[i] * (0.6 + 0.4 * std::sin(TWO_PI * 0.3 * t + i)) * std::sin(TWO_PI * freq[i] * t);
        int left = (int)std::clamp(s + noise(rng), -32768.0, 32767.0);
        int right = (int)std::clamp(0.8 * s + noise(rng), -32768.0, 32767.0);
        PutLe(v, at, (uint32_t)left, 2);
        PutLe(v, at + 2, (uint32_t)right, 2);
    }
    v.resize(size);
    return v;
}

Bytes Text(size_t size, uint32_t seed)
{
    static const char* const words[] = {
        "the", "of", "and", "to", "a", "in", "that", "it", "was", "he", "for", "on", "are", "as", "with", "his",
        "they", "at", "be", "this", "from", "have", "or", "by", "one", "had", "not", "but", "what", "all", "were",
        "when", "we", "there", "can", "an", "your", "which", "their", "said", "if", "do", "will", "each", "about",
        "how", "up", "out", "them", "then", "she", "many", "some", "so", "these", "would", "other", "into", "has",
        "more", "her", "two", "like", "him", "see", "time", "could", "no", "make", "than", "first", "been", "its",
        "who", "now", "people", "my", "made", "over", "did", "down", "only", "way", "find", "use", "may", "water",
        "long", "little", "very", "after", "words", "called", "just", "where", "most", "know", "castle", "sword",
        "princess", "forest", "village", "dragon", "journey", "morning", "shadow", "letter", "remember", "silence",
        "window", "garden", "travelled", "whispered", "carefully", "suddenly", "beneath", "mountain", "river"};
    const size_t count = sizeof words / sizeof words[0];
    std::vector<double> weights(count);
    for (size_t i = 0; i < count; i++) weights[i] = 1.0 / (i + 1.5);
    std::mt19937 rng(seed);
    std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
    std::uniform_int_distribution<int> sentenceLength(4, 18), roll(0, 99);
    std::string s;
    s.reserve(size + 64);
    while (s.size() < size) {
        int n = sentenceLength(rng);
        for (int i = 0; i < n; i++) {
            std::string w = words[pick(rng)];
            if (i == 0) w[0] = (char)(w[0] - 'a' + 'A');
            s += w;
            if (i + 1 < n) s += roll(rng) < 8 ? ", " : " ";
        }
        s += roll(rng) < 85 ? ". " : (roll(rng) < 50 ? "?\r\n\r\n" : ".\r\n\r\n");
    }
    s.resize(size);
    return Str(s);
}

Bytes Random(size_t size, uint32_t seed, int alphabet)
{
    std::mt19937 rng(seed);
    Bytes v(size);
    for (uint8_t& b : v) b = (uint8_t)(rng() % (uint32_t)alphabet);
    return v;
}

Bytes Runs(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> length(16, 4000);
    Bytes v;
    v.reserve(size);
    while (v.size() < size) {
        // The value first, then the length: one order for every compiler
        // (as arguments of one call, GCC drew them this way and Clang the
        // other, so the two builds' runs differed).
        const uint8_t value = (uint8_t)rng();
        const size_t run = std::min(length(rng), size - v.size());
        v.insert(v.end(), run, value);
    }
    return v;
}

Bytes Make(int kind, size_t size, uint32_t seed)
{
    switch (kind) {
    case PHOTO: return Photo(size, seed);
    case SOUND: return Sound(size, seed);
    case TEXT: return Text(size, seed);
    case RANDOM: return Random(size, seed);
    default: return Runs(size, seed);
    }
}

}  // namespace test_content
