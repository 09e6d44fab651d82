#include "platform/graphics/Scaler.h"

#include <algorithm>
#include <thread>

#include "platform/Graphics.h"
#include "platform/graphics/FullRangeYuv.h"
#include "platform/graphics/PlanarPixels.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace ovra {

namespace {

AVPixelFormat avFormat(PixelFormat format) {
    switch (format) {
        case PixelFormat::rgbx:
            return AV_PIX_FMT_RGB0;
        case PixelFormat::bgrx:
            return AV_PIX_FMT_BGR0;
        case PixelFormat::xrgb:
            return AV_PIX_FMT_0RGB;
        case PixelFormat::xbgr:
            return AV_PIX_FMT_0BGR;
        case PixelFormat::rgb:
            return AV_PIX_FMT_RGB24;
        case PixelFormat::bgr:
            return AV_PIX_FMT_BGR24;
        case PixelFormat::yuv420:
            return AV_PIX_FMT_YUV420P;
    }
    return AV_PIX_FMT_NONE;
}

// Slice threads split one frame between cores; beyond four the frame is too small to gain.
int sliceThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return int(std::clamp(cores, 1u, 4u));
}

void noRelease(void*, uint8_t*) {}

// An AVFrame over memory that the caller owns: the frame API wants a buffer reference for every
// plane, and a reference with no release function leaves the memory alone.
struct BorrowedFrame {
    AVFrame* frame = av_frame_alloc();
    ~BorrowedFrame() { av_frame_free(&frame); }
    bool borrow(int index, const uint8_t* data, size_t bytesPerRow, size_t rows) {
        frame->data[index] = const_cast<uint8_t*>(data);
        frame->linesize[index] = int(bytesPerRow);
        frame->buf[index] =
            av_buffer_create(const_cast<uint8_t*>(data), bytesPerRow * rows, noRelease, nullptr, 0);
        return frame->buf[index] != nullptr;
    }
};

}  // namespace

int scalerFilterFor(InterpolationQuality quality) {
    switch (quality) {
        case InterpolationQuality::none:
            return SWS_POINT;
        case InterpolationQuality::low:
            return SWS_FAST_BILINEAR;
        case InterpolationQuality::high:
            return SWS_BICUBIC;
        case InterpolationQuality::defaultQuality:
        case InterpolationQuality::medium:
            break;
    }
    return SWS_BILINEAR;
}

std::unique_ptr<Scaler> Scaler::create(const ScalerKey& key, int threads) {
    if (threads <= 0) threads = sliceThreads();
    // Sources that libyuv converts are scaled as planes after the conversion.
    const bool staged = key.convertFirst && convertsToFullRange420(key.sourceFormat);
    const PixelFormat scaledFormat = staged ? PixelFormat::yuv420 : key.sourceFormat;
    SwsContext* context = sws_alloc_context();
    if (!context) return nullptr;
    const bool ok = av_opt_set_int(context, "srcw", int64_t(key.sourceWidth), 0) >= 0 &&
                    av_opt_set_int(context, "srch", int64_t(key.sourceHeight), 0) >= 0 &&
                    av_opt_set_int(context, "src_format", avFormat(scaledFormat), 0) >= 0 &&
                    av_opt_set_int(context, "src_range", 1, 0) >= 0 &&
                    av_opt_set_int(context, "dstw", int64_t(key.targetWidth), 0) >= 0 &&
                    av_opt_set_int(context, "dsth", int64_t(key.targetHeight), 0) >= 0 &&
                    av_opt_set_int(context, "dst_format", AV_PIX_FMT_YUV420P, 0) >= 0 &&
                    av_opt_set_int(context, "dst_range", 1, 0) >= 0 &&
                    av_opt_set_int(context, "sws_flags", key.filter, 0) >= 0 &&
                    (key.filter != SWS_BICUBIC ||
                     (av_opt_set_double(context, "param0", 0.0, 0) >= 0 &&
                      av_opt_set_double(context, "param1", key.bicubicC, 0) >= 0)) &&
                    av_opt_set_int(context, "threads", threads, 0) >= 0 &&
                    sws_init_context(context, nullptr, nullptr) >= 0;
    if (!ok) {
        sws_freeContext(context);
        return nullptr;
    }
    return std::unique_ptr<Scaler>(new Scaler(key, context, staged, threads));
}

Scaler::~Scaler() {
    sws_freeContext(context_);
}

bool Scaler::scale(const Image& source, PlanarPixels& target) {
    if (source.width() != key_.sourceWidth || source.height() != key_.sourceHeight ||
        source.pixelFormat() != key_.sourceFormat || target.width() != key_.targetWidth ||
        target.height() != key_.targetHeight)
        return false;
    if (!staged_) return scalePlanesOrPixels(source, target);

    PlanarPixels converted(source.width(), source.height(), PlanarPixels::Content::unset);
    if (!convertToFullRange420(source, converted, threads_)) return false;
    const Image planes(source.width(), source.height(), PixelFormat::yuv420,
                       {{{converted.plane(0), converted.bytesPerRow(0)},
                         {converted.plane(1), converted.bytesPerRow(1)},
                         {converted.plane(2), converted.bytesPerRow(2)}}},
                       nullptr, nullptr);
    return scalePlanesOrPixels(planes, target);
}

bool Scaler::scalePlanesOrPixels(const Image& source, PlanarPixels& target) {
    BorrowedFrame in, out;
    if (!in.frame || !out.frame) return false;
    in.frame->width = int(source.width());
    in.frame->height = int(source.height());
    in.frame->format = avFormat(source.pixelFormat());
    in.frame->color_range = AVCOL_RANGE_JPEG;
    const int sourcePlanes = source.pixelFormat() == PixelFormat::yuv420 ? 3 : 1;
    for (int i = 0; i < sourcePlanes; ++i) {
        const size_t rows = i == 0 ? source.height() : (source.height() + 1) / 2;
        if (!in.borrow(i, source.plane(size_t(i)).data, source.plane(size_t(i)).bytesPerRow, rows))
            return false;
    }
    out.frame->width = int(target.width());
    out.frame->height = int(target.height());
    out.frame->format = AV_PIX_FMT_YUV420P;
    out.frame->color_range = AVCOL_RANGE_JPEG;
    for (size_t i = 0; i < 3; ++i)
        if (!out.borrow(int(i), target.plane(i), target.bytesPerRow(i), target.planeHeight(i)))
            return false;
    return sws_scale_frame(context_, out.frame, in.frame) >= 0;
}

}  // namespace ovra
