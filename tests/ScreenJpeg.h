// What a host does with a screenshot: Base64 text back to bytes, the JPEG decoded to RGB. Kept
// free of library headers so the end-to-end tests can use it too. The decoder here is the
// test's own, strict one: any character outside the alphabet or a bad padding fails.
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace ovra::test {

inline std::optional<std::vector<uint8_t>> decodeBase64(const uint8_t* text, size_t length) {
    if (length % 4 != 0) return std::nullopt;
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto value = [&](uint8_t c) { return int(alphabet.find(char(c))); };
    std::vector<uint8_t> out;
    out.reserve(length / 4 * 3);
    for (size_t i = 0; i < length; i += 4) {
        const bool last = i + 4 == length;
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (pad == 1 && text[i + 2] == '=') return std::nullopt;
        int v[4];
        for (int k = 0; k < 4 - pad; ++k)
            if ((v[k] = value(text[i + size_t(k)])) < 0) return std::nullopt;
        for (int k = 4 - pad; k < 4; ++k) v[k] = 0;
        const uint32_t n =
            uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | uint32_t(v[3]);
        out.push_back(uint8_t(n >> 16));
        if (pad < 2) out.push_back(uint8_t(n >> 8));
        if (pad < 1) out.push_back(uint8_t(n));
    }
    return out;
}

struct Rgb {
    int r = 0, g = 0, b = 0;
};

struct Block {
    int x, y, width, height;
    Rgb color;
};

// Distinct saturated blocks in the four quarters and a white one in the middle, so that a scaled,
// mirrored or channel-swapped picture shows.
inline std::vector<Block> quarterBlocks(int w, int h) {
    return {{0, 0, w / 2, h / 2, {220, 30, 30}},
            {w / 2, 0, w - w / 2, h / 2, {30, 200, 40}},
            {0, h / 2, w / 2, h - h / 2, {30, 40, 210}},
            {w / 2, h / 2, w - w / 2, h - h / 2, {230, 220, 40}},
            {w * 3 / 8, h * 3 / 8, w / 4, h / 4, {250, 250, 250}}};
}

struct DecodedJpeg {
    int width = 0;
    int height = 0;
    int subsampling = -1;
    std::vector<uint8_t> rgb;

    Rgb at(int x, int y) const {
        const uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
        return {p[0], p[1], p[2]};
    }
    // The mean colour of the square of side 2r+1 around (x, y).
    Rgb meanAround(int x, int y, int r = 3) const {
        long s[3] = {0, 0, 0}, n = 0;
        for (int yy = y - r; yy <= y + r; ++yy)
            for (int xx = x - r; xx <= x + r; ++xx) {
                const Rgb c = at(xx, yy);
                s[0] += c.r, s[1] += c.g, s[2] += c.b, ++n;
            }
        return {int(s[0] / n), int(s[1] / n), int(s[2] / n)};
    }
};

inline std::optional<DecodedJpeg> decodeJpeg(const std::vector<uint8_t>& jpeg) {
    tjhandle h = tjInitDecompress();
    if (!h) return std::nullopt;
    DecodedJpeg d;
    int colorspace = 0;
    std::optional<DecodedJpeg> result;
    if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &d.width, &d.height, &d.subsampling,
                            &colorspace) == 0) {
        d.rgb.resize(size_t(d.width) * size_t(d.height) * 3);
        if (tjDecompress2(h, jpeg.data(), jpeg.size(), d.rgb.data(), d.width, 0, d.height, TJPF_RGB,
                          0) == 0)
            result = std::move(d);
    }
    tjDestroy(h);
    return result;
}

inline bool near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

inline std::string describe(Rgb c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// One call's results as the host sees them, with its standard error.
struct Shot {
    int32_t result = -1;
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    std::string log;
    std::optional<DecodedJpeg> jpeg;
};

// The Base64 text of a screenshot decoded as a host would, or nothing if either step fails.
inline std::optional<DecodedJpeg> decodeShot(const uint8_t* text, int32_t length) {
    auto bytes = length >= 0 ? decodeBase64(text, size_t(length)) : std::nullopt;
    return bytes ? decodeJpeg(*bytes) : std::nullopt;
}

// One call through `capture(&buffer, &length)` with its standard error, the text decoded.
template <class Capture>
Shot takeShot(Capture capture) {
    Shot s;
    testing::internal::CaptureStderr();
    s.result = capture(&s.buffer, &s.length);
    s.log = testing::internal::GetCapturedStderr();
    if (s.result == 0) s.jpeg = decodeShot(s.buffer, s.length);
    return s;
}

// Each block of a picture `w` wide and `h` high shows its colour in the decoded image, at its
// middle column and `down` of its height.
template <class Blocks>
void expectBlocks(const Blocks& blocks, double w, double h, const DecodedJpeg& jpeg,
                  double down = 0.5) {
    for (const auto& b : blocks) {
        const int x = int(double(b.x + b.width / 2) * jpeg.width / w);
        const int y = int((double(b.y) + double(b.height) * down) * jpeg.height / h);
        const Rgb want{b.color.r, b.color.g, b.color.b}, got = jpeg.meanAround(x, y);
        EXPECT_TRUE(near(got, want, 14)) << "block at " << b.x << "," << b.y << " shows "
                                         << describe(got) << ", drawn " << describe(want);
    }
}

}  // namespace ovra::test
