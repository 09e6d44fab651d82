// The picture the screenshot benchmarks scale: the demo's test picture (photo-like landscape,
// colour bars, one-pixel stripes) with a panel of text-like strokes, as 32-bit BGRX rows like an
// X server's; and a float Lanczos-3 reference reduction to judge scalers against.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "../tools/testpicture/TestPicture.h"

namespace ovra::bench {

struct Bgrx {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // B, G, R, X
};

// Glyph-like marks: 6x13 cells of one-pixel strokes, the size of the X core "fixed" font.
inline bool strokeAt(int x, int y) {
    const int cx = x / 6, cy = y / 13, ix = x % 6, iy = y % 13;
    if (ix == 5 || iy < 2 || iy > 10 || (cx % 17) == 16) return false;  // spacing, word gaps
    const uint32_t h = testpicture::hash(cx, cy) < 0.5 ? 0u : 1u;
    const double r = testpicture::hash(cx * 7 + ix, cy * 13 + iy);
    const bool vertical = (ix == 0 || ix == 4) && r < 0.8;
    const bool horizontal = (iy == 2 || iy == 6 || iy == 10) && r < 0.6 + 0.2 * h;
    return vertical || horizontal;
}

// `withStripes` false paints the landscape over the stripe patch, leaving photo and text only.
inline Bgrx benchPicture(int w, int h, bool withStripes = true) {
    Bgrx p{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4)};
    const auto& panel = testpicture::kTextPanel;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint32_t rgb = testpicture::pictureAt(x, y, w, h);
            const double u = double(x) / w, v = double(y) / h;
            if (u >= panel[0] && u < panel[2] && v >= panel[1] && v < panel[3])
                rgb = strokeAt(x, y) ? 0x202020 : 0xffffff;
            else if (!withStripes && u > 0.04 && u < 0.24 && v > 0.70 && v < 0.94)
                rgb = testpicture::pixel(testpicture::landscape(u, v));
            uint8_t* px = &p.pixels[(size_t(y) * size_t(w) + size_t(x)) * 4];
            px[0] = uint8_t(rgb), px[1] = uint8_t(rgb >> 8), px[2] = uint8_t(rgb >> 16),
            px[3] = 255;
        }
    return p;
}

// One-pixel black and white vertical stripes: the harshest input for aliasing.
inline Bgrx stripePicture(int w, int h) {
    Bgrx p{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 4)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t v = x % 2 ? 255 : 0;
            uint8_t* px = &p.pixels[(size_t(y) * size_t(w) + size_t(x)) * 4];
            px[0] = px[1] = px[2] = v, px[3] = 255;
        }
    return p;
}

// Full-range BT.601 luma, as JPEG stores it.
inline double luma(double r, double g, double b) {
    return 0.299 * r + 0.587 * g + 0.114 * b;
}

// Lanczos-3 reduction of luma, separable, in double precision: the reference the scalers are
// scored against.
inline std::vector<double> lanczosLuma(const Bgrx& in, int w, int h) {
    auto kernel = [](double x) {
        if (x == 0) return 1.0;
        if (std::fabs(x) >= 3) return 0.0;
        const double px = std::numbers::pi * x;
        return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
    };
    auto resample = [&](const std::vector<double>& src, int sw, int sh, int dw, int dh, bool rows) {
        const int n = rows ? sw : sh, m = rows ? dw : dh;
        const double scale = double(n) / m, support = 3 * scale;
        std::vector<double> out(size_t(dw) * size_t(dh));
        for (int o = 0; o < m; ++o) {
            const double centre = (o + 0.5) * scale;
            const int lo = std::max(0, int(std::floor(centre - support)));
            const int hi = std::min(n - 1, int(std::ceil(centre + support)));
            std::vector<double> weights;
            double sum = 0;
            for (int i = lo; i <= hi; ++i)
                sum += weights.emplace_back(kernel((i + 0.5 - centre) / scale));
            for (auto& wgt : weights) wgt /= sum;
            const int lines = rows ? sh : sw;
            for (int l = 0; l < lines; ++l) {
                double acc = 0;
                for (int i = lo; i <= hi; ++i)
                    acc +=
                        weights[size_t(i - lo)] * (rows ? src[size_t(l) * size_t(sw) + size_t(i)]
                                                        : src[size_t(i) * size_t(sw) + size_t(l)]);
                (rows ? out[size_t(l) * size_t(dw) + size_t(o)]
                      : out[size_t(o) * size_t(dw) + size_t(l)]) = acc;
            }
        }
        return out;
    };
    std::vector<double> y(size_t(in.width) * size_t(in.height));
    for (size_t i = 0; i < y.size(); ++i)
        y[i] = luma(in.pixels[i * 4 + 2], in.pixels[i * 4 + 1], in.pixels[i * 4]);
    const auto wide = resample(y, in.width, in.height, w, in.height, true);
    return resample(wide, w, in.height, w, h, false);
}

inline double psnr(const std::vector<double>& reference, const uint8_t* plane, size_t stride, int w,
                   int h) {
    double mse = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double d = std::clamp(reference[size_t(y) * size_t(w) + size_t(x)], 0.0, 255.0) -
                             plane[size_t(y) * stride + size_t(x)];
            mse += d * d;
        }
    mse /= double(w) * h;
    return 10 * std::log10(255.0 * 255.0 / mse);
}

// Standard deviation of a luma plane away from its borders: 0 for an even grey.
inline double spread(const uint8_t* plane, size_t stride, int w, int h) {
    double s = 0, s2 = 0, n = 0;
    for (int y = 4; y < h - 4; ++y)
        for (int x = 4; x < w - 4; ++x) {
            const double v = plane[size_t(y) * stride + size_t(x)];
            s += v, s2 += v * v, ++n;
        }
    return std::sqrt(std::max(0.0, s2 / n - (s / n) * (s / n)));
}

}  // namespace ovra::bench
