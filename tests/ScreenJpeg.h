// What a host does with a screenshot: Base64 text back to bytes, the JPEG decoded to RGB. Kept
// free of library headers so the end-to-end tests can use it too. The decoder here is the
// test's own, strict one: any character outside the alphabet or a bad padding fails.
#pragma once

#include <turbojpeg.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace ovra::test {

inline std::optional<std::vector<uint8_t>> decodeBase64(const uint8_t* text, size_t length) {
    if (length % 4 != 0) return std::nullopt;
    auto value = [](uint8_t c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
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

}  // namespace ovra::test
