#include "platform/graphics/FullRangeYuv.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/graphics/PlanarPixels.h"

namespace ovra {

namespace {

using Converter = int (*)(const uint8_t*, int, uint8_t*, int, uint8_t*, int, uint8_t*, int, int,
                          int);

// libyuv names formats by the order of the bytes in a little-endian 32-bit word, backwards from
// their order in memory: its "ARGB" is B, G, R, A in memory.
Converter converterFor(PixelFormat format) {
    switch (format) {
        case PixelFormat::bgrx:
            return libyuv::ARGBToJ420;
        case PixelFormat::rgbx:
            return libyuv::ABGRToJ420;
        case PixelFormat::bgr:
            return libyuv::RGB24ToJ420;
        case PixelFormat::rgb:
            return libyuv::RAWToJ420;
        case PixelFormat::xrgb:
        case PixelFormat::xbgr:
        case PixelFormat::yuv420:
            break;
    }
    return nullptr;
}

// Rows [top, top + rows) of the image; `top` is even, so the chroma rows line up.
int convertBand(Converter convert, const Image& image, PlanarPixels& out, size_t top, size_t rows) {
    const ImagePlane& in = image.plane(0);
    return convert(in.data + top * in.bytesPerRow, int(in.bytesPerRow),
                   out.plane(0) + top * out.bytesPerRow(0), int(out.bytesPerRow(0)),
                   out.plane(1) + top / 2 * out.bytesPerRow(1), int(out.bytesPerRow(1)),
                   out.plane(2) + top / 2 * out.bytesPerRow(2), int(out.bytesPerRow(2)),
                   int(image.width()), int(rows));
}

}  // namespace

bool convertsToFullRange420(PixelFormat format) {
    return converterFor(format) != nullptr;
}

bool convertToFullRange420(const Image& image, PlanarPixels& out, int threads) {
    const Converter convert = converterFor(image.pixelFormat());
    if (!convert || out.width() != image.width() || out.height() != image.height()) return false;
    const size_t h = image.height();
    const size_t bands = threads > 1 && h >= 64 ? size_t(threads) : 1;
    // Band b starts at the even row nearest below b/bands of the height, so chroma rows line up;
    // the last band ends at the last row.
    auto bandTop = [&](size_t b) { return b == bands ? h : (h * b / bands) & ~size_t(1); };
    // Every band's result and thread have their place before any thread starts, so no exception
    // can leave a started helper unjoined (that ends the process). A band whose thread cannot be
    // had (no memory, no thread) is converted on this thread instead.
    std::vector<int> results;
    std::vector<std::thread> helpers;
    try {
        results.assign(bands, 0);
        helpers.reserve(bands - 1);
    } catch (const std::bad_alloc&) {
        return convertBand(convert, image, out, 0, h) == 0;
    }
    for (size_t b = 1; b < bands; ++b) {
        const size_t top = bandTop(b), rows = bandTop(b + 1) - top;
        try {
            helpers.emplace_back(
                [&, b, top, rows] { results[b] = convertBand(convert, image, out, top, rows); });
        } catch (const std::exception&) {  // std::system_error or std::bad_alloc
            results[b] = convertBand(convert, image, out, top, rows);
        }
    }
    results[0] = convertBand(convert, image, out, 0, bandTop(1));
    for (auto& t : helpers) t.join();
    for (int r : results)
        if (r != 0) return false;
    return true;
}

}  // namespace ovra
