// ovra-capture screenshot [-o FILE] [-n COUNT]: takes screenshots through the library, writes the
// last one's JPEG and tells its size and how long the calls took.
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Base64.h"
#include "Command.h"
#include "Library.h"

namespace ovra::tool {
namespace {

struct JpegSize {
    int width = 0, height = 0;
};

std::optional<JpegSize> jpegSize(const std::vector<uint8_t>& jpeg) {
    tjhandle h = tjInitDecompress();
    if (!h) return std::nullopt;
    JpegSize s;
    int subsampling = 0, colorspace = 0;
    const bool ok = tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &s.width, &s.height,
                                        &subsampling, &colorspace) == 0;
    tjDestroy(h);
    return ok ? std::optional(s) : std::nullopt;
}

int screenshot(Library& lib, const std::vector<std::string>& args) {
    std::string path = "shot.jpg";
    int count = 1;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && i + 1 < args.size()) {
            path = args[++i];
        } else if (args[i] == "-n" && i + 1 < args.size()) {
            count = std::max(1, std::atoi(args[++i].c_str()));
        } else {
            std::fprintf(stderr, "screenshot: unexpected argument '%s'\n", args[i].c_str());
            return 2;
        }
    }

    std::vector<double> millis;
    std::vector<uint8_t> text;
    for (int i = 0; i < count; ++i) {
        uint8_t* buffer = nullptr;
        int32_t length = 0;
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = lib.captureScreen(&buffer, &length);
        millis.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (result != 0) {
            std::fprintf(stderr, "screenshot: ov_capture_screen returned %d\n", result);
            return 1;
        }
        text.assign(buffer, buffer + length);
        lib.freeBuffer(buffer);
    }

    const auto jpeg = decodeBase64(text);
    const auto size = jpeg ? jpegSize(*jpeg) : std::nullopt;
    if (!size) {
        std::fprintf(stderr, "screenshot: the text is not Base64 of a JPEG\n");
        return 1;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(jpeg->data(), 1, jpeg->size(), f) != jpeg->size() || std::fclose(f)) {
        std::fprintf(stderr, "screenshot: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %dx%d JPEG, %zu bytes (%zu Base64 characters)\n", path.c_str(), size->width,
                size->height, jpeg->size(), text.size());
    if (count == 1) {
        std::printf("ov_capture_screen took %.1f ms\n", millis[0]);
    } else {
        // The first call also connects to the display and sets up the scaler: shown apart.
        std::vector<double> rest(millis.begin() + 1, millis.end());
        std::sort(rest.begin(), rest.end());
        std::printf(
            "ov_capture_screen: first call %.1f ms; the next %zu: median %.1f ms, fastest %.1f "
            "ms, slowest %.1f ms\n",
            millis[0], rest.size(), rest[rest.size() / 2], rest.front(), rest.back());
    }
    return 0;
}

const CommandRegistration registration{
    {"screenshot", "[-o FILE] [-n COUNT]",
     "capture the main display, write the JPEG to FILE (default shot.jpg) and print its size and "
     "the call's duration; with -n, the first call and the median of the others",
     screenshot}};

}  // namespace
}  // namespace ovra::tool
