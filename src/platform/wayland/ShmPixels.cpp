#include "platform/wayland/ShmPixels.h"

// For the enumeration only: nothing of libwayland is called here.
#include <wayland-client-protocol.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace ovra::wayland {

std::optional<PixelFormat> pixelFormatForShm(uint32_t shmFormat) {
    // wl_shm formats name channels from the most significant bit of a little-endian word, so
    // XRGB8888 is B, G, R, X in memory. Alpha is ignored: a screen has nothing behind it.
    switch (shmFormat) {
        case WL_SHM_FORMAT_XRGB8888:
        case WL_SHM_FORMAT_ARGB8888:
            return PixelFormat::bgrx;
        case WL_SHM_FORMAT_XBGR8888:
        case WL_SHM_FORMAT_ABGR8888:
            return PixelFormat::rgbx;
        case WL_SHM_FORMAT_RGBX8888:
        case WL_SHM_FORMAT_RGBA8888:
            return PixelFormat::xbgr;
        case WL_SHM_FORMAT_BGRX8888:
        case WL_SHM_FORMAT_BGRA8888:
            return PixelFormat::xrgb;
        case WL_SHM_FORMAT_RGB888:
            return PixelFormat::bgr;
        case WL_SHM_FORMAT_BGR888:
            return PixelFormat::rgb;
        default:
            return std::nullopt;
    }
}

std::string describeUnreadableShm(uint32_t shmFormat) {
    switch (shmFormat) {
        case WL_SHM_FORMAT_XRGB2101010:
            return "10-bit XRGB2101010 is not read";
        case WL_SHM_FORMAT_XBGR2101010:
            return "10-bit XBGR2101010 is not read";
        case WL_SHM_FORMAT_ARGB2101010:
            return "10-bit ARGB2101010 is not read";
        case WL_SHM_FORMAT_ABGR2101010:
            return "10-bit ABGR2101010 is not read";
        default: {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08x", shmFormat);
            return std::string("pixel format ") + code + " is not read";
        }
    }
}

void flipRows(uint8_t* pixels, size_t bytesPerRow, size_t height) {
    std::vector<uint8_t> row(bytesPerRow);
    for (size_t top = 0, bottom = height; top + 1 < bottom; ++top) {
        --bottom;
        uint8_t* a = pixels + top * bytesPerRow;
        uint8_t* b = pixels + bottom * bytesPerRow;
        std::copy(a, a + bytesPerRow, row.data());
        std::copy(b, b + bytesPerRow, a);
        std::copy(row.begin(), row.end(), b);
    }
}

}  // namespace ovra::wayland
