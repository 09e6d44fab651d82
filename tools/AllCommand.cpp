// ovra-capture all [--seconds N] [-o DIR]: what a host does with everything at once: records
// system audio and the microphone side by side, each through its own callbacks, and takes a
// screenshot halfway through.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Base64.h"
#include "Command.h"
#include "Library.h"
#include "MicDeviceWatch.h"
#include "PcmRecorder.h"
#include "Recording.h"

namespace ovra::tool {
namespace {

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The screenshot as JPEG bytes; empty when the library reports failure.
std::vector<uint8_t> screenshot(Library& lib) {
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    if (lib.captureScreen(&buffer, &length) != 0) return {};
    std::vector<uint8_t> text(buffer, buffer + length);
    lib.freeBuffer(buffer);
    return decodeBase64(text).value_or(std::vector<uint8_t>{});
}

int all(Library& lib, const std::vector<std::string>& args) {
    double seconds = 5;
    std::string dir = ".";
    if (!readRecordingArgs("all", args, seconds, dir)) return 2;
    mkdir(dir.c_str(), 0755);

    PcmRecorder system, microphone;
    MicDeviceWatch watch;
    lib.startSystemAudio(PcmRecorder::onData, &system, PcmRecorder::onStatus, &system);
    lib.startMic(PcmRecorder::onData, &microphone, PcmRecorder::onStatus, &microphone);
    awaitMicStatus(microphone);
    std::printf("system audio: status %d, microphone: status %d\n", system.status(),
                microphone.status());

    std::vector<uint8_t> jpeg;
    showWhileRecording(
        seconds,
        [&] {
            return "system " + levelMeter(system.takePeakDb(), 15) + "  mic " +
                   levelMeter(microphone.takePeakDb(), 15);
        },
        [&] { return watch.takeEvents(); }, [&] { jpeg = screenshot(lib); });
    lib.stopSystemAudio();
    lib.stopMic();

    int failures = 0;
    auto report = [&](PcmRecorder& r, const std::string& name) {
        const std::string path = dir + "/" + name;
        if (r.status() != 0) {
            std::printf("%s: not recorded (status %d)\n", path.c_str(), r.status());
            ++failures;
        } else if (!r.writeWav(path)) {
            std::printf("%s: cannot write\n", path.c_str());
            ++failures;
        } else {
            std::printf("%s: %.2f s of 16 kHz mono audio\n", path.c_str(), r.seconds());
        }
    };
    report(system, "system.wav");
    report(microphone, "mic.wav");
    const std::string shotPath = dir + "/shot.jpg";
    if (jpeg.empty() || !writeFile(shotPath, jpeg)) {
        std::printf("%s: no screenshot\n", shotPath.c_str());
        ++failures;
    } else {
        std::printf("%s: %zu bytes of JPEG\n", shotPath.c_str(), jpeg.size());
    }
    return failures == 0 ? 0 : 1;
}

const CommandRegistration registration{
    {"all", "[--seconds N] [-o DIR]",
     "record system audio and the microphone for N seconds (default 5) into DIR/system.wav and "
     "DIR/mic.wav, and take DIR/shot.jpg halfway through",
     all}};

}  // namespace
}  // namespace ovra::tool
