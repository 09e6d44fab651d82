#include "platform/graphics/Image.h"

namespace ovra {

size_t bytesPerPixel(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgbx:
        case PixelFormat::bgrx:
        case PixelFormat::xrgb:
        case PixelFormat::xbgr:
            return 4;
        case PixelFormat::rgb:
        case PixelFormat::bgr:
            return 3;
        case PixelFormat::yuv420:
            break;
    }
    return 0;
}

const char* pixelFormatName(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgbx:
            return "rgbx";
        case PixelFormat::bgrx:
            return "bgrx";
        case PixelFormat::xrgb:
            return "xrgb";
        case PixelFormat::xbgr:
            return "xbgr";
        case PixelFormat::rgb:
            return "rgb";
        case PixelFormat::bgr:
            return "bgr";
        case PixelFormat::yuv420:
            return "yuv420";
    }
    return "?";
}

}  // namespace ovra
