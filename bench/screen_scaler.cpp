// Which scaler reduces the screenshot, at 2880x1800 -> 1920x1200 of a photo-like picture with a
// text panel: libyuv's conversion to 4:2:0 then libswscale's filters on the planes
// (BM_swscale_<filter>, one slice thread and all cores), libswscale alone from RGB
// (BM_swscale_from_rgb_<filter>), libyuv's own plane scalers after the same conversion
// (BM_libyuv_<filter>), the library's own context draw, and libvips' Lanczos-3 resize
// (loaded at run time when libvips42 is installed). Counters: psnr_y_db against a double-
// precision Lanczos-3 reference of the same picture; stripe_spread, the luma deviation left of
// one-pixel stripes (0 = even grey, 127 = fully aliased). Then the encoder: the library's
// (optimised Huffman tables) against TurboJPEG's baseline, from 4:2:0 planes and packed pixels.
//   build/bench/screen_scaler --benchmark_min_time=1
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <turbojpeg.h>

#include <memory>
#include <thread>

#include "platform/Graphics.h"
#include "platform/graphics/JpegEncoder.h"
#include "platform/graphics/PlanarPixels.h"
#include "platform/graphics/Scaler.h"
#include "screen_picture.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace ovra::bench {
namespace {

constexpr int kSourceW = 2880, kSourceH = 1800, kTargetW = 1920, kTargetH = 1200;

const Bgrx& picture() {
    static const Bgrx p = benchPicture(kSourceW, kSourceH, false);
    return p;
}
const Bgrx& stripes() {
    static const Bgrx p = stripePicture(kSourceW, 360);
    return p;
}
const std::vector<double>& reference() {
    static const auto r = lanczosLuma(picture(), kTargetW, kTargetH);
    return r;
}

std::shared_ptr<Image> imageOf(const Bgrx& p) {
    return std::make_shared<Image>(
        size_t(p.width), size_t(p.height), PixelFormat::bgrx,
        std::array<ImagePlane, 3>{{{p.pixels.data(), size_t(p.width) * 4}}},
        std::make_shared<ColorSpace>(ColorSpace::sRGBName), nullptr);
}

// The library's Scaler into 4:2:0 with a given filter and thread count.
void swscaleInto420(benchmark::State& state, int filter, int threads, double bicubicC = 0.75,
                    bool convertFirst = true) {
    auto image = imageOf(picture());
    const ScalerKey key{size_t(kSourceW), size_t(kSourceH), PixelFormat::bgrx, size_t(kTargetW),
                        size_t(kTargetH), filter,           bicubicC,          convertFirst};
    auto scaler = Scaler::create(key, threads);
    PlanarPixels out(kTargetW, kTargetH);
    for (auto _ : state) scaler->scale(*image, out);
    state.counters["psnr_y_db"] =
        psnr(reference(), out.plane(0), out.bytesPerRow(0), kTargetW, kTargetH);

    auto stripeImage = imageOf(stripes());
    auto stripeScaler = Scaler::create({size_t(kSourceW), 360, PixelFormat::bgrx, size_t(kTargetW),
                                        240, filter, bicubicC, convertFirst},
                                       threads);
    PlanarPixels stripeOut(kTargetW, 240);
    stripeScaler->scale(*stripeImage, stripeOut);
    state.counters["stripe_spread"] =
        spread(stripeOut.plane(0), stripeOut.bytesPerRow(0), kTargetW, 240);
}

int allCores() {
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

void BM_swscale_fast_bilinear(benchmark::State& s) {
    swscaleInto420(s, SWS_FAST_BILINEAR, int(s.range(0)));
}
void BM_swscale_bilinear(benchmark::State& s) {
    swscaleInto420(s, SWS_BILINEAR, int(s.range(0)));
}
void BM_swscale_area(benchmark::State& s) {
    swscaleInto420(s, SWS_AREA, int(s.range(0)));
}
// libswscale alone, from RGB: its colour conversion at full size is most of the cost.
void BM_swscale_from_rgb_bicubic(benchmark::State& s) {
    swscaleInto420(s, SWS_BICUBIC, int(s.range(0)), 0.75, false);
}
void BM_swscale_from_rgb_lanczos(benchmark::State& s) {
    swscaleInto420(s, SWS_LANCZOS, int(s.range(0)), 0.75, false);
}
void BM_swscale_bicubic_c060(benchmark::State& s) {
    swscaleInto420(s, SWS_BICUBIC, int(s.range(0)), 0.6);
}
void BM_swscale_bicubic(benchmark::State& s) {
    swscaleInto420(s, SWS_BICUBIC, int(s.range(0)));
}
void BM_swscale_lanczos(benchmark::State& s) {
    swscaleInto420(s, SWS_LANCZOS, int(s.range(0)));
}
void BM_swscale_spline(benchmark::State& s) {
    swscaleInto420(s, SWS_SPLINE, int(s.range(0)));
}

#define THREADS(name)                   \
    BENCHMARK(name)                     \
        ->Arg(1)                        \
        ->Arg(allCores())               \
        ->ArgName("threads")            \
        ->Unit(benchmark::kMillisecond) \
        ->UseRealTime()
THREADS(BM_swscale_fast_bilinear);
THREADS(BM_swscale_bilinear);
THREADS(BM_swscale_area);
THREADS(BM_swscale_from_rgb_bicubic);
THREADS(BM_swscale_from_rgb_lanczos);
THREADS(BM_swscale_bicubic_c060);
THREADS(BM_swscale_bicubic);
THREADS(BM_swscale_lanczos);
THREADS(BM_swscale_spline);

// libyuv alone: the same full-size conversion to 4:2:0, then libyuv's own plane scaler. At a
// reduction to 2/3 its box filter falls back to bilinear (it boxes only from 1/2 down).
void libyuvInto420(benchmark::State& state, libyuv::FilterMode filter) {
    auto scaleOnce = [&](const Bgrx& p, PlanarPixels& out) {
        PlanarPixels full(size_t(p.width), size_t(p.height), PlanarPixels::Content::unset);
        libyuv::ARGBToJ420(p.pixels.data(), p.width * 4, full.plane(0), int(full.bytesPerRow(0)),
                           full.plane(1), int(full.bytesPerRow(1)), full.plane(2),
                           int(full.bytesPerRow(2)), p.width, p.height);
        libyuv::I420Scale(full.plane(0), int(full.bytesPerRow(0)), full.plane(1),
                          int(full.bytesPerRow(1)), full.plane(2), int(full.bytesPerRow(2)),
                          p.width, p.height, out.plane(0), int(out.bytesPerRow(0)), out.plane(1),
                          int(out.bytesPerRow(1)), out.plane(2), int(out.bytesPerRow(2)),
                          int(out.width()), int(out.height()), filter);
    };
    PlanarPixels out(kTargetW, kTargetH);
    for (auto _ : state) scaleOnce(picture(), out);
    state.counters["psnr_y_db"] =
        psnr(reference(), out.plane(0), out.bytesPerRow(0), kTargetW, kTargetH);
    PlanarPixels stripeOut(kTargetW, 240);
    scaleOnce(stripes(), stripeOut);
    state.counters["stripe_spread"] =
        spread(stripeOut.plane(0), stripeOut.bytesPerRow(0), kTargetW, 240);
}
void BM_libyuv_bilinear(benchmark::State& s) {
    libyuvInto420(s, libyuv::kFilterBilinear);
}
void BM_libyuv_box(benchmark::State& s) {
    libyuvInto420(s, libyuv::kFilterBox);
}
void BM_libyuv_linear(benchmark::State& s) {
    libyuvInto420(s, libyuv::kFilterLinear);
}
BENCHMARK(BM_libyuv_bilinear)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_libyuv_box)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_libyuv_linear)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the screenshot does: context, high-quality draw, image of the context.
void BM_graphics_context_draw(benchmark::State& state) {
    Graphics g;
    auto image = imageOf(picture());
    std::shared_ptr<Image> scaled;
    for (auto _ : state) {
        auto context = g.createBitmapContext(kTargetW, kTargetH, 8, 0, image->colorSpace(), 1);
        g.setInterpolationQuality(*context, InterpolationQuality::high);
        g.drawImage(*context, *image, {0, 0, kTargetW, kTargetH}, false);
        scaled = g.createImageOfContext(*context);
    }
    state.counters["psnr_y_db"] =
        psnr(reference(), scaled->plane(0).data, scaled->plane(0).bytesPerRow, kTargetW, kTargetH);
}
BENCHMARK(BM_graphics_context_draw)->Unit(benchmark::kMillisecond)->UseRealTime();

// libvips, loaded at run time so the build needs no libvips headers.
struct Vips {
    void* handle = dlopen("libvips.so.42", RTLD_NOW | RTLD_GLOBAL);
    int (*init)(const char*) = nullptr;
    void* (*fromMemory)(const void*, size_t, int, int, int, int) = nullptr;
    int (*resize)(void*, void**, double, ...) = nullptr;
    void* (*toMemory)(void*, size_t*) = nullptr;
    void (*unref)(void*) = nullptr;
    void (*gfree)(void*) = nullptr;
    void (*concurrency)(int) = nullptr;
    Vips() {
        if (!handle) return;
        init = reinterpret_cast<decltype(init)>(dlsym(handle, "vips_init"));
        fromMemory =
            reinterpret_cast<decltype(fromMemory)>(dlsym(handle, "vips_image_new_from_memory"));
        resize = reinterpret_cast<decltype(resize)>(dlsym(handle, "vips_resize"));
        toMemory =
            reinterpret_cast<decltype(toMemory)>(dlsym(handle, "vips_image_write_to_memory"));
        unref = reinterpret_cast<decltype(unref)>(dlsym(RTLD_DEFAULT, "g_object_unref"));
        gfree = reinterpret_cast<decltype(gfree)>(dlsym(RTLD_DEFAULT, "g_free"));
        concurrency =
            reinterpret_cast<decltype(concurrency)>(dlsym(handle, "vips_concurrency_set"));
        if (init && init("screen_scaler") != 0) init = nullptr;
    }
    bool usable() const {
        return handle && init && fromMemory && resize && toMemory && unref && gfree && concurrency;
    }
};

void BM_vips_resize_lanczos3(benchmark::State& state) {
    static Vips vips;
    if (!vips.usable()) {
        state.SkipWithError("libvips42 is not installed (bench/screen_peers.sh installs it)");
        return;
    }
    vips.concurrency(int(state.range(0)));
    const Bgrx& p = picture();
    std::vector<uint8_t> last;
    for (auto _ : state) {
        void* in = vips.fromMemory(p.pixels.data(), p.pixels.size(), p.width, p.height, 4, 0);
        void* out = nullptr;
        vips.resize(in, &out, double(kTargetW) / kSourceW, "vscale", double(kTargetH) / kSourceH,
                    nullptr);
        size_t size = 0;
        void* bytes = out ? vips.toMemory(out, &size) : nullptr;
        if (bytes) last.assign(static_cast<uint8_t*>(bytes), static_cast<uint8_t*>(bytes) + size);
        vips.gfree(bytes);
        if (out) vips.unref(out);
        vips.unref(in);
    }
    if (last.size() != size_t(kTargetW) * kTargetH * 4) {
        state.SkipWithError("vips_resize gave an unexpected size");
        return;
    }
    std::vector<uint8_t> y(size_t(kTargetW) * kTargetH);
    for (size_t i = 0; i < y.size(); ++i)
        y[i] = uint8_t(
            std::clamp(std::lround(luma(last[i * 4 + 2], last[i * 4 + 1], last[i * 4])), 0l, 255l));
    state.counters["psnr_y_db"] = psnr(reference(), y.data(), kTargetW, kTargetW, kTargetH);
}
BENCHMARK(BM_vips_resize_lanczos3)
    ->Arg(1)
    ->Arg(allCores())
    ->ArgName("threads")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The encoder's share at 1920x1200, quality 50: TurboJPEG's baseline from the 4:2:0 planes and
// from packed pixels, and the library's encoder (optimised Huffman tables) from both.
PlanarPixels& scaledPlanes() {
    static PlanarPixels planes = [] {
        PlanarPixels p(kTargetW, kTargetH);
        Scaler::create({size_t(kSourceW), size_t(kSourceH), PixelFormat::bgrx, size_t(kTargetW),
                        size_t(kTargetH), SWS_BICUBIC})
            ->scale(*imageOf(picture()), p);
        return p;
    }();
    return planes;
}
const Bgrx& smallPicture() {
    static const Bgrx p = benchPicture(kTargetW, kTargetH, false);
    return p;
}

void BM_turbojpeg_from_420_planes(benchmark::State& state) {
    PlanarPixels& planes = scaledPlanes();
    tjhandle tj = tjInitCompress();
    unsigned long size = 0;
    for (auto _ : state) {
        const unsigned char* p[3] = {planes.plane(0), planes.plane(1), planes.plane(2)};
        int strides[3] = {int(planes.bytesPerRow(0)), int(planes.bytesPerRow(1)),
                          int(planes.bytesPerRow(2))};
        unsigned char* jpeg = nullptr;
        tjCompressFromYUVPlanes(tj, p, kTargetW, strides, kTargetH, TJSAMP_420, &jpeg, &size, 50,
                                0);
        tjFree(jpeg);
    }
    tjDestroy(tj);
    state.counters["jpeg_bytes"] = double(size);
}
BENCHMARK(BM_turbojpeg_from_420_planes)->Unit(benchmark::kMillisecond);

void BM_turbojpeg_from_bgrx(benchmark::State& state) {
    const Bgrx& small = smallPicture();
    tjhandle tj = tjInitCompress();
    unsigned long size = 0;
    for (auto _ : state) {
        unsigned char* jpeg = nullptr;
        tjCompress2(tj, small.pixels.data(), kTargetW, kTargetW * 4, kTargetH, TJPF_BGRX, &jpeg,
                    &size, TJSAMP_420, 50, 0);
        tjFree(jpeg);
    }
    tjDestroy(tj);
    state.counters["jpeg_bytes"] = double(size);
}
BENCHMARK(BM_turbojpeg_from_bgrx)->Unit(benchmark::kMillisecond);

void encodeWithLibrary(benchmark::State& state, const Image& image) {
    MutableData out;
    for (auto _ : state) encodeJpeg(image, 50, out);
    state.counters["jpeg_bytes"] = double(out.length());
}
void BM_library_encoder_from_420_planes(benchmark::State& state) {
    PlanarPixels& p = scaledPlanes();
    const Image image(kTargetW, kTargetH, PixelFormat::yuv420,
                      {{{p.plane(0), p.bytesPerRow(0)},
                        {p.plane(1), p.bytesPerRow(1)},
                        {p.plane(2), p.bytesPerRow(2)}}},
                      nullptr, nullptr);
    encodeWithLibrary(state, image);
}
BENCHMARK(BM_library_encoder_from_420_planes)->Unit(benchmark::kMillisecond);
void BM_library_encoder_from_bgrx(benchmark::State& state) {
    encodeWithLibrary(state, *imageOf(smallPicture()));
}
BENCHMARK(BM_library_encoder_from_bgrx)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ovra::bench

BENCHMARK_MAIN();
