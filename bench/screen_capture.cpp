// The screenshot end to end on the X server in DISPLAY (bench/screen_peers.sh starts an Xvfb with
// the test picture): the whole ov_capture_screen through dlopen, as a host calls it, and each of
// its phases in-process (grab, scale, encode, Base64) with the library's own code. Then memory:
// the growth of the resident set over 100 calls and the peak a call adds.
//   DISPLAY=:N build/bench/screen_capture [--library build/libOvraHelper.so.1]
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "OvraHelper.h"
#include "platform/Graphics.h"
#include "platform/x11/X11Display.h"
#include "screen/Downscale.h"
#include "screen/HandOver.h"

namespace ovra::bench {
namespace {

std::string libraryPath = "";

struct Exports {
    decltype(&::ov_capture_screen) capture = nullptr;
    decltype(&::ov_free_buffer) free = nullptr;
};

const Exports& exports() {
    static const Exports e = [] {
        std::string path = libraryPath;
        if (path.empty()) {
            char self[4096];
            const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
            path = std::string(self, size_t(std::max<ssize_t>(n, 0)));
            path = path.substr(0, path.rfind('/')) + "/../libOvraHelper.so.1";
        }
        void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
            std::exit(1);
        }
        return Exports{
            reinterpret_cast<decltype(&::ov_capture_screen)>(dlsym(h, "ov_capture_screen")),
            reinterpret_cast<decltype(&::ov_free_buffer)>(dlsym(h, "ov_free_buffer"))};
    }();
    return e;
}

size_t captureOnce() {
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    if (exports().capture(&buffer, &length) != 0) return 0;
    exports().free(buffer);
    return size_t(length);
}

// CPU time of every thread of this process (the scaler's slice threads included), in ms.
double processCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
            double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3);
}

// cpu_ms_per_call counts the work of all the library's threads, which a busy machine does not
// inflate the way it inflates the wall time.
void BM_ov_capture_screen(benchmark::State& state) {
    size_t length = 0;
    const double cpuBefore = processCpuMs();
    for (auto _ : state)
        if ((length = captureOnce()) == 0) state.SkipWithError("ov_capture_screen failed");
    state.counters["cpu_ms_per_call"] =
        (processCpuMs() - cpuBefore) / double(std::max<int64_t>(1, state.iterations()));
    state.counters["base64_bytes"] = double(length);
}
BENCHMARK(BM_ov_capture_screen)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

Display& display() {
    static auto d = x11::makeX11Display();
    return *d;
}
Graphics& graphics() {
    static Graphics g;
    return g;
}

void BM_phase_grab(benchmark::State& state) {
    std::shared_ptr<Image> image;
    for (auto _ : state) {
        image.reset();
        image = display().createDisplayImage(display().mainDisplayID());
        if (!image) state.SkipWithError("no display image");
    }
    if (image) state.counters["width"] = double(image->width());
}
BENCHMARK(BM_phase_grab)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1);

void BM_phase_scale(benchmark::State& state) {
    auto image = display().createDisplayImage(display().mainDisplayID());
    if (!image) return state.SkipWithError("no display image");
    for (auto _ : state) benchmark::DoNotOptimize(imageForEncoding(graphics(), image));
}
BENCHMARK(BM_phase_scale)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1);

std::shared_ptr<MutableData> encode(const std::shared_ptr<Image>& image) {
    auto data = std::make_shared<MutableData>();
    auto destination = graphics().createImageDestination(data, kJpegTypeIdentifier, 1);
    graphics().addImage(*destination, image, ImageProperties{0.5});
    return graphics().finalize(*destination) ? data : nullptr;
}

void BM_phase_encode(benchmark::State& state) {
    auto image = display().createDisplayImage(display().mainDisplayID());
    if (!image) return state.SkipWithError("no display image");
    auto scaled = imageForEncoding(graphics(), image);
    image.reset();
    std::shared_ptr<MutableData> jpeg;
    for (auto _ : state) jpeg = encode(scaled);
    if (jpeg) state.counters["jpeg_bytes"] = double(jpeg->length());
}
BENCHMARK(BM_phase_encode)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1);

void BM_phase_base64(benchmark::State& state) {
    auto image = display().createDisplayImage(display().mainDisplayID());
    if (!image) return state.SkipWithError("no display image");
    auto jpeg = encode(imageForEncoding(graphics(), image));
    for (auto _ : state) {
        uint8_t* buffer = nullptr;
        int32_t length = 0;
        handOverAsBase64(*jpeg, &buffer, &length);
        std::free(buffer);
    }
}
BENCHMARK(BM_phase_base64)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1);

long statusKib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// Before any benchmark touches the screen: the peak one call adds to the process, then the
// resident set along 300 more calls (a leak grows it without end; allocator caches level off).
void measureMemory() {
    const long before = statusKib("VmRSS:");
    std::ofstream("/proc/self/clear_refs") << "5";  // resets VmHWM to the current RSS
    captureOnce();
    const long peak = statusKib("VmHWM:");
    const long afterOne = statusKib("VmRSS:");
    std::printf("memory: rss before %ld KiB; first call peak +%ld KiB, rss after it +%ld KiB;",
                before, peak - before, afterOne - before);
    for (int i = 1; i <= 300; ++i) {
        captureOnce();
        if (i % 100 == 0)
            std::printf(" after %d more %+ld KiB;", i, statusKib("VmRSS:") - afterOne);
    }
    std::printf(" peak %+ld KiB\n", statusKib("VmHWM:") - before);
}

}  // namespace
}  // namespace ovra::bench

int main(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--library") == 0) ovra::bench::libraryPath = argv[i + 1];
    benchmark::Initialize(&argc, argv);
    ovra::bench::measureMemory();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
