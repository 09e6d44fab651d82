// What loading the library costs a host: one dlopen of the given library in this fresh process,
// then the shared objects mapped with it; with --screenshot, the same after one ov_capture_screen
// (which opens the scaler's libraries when the display needs a reduction). bench/screen_load.sh
// runs it in 20 fresh processes per library and takes the median. With --shrink: the resident
// set after one screenshot of the display as it is (an 8192x8192 Xvfb), then after 20 more once
// `xrandr --output screen --mode m2880 --fb 2880x1800` has made it 2880x1800.
//   build/bench/library_load build/libOvraHelper.so.1 [--screenshot] [--list] [--shrink]
#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> loadedObjects() {
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            static_cast<std::vector<std::string>*>(out)->push_back(info->dlpi_name);
            return 0;
        },
        &names);
    return names;
}

// Video-acceleration and GPU stacks, and the scaler's own libraries.
bool heavy(const std::string& name) {
    for (const char* part :
         {"libva", "vdpau", "OpenCL", "libmfx", "libvpl", "libdrm", "libswscale", "libavutil"})
        if (name.find(part) != std::string::npos) return true;
    return false;
}

void report(const char* when, double ms) {
    const auto names = loadedObjects();
    size_t heavyCount = 0;
    for (const auto& n : names) heavyCount += heavy(n);
    std::printf("%s: %.2f ms, %zu objects mapped (%zu of them video/GPU/scaler)\n", when, ms,
                names.size(), heavyCount);
}

long residentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    bool screenshot = false, list = false, shrink = false;
    for (int i = 2; i < argc; ++i) {
        screenshot |= std::strcmp(argv[i], "--screenshot") == 0;
        list |= std::strcmp(argv[i], "--list") == 0;
        shrink |= std::strcmp(argv[i], "--shrink") == 0;
    }
    const auto start = std::chrono::steady_clock::now();
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    const auto loaded = std::chrono::steady_clock::now();
    if (!library) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    report("dlopen", std::chrono::duration<double, std::milli>(loaded - start).count());
    if (screenshot) {
        using Capture = int32_t (*)(uint8_t**, int32_t*);
        using Free = void (*)(uint8_t*);
        auto capture = reinterpret_cast<Capture>(dlsym(library, "ov_capture_screen"));
        auto release = reinterpret_cast<Free>(dlsym(library, "ov_free_buffer"));
        uint8_t* text = nullptr;
        int32_t length = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const int32_t result = capture(&text, &length);
        const auto t1 = std::chrono::steady_clock::now();
        if (result == 0) release(text);
        report(result == 0 ? "first screenshot" : "first screenshot FAILED",
               std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    if (shrink) {
        using Capture = int32_t (*)(uint8_t**, int32_t*);
        using Free = void (*)(uint8_t*);
        auto capture = reinterpret_cast<Capture>(dlsym(library, "ov_capture_screen"));
        auto release = reinterpret_cast<Free>(dlsym(library, "ov_free_buffer"));
        auto once = [&] {
            uint8_t* text = nullptr;
            int32_t length = 0;
            if (capture(&text, &length) == 0) release(text);
            return length;
        };
        const long before = residentKib();
        const int32_t hugeLength = once();
        const long afterHuge = residentKib();
        if (std::system("xrandr --output screen --mode m2880 --fb 2880x1800") != 0) return 1;
        int32_t length = 0;
        for (int i = 0; i < 20; ++i) length = once();
        std::printf(
            "resident set: %ld KiB before; +%ld KiB after one huge screenshot (%d chars); "
            "+%ld KiB after 20 more at 2880x1800 (%d chars)\n",
            before, afterHuge - before, hugeLength, residentKib() - before, length);
    }
    if (list)
        for (const auto& n : loadedObjects())
            std::printf("  %s\n", n.empty() ? "(main)" : n.c_str());
    return 0;
}
