// Synthetic content of the kinds that game archives hold, for LZSS
// benchmarks and tests: a 24-bit bitmap of a photo-like image, 16-bit PCM
// sound, English-like text, random bytes and long runs. Deterministic for a
// given seed; every generator returns exactly `size` bytes.
#ifndef MORQUENT_BENCH_LZSS_CONTENT_H
#define MORQUENT_BENCH_LZSS_CONTENT_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace lzss_content {

enum Kind { PHOTO, SOUND, TEXT, RANDOM, RUNS, KIND_COUNT };

inline const char* KindName(int kind)
{
    static const char* const names[] = {"photo", "sound", "text", "random", "runs"};
    return names[kind];
}

inline void PutLe(std::vector<uint8_t>& v, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; i++) v[at + i] = (uint8_t)(value >> (8 * i));
}

// A BMP file (54-byte header, bottom-up BGR rows padded to 4 bytes): smooth
// gradients, a few soft blobs and per-channel sensor noise, so that LZSS finds
// few matches, as in real photographs.
inline std::vector<uint8_t> Photo(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    size_t pixels = size > 54 ? (size - 54) / 3 : 1;
    uint32_t width = (uint32_t)std::max<double>(1.0, std::sqrt((double)pixels * 4 / 3));
    width &= ~3u;
    if (width == 0) width = 4;
    uint32_t height = (uint32_t)(pixels / width) + 1;
    uint32_t stride = width * 3;
    std::vector<uint8_t> v(54 + (size_t)stride * height);
    v[0] = 'B';
    v[1] = 'M';
    PutLe(v, 2, (uint32_t)v.size(), 4);
    PutLe(v, 10, 54, 4);
    PutLe(v, 14, 40, 4);
    PutLe(v, 18, width, 4);
    PutLe(v, 22, height, 4);
    PutLe(v, 26, 1, 2);
    PutLe(v, 28, 24, 2);
    PutLe(v, 34, stride * height, 4);

    struct Blob { double x, y, r, c[3]; };
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

// A WAV file (44-byte header, 16-bit stereo 22,050 Hz): a few sine tones with
// slow amplitude changes plus low noise.
inline std::vector<uint8_t> Sound(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(std::max<size_t>(size, 48));
    std::memcpy(v.data(), "RIFF\0\0\0\0WAVEfmt ", 16);
    PutLe(v, 4, (uint32_t)v.size() - 8, 4);
    PutLe(v, 16, 16, 4);
    PutLe(v, 20, 1, 2);
    PutLe(v, 22, 2, 2);
    PutLe(v, 24, 22050, 4);
    PutLe(v, 28, 22050 * 4, 4);
    PutLe(v, 32, 4, 2);
    PutLe(v, 34, 16, 2);
    std::memcpy(v.data() + 36, "data", 4);
    PutLe(v, 40, (uint32_t)v.size() - 44, 4);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double freq[3], amp[3];
    for (int i = 0; i < 3; i++) {
        freq[i] = 110 * std::pow(2.0, unit(rng) * 3);
        amp[i] = 2000 + 6000 * unit(rng);
    }
    std::normal_distribution<double> noise(0.0, 40.0);
    const double twoPi = 6.283185307179586;
    for (size_t at = 44, n = 0; at + 4 <= v.size(); at += 4, n++) {
        double t = n / 22050.0, s = 0;
        for (int i = 0; i < 3; i++) s += amp[i] * (0.6 + 0.4 * std::sin(twoPi * 0.3 * t + i)) * std::sin(twoPi * freq[i] * t);
        int left = (int)std::clamp(s + noise(rng), -32768.0, 32767.0);
        int right = (int)std::clamp(0.8 * s + noise(rng), -32768.0, 32767.0);
        PutLe(v, at, (uint32_t)left, 2);
        PutLe(v, at + 2, (uint32_t)right, 2);
    }
    v.resize(size);
    return v;
}

// English-like prose: words drawn from a Zipf-weighted vocabulary, sentences
// with capitals, commas and full stops, paragraphs.
inline std::vector<uint8_t> Text(size_t size, uint32_t seed)
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
    return std::vector<uint8_t>(s.begin(), s.end());
}

inline std::vector<uint8_t> Random(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(size);
    for (uint8_t& b : v) b = (uint8_t)rng();
    return v;
}

// Runs of one byte value, 16 to 4,000 bytes long, as in flat-colour images
// and silence.
inline std::vector<uint8_t> Runs(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> length(16, 4000);
    std::vector<uint8_t> v;
    v.reserve(size);
    while (v.size() < size) v.insert(v.end(), std::min(length(rng), size - v.size()), (uint8_t)rng());
    return v;
}

inline std::vector<uint8_t> Make(int kind, size_t size, uint32_t seed)
{
    switch (kind) {
    case PHOTO: return Photo(size, seed);
    case SOUND: return Sound(size, seed);
    case TEXT: return Text(size, seed);
    case RANDOM: return Random(size, seed);
    default: return Runs(size, seed);
    }
}

}  // namespace lzss_content

#endif
