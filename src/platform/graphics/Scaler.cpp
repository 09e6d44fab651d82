#include "platform/graphics/Scaler.h"

#include <algorithm>
#include <string>
#include <thread>

#include "platform/Graphics.h"
#include "platform/SharedLibrary.h"
#include "platform/graphics/FullRangeYuv.h"
#include "platform/graphics/PlanarPixels.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/version.h>
#include <libswscale/swscale.h>
#include <libswscale/version.h>
}

namespace ovra {

namespace {

#define OVRA_STRINGIFY2(x) #x
#define OVRA_STRINGIFY(x) OVRA_STRINGIFY2(x)

// libswscale and libavutil are opened on the first reduction, not linked: libavutil brings the
// VA-API, VDPAU, OpenCL and Intel media stacks with it, which a host should not load for a CPU
// downscale, nor at all when it never takes a screenshot. The sonames are those of the headers
// built against, so the structures used here (AVFrame) match.
struct Swscale {
    decltype(&::sws_alloc_context) allocContext = nullptr;
    decltype(&::sws_init_context) initContext = nullptr;
    decltype(&::sws_freeContext) freeContext = nullptr;
    decltype(&::sws_scale_frame) scaleFrame = nullptr;
    decltype(&::av_opt_set_int) setInt = nullptr;
    decltype(&::av_opt_set_double) setDouble = nullptr;
    decltype(&::av_frame_alloc) frameAlloc = nullptr;
    decltype(&::av_frame_free) frameFree = nullptr;
    decltype(&::av_buffer_create) bufferCreate = nullptr;
};

// Null when either library cannot be opened; then no image is reduced.
const Swscale* swscale() {
    static const Swscale* const api = []() -> const Swscale* {
        auto* table = new Swscale;
        std::string error;
        const bool ok = openSharedLibrary("libavutil.so." OVRA_STRINGIFY(LIBAVUTIL_VERSION_MAJOR),
                                          {symbolSlot("av_opt_set_int", table->setInt),
                                           symbolSlot("av_opt_set_double", table->setDouble),
                                           symbolSlot("av_frame_alloc", table->frameAlloc),
                                           symbolSlot("av_frame_free", table->frameFree),
                                           symbolSlot("av_buffer_create", table->bufferCreate)},
                                          error) &&
                        openSharedLibrary("libswscale.so." OVRA_STRINGIFY(LIBSWSCALE_VERSION_MAJOR),
                                          {symbolSlot("sws_alloc_context", table->allocContext),
                                           symbolSlot("sws_init_context", table->initContext),
                                           symbolSlot("sws_freeContext", table->freeContext),
                                           symbolSlot("sws_scale_frame", table->scaleFrame)},
                                          error);
        if (ok) return table;
        delete table;
        return nullptr;
    }();
    return api;
}

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
    const Swscale& api;
    AVFrame* frame = api.frameAlloc();
    ~BorrowedFrame() { api.frameFree(&frame); }
    bool borrow(int index, const uint8_t* data, size_t bytesPerRow, size_t rows) {
        frame->data[index] = const_cast<uint8_t*>(data);
        frame->linesize[index] = int(bytesPerRow);
        frame->buf[index] =
            api.bufferCreate(const_cast<uint8_t*>(data), bytesPerRow * rows, noRelease, nullptr, 0);
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
    const Swscale* api = swscale();
    if (!api) return nullptr;
    SwsContext* context = api->allocContext();
    if (!context) return nullptr;
    auto setInt = [&](const char* name, int64_t value) {
        return api->setInt(context, name, value, 0) >= 0;
    };
    const bool ok =
        setInt("srcw", int64_t(key.sourceWidth)) && setInt("srch", int64_t(key.sourceHeight)) &&
        setInt("src_format", avFormat(scaledFormat)) && setInt("src_range", 1) &&
        setInt("dstw", int64_t(key.targetWidth)) && setInt("dsth", int64_t(key.targetHeight)) &&
        setInt("dst_format", AV_PIX_FMT_YUV420P) && setInt("dst_range", 1) &&
        setInt("sws_flags", key.filter) &&
        (key.filter != SWS_BICUBIC || (api->setDouble(context, "param0", 0.0, 0) >= 0 &&
                                       api->setDouble(context, "param1", key.bicubicC, 0) >= 0)) &&
        setInt("threads", threads) && api->initContext(context, nullptr, nullptr) >= 0;
    if (!ok) {
        api->freeContext(context);
        return nullptr;
    }
    // The context is freed by the destructor from here on, even if this allocation fails.
    std::unique_ptr<SwsContext, void (*)(SwsContext*)> owned(context, api->freeContext);
    auto scaler = std::unique_ptr<Scaler>(new Scaler(key, context, staged, threads));
    owned.release();
    return scaler;
}

Scaler::~Scaler() {
    swscale()->freeContext(context_);
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
    const Swscale& api = *swscale();
    BorrowedFrame in{api}, out{api};
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
    return api.scaleFrame(context_, out.frame, in.frame) >= 0;
}

}  // namespace ovra
