// The demo's built-in test picture, pixel by pixel (0xRRGGBB): a photo-like landscape, colour
// bars, and one-pixel stripes that reveal aliasing. The demo shows it on a private Xvfb, with a
// text panel drawn over it; the benchmarks scale it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace ovra::testpicture {

struct Rgb {
    double r, g, b;
};

// Smooth pseudo-random value noise: the texture that makes the landscape look photographed.
inline double hash(int x, int y) {
    uint32_t h = uint32_t(x) * 374761393u + uint32_t(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return double(h ^ (h >> 16)) / 4294967295.0;
}
inline double noise(double x, double y) {
    const int xi = int(std::floor(x)), yi = int(std::floor(y));
    const double fx = x - xi, fy = y - yi;
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double a = hash(xi, yi), b = hash(xi + 1, yi), c = hash(xi, yi + 1),
                 d = hash(xi + 1, yi + 1);
    return a + (b - a) * sx + (c - a) * sy + (a - b - c + d) * sx * sy;
}
inline double fractal(double x, double y) {
    double sum = 0, amplitude = 0.5;
    for (int octave = 0; octave < 5; ++octave, x *= 2, y *= 2, amplitude /= 2)
        sum += amplitude * noise(x, y);
    return sum;
}

inline Rgb landscape(double u, double v) {
    const double ridge = 0.55 + 0.08 * std::sin(u * 7.0) + 0.12 * (fractal(u * 6, 3.3) - 0.5);
    if (v < ridge) {  // sky with clouds
        const double cloud = std::max(0.0, fractal(u * 8, v * 16) - 0.55) * 2.2;
        const Rgb sky{0.35 + 0.3 * v, 0.55 + 0.3 * v, 0.95};
        return {sky.r + (1 - sky.r) * cloud, sky.g + (1 - sky.g) * cloud,
                sky.b + (1 - sky.b) * cloud};
    }
    const double grass = fractal(u * 40, v * 60);
    const double shade = 0.55 + 0.45 * (1 - (v - ridge));
    return {(0.20 + 0.25 * grass) * shade, (0.45 + 0.35 * grass) * shade,
            (0.12 + 0.10 * grass) * shade};
}

inline uint32_t pixel(const Rgb& c) {
    auto byte = [](double v) { return uint32_t(std::clamp(v, 0.0, 1.0) * 255.0 + 0.5); };
    return byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

inline uint32_t pictureAt(int x, int y, int w, int h) {
    const double u = double(x) / w, v = double(y) / h;
    // Colour bars along the top.
    if (v < 0.08) {
        static const uint32_t bars[] = {0xffffff, 0xffff00, 0x00ffff, 0x00ff00,
                                        0xff00ff, 0xff0000, 0x0000ff, 0x000000};
        return bars[std::min(7, int(u * 8))];
    }
    // One-pixel stripes and a checkerboard in the lower left: fine detail that a poor
    // downscale turns into visible bands.
    if (u > 0.04 && u < 0.24 && v > 0.70 && v < 0.94) {
        if (v < 0.78) return x % 2 ? 0xffffff : 0x000000;
        if (v < 0.86) return y % 2 ? 0xffffff : 0x000000;
        return (x / 4 + y / 4) % 2 ? 0xffffff : 0x000000;
    }
    return pixel(landscape(u, v));
}

// Where the text panel goes, as fractions of the picture: left, top, right, bottom.
inline constexpr double kTextPanel[4] = {0.30, 0.70, 0.96, 0.95};

}  // namespace ovra::testpicture
