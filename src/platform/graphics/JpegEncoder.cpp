#include "platform/graphics/JpegEncoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <cmath>

namespace ovra {

namespace {

int turboFormat(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgbx:
            return TJPF_RGBX;
        case PixelFormat::bgrx:
            return TJPF_BGRX;
        case PixelFormat::xrgb:
            return TJPF_XRGB;
        case PixelFormat::xbgr:
            return TJPF_XBGR;
        case PixelFormat::rgb:
            return TJPF_RGB;
        case PixelFormat::bgr:
            return TJPF_BGR;
        case PixelFormat::yuv420:
            break;
    }
    return TJPF_UNKNOWN;
}

void releaseTurboBlock(uint8_t* block, size_t) {
    tjFree(block);
}

struct Compressor {
    tjhandle handle = tjInitCompress();
    ~Compressor() {
        if (handle) tjDestroy(handle);
    }
};

}  // namespace

int jpegQualityFor(double q) {
    if (!std::isfinite(q)) return 75;
    return std::max(1, int(std::lround(std::clamp(q, 0.0, 1.0) * 100.0)));
}

bool encodeJpeg(const Image& image, int quality, MutableData& out) {
    if (image.width() == 0 || image.height() == 0 || image.width() > INT_MAX ||
        image.height() > INT_MAX)
        return false;
    Compressor compressor;
    if (!compressor.handle) return false;
    const int width = int(image.width());
    const int height = int(image.height());
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    int result;
    if (image.pixelFormat() == PixelFormat::yuv420) {
        const unsigned char* planes[3] = {image.plane(0).data, image.plane(1).data,
                                          image.plane(2).data};
        int strides[3];
        for (int i = 0; i < 3; ++i) strides[i] = int(image.plane(size_t(i)).bytesPerRow);
        result = tjCompressFromYUVPlanes(compressor.handle, planes, width, strides, height,
                                         TJSAMP_420, &jpeg, &size, quality, 0);
    } else {
        result = tjCompress2(
            compressor.handle, image.plane(0).data, width, int(image.plane(0).bytesPerRow), height,
            turboFormat(image.pixelFormat()), &jpeg, &size, TJSAMP_420, quality, 0);
    }
    if (result != 0 || !jpeg) {
        tjFree(jpeg);
        return false;
    }
    out.adopt(jpeg, size, releaseTurboBlock);
    return true;
}

}  // namespace ovra
