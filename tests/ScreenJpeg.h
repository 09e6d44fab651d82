// What a host does with a screenshot: Base64 text back to bytes, the JPEG decoded to RGB, and the
// checks of what it shows. Kept free of library headers so the end-to-end tests can use it too.
#pragma once

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tools/Base64.h"

namespace ovra::test {

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
    int width = 0, height = 0, subsampling = -1;
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

inline bool near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

inline std::string describe(Rgb c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// One call as the host sees it: the status, the standard error, and on success the text handed
// over (its buffer already freed) and the picture decoded from it.
struct Shot {
    int32_t result = -1;
    std::string log, text;
    std::optional<DecodedJpeg> jpeg;
};

// The Base64 text of a screenshot decoded as a host would, strictly: a character outside the
// alphabet, a bad padding, or anything before the JPEG's first marker or after its last fails.
inline std::optional<DecodedJpeg> decodeShot(const uint8_t* text, int32_t length) {
    const auto jpeg =
        length >= 0 ? tool::decodeBase64(std::vector<uint8_t>(text, text + length)) : std::nullopt;
    if (!jpeg || jpeg->size() < 4 || (*jpeg)[0] != 0xFF || (*jpeg)[1] != 0xD8 ||
        jpeg->end()[-2] != 0xFF || jpeg->back() != 0xD9)
        return std::nullopt;
    tjhandle h = tjInitDecompress();
    if (!h) return std::nullopt;
    DecodedJpeg d;
    int colorspace = 0;
    std::optional<DecodedJpeg> result;
    if (tjDecompressHeader3(h, jpeg->data(), jpeg->size(), &d.width, &d.height, &d.subsampling,
                            &colorspace) == 0) {
        d.rgb.resize(size_t(d.width) * size_t(d.height) * 3);
        if (tjDecompress2(h, jpeg->data(), jpeg->size(), d.rgb.data(), d.width, 0, d.height,
                          TJPF_RGB, 0) == 0)
            result = std::move(d);
    }
    tjDestroy(h);
    return result;
}

template <class Call>
void onThreads(int threads, int calls, Call call) {
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&] {
            for (int i = 0; i < calls; ++i) call();
        });
    for (auto& t : running) t.join();
}

// One call through `capture(&buffer, &length)`; `release` frees the buffer. Without `withLog`
// standard error is left alone, so threads may call it at once.
template <class Capture, class Release>
Shot takeShot(Capture capture, Release release, bool withLog = true) {
    Shot s;
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    if (withLog) testing::internal::CaptureStderr();
    s.result = capture(&buffer, &length);
    if (withLog) s.log = testing::internal::GetCapturedStderr();
    if (s.result != 0 || !buffer) return s;
    s.jpeg = decodeShot(buffer, length);
    s.text.assign(reinterpret_cast<const char*>(buffer), size_t(std::max(length, 0)));
    release(buffer);
    return s;
}

inline constexpr char kNilLine[] = "Error: CGDisplayCreateImage returned nil\n";

// A failed call: status 1, a line beginning with `cause` (none if empty), then the nil line.
inline void expectFailure(const Shot& s, const std::string& cause = "") {
    EXPECT_EQ(s.result, 1);
    if (cause.empty()) {
        EXPECT_EQ(s.log, kNilLine);
        return;
    }
    EXPECT_TRUE(s.log.starts_with(cause) && s.log.ends_with("\n" + std::string(kNilLine)) &&
                std::count(s.log.begin(), s.log.end(), '\n') == 2)
        << s.log;
}

inline void expectColorAt(const Shot& s, int x, int y, Rgb color) {
    ASSERT_TRUE(s.jpeg) << s.log;
    EXPECT_TRUE(near(s.jpeg->meanAround(x, y), color, 12)) << describe(s.jpeg->meanAround(x, y));
}

// The blocks painted over `background`, as rows of packed RGB.
inline std::vector<uint8_t> paintRgb(int w, int h, Rgb background,
                                     const std::vector<Block>& blocks) {
    std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
    auto fill = [&](int x0, int y0, int bw, int bh, Rgb c) {
        for (int y = std::max(0, y0); y < std::min(h, y0 + bh); ++y)
            for (int x = std::max(0, x0); x < std::min(w, x0 + bw); ++x) {
                uint8_t* p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
                p[0] = uint8_t(c.r), p[1] = uint8_t(c.g), p[2] = uint8_t(c.b);
            }
    };
    fill(0, 0, w, h, background);
    for (const auto& b : blocks) fill(b.x, b.y, b.width, b.height, b.color);
    return rgb;
}

// The quarter blocks, and fine dark strokes in the white middle block where text would be.
inline std::vector<Block> blocksWithStrokes(int w, int h) {
    auto blocks = quarterBlocks(w, h);
    for (int i = 0; i < 8; ++i)
        blocks.push_back({w * 3 / 8 + 40 + i * 9, h * 3 / 8 + 30, 3, 24, {0, 0, 0}});
    return blocks;
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

// A success showing the picture of `blocksWithStrokes` for a `w` by `h` display at the encoded
// size: each block's colour a quarter into it (clear of the strokes), and the strokes as dark
// marks in the white block with white beside them, so the picture is not blurred away.
inline void expectStrokedPicture(const Shot& shot, int w, int h, int encodedWidth,
                                 int encodedHeight) {
    EXPECT_EQ(shot.log, "");
    ASSERT_TRUE(shot.jpeg);
    const DecodedJpeg& jpeg = *shot.jpeg;
    EXPECT_EQ(jpeg.width, encodedWidth);
    EXPECT_EQ(jpeg.height, encodedHeight);
    expectBlocks(quarterBlocks(w, h), w, h, jpeg, 0.75);
    const double sx = double(jpeg.width) / w, sy = double(jpeg.height) / h;
    const int y = int((h * 3 / 8 + 42) * sy);
    int darkest = 255;
    for (int x = int((w * 3 / 8 + 40) * sx); x < int((w * 3 / 8 + 110) * sx); ++x)
        darkest = std::min(darkest, jpeg.at(x, y).g);
    EXPECT_LT(darkest, 120);
    EXPECT_TRUE(near(jpeg.meanAround(int((w * 3 / 8 + 200) * sx), y), Rgb{250, 250, 250}, 14));
}

}  // namespace ovra::test
