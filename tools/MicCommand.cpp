// ovra-capture mic [--seconds N] [-o FILE]: records the microphone to a 16 kHz mono WAV file,
// with a live level meter and a line whenever the capture moves to another input device.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "Library.h"
#include "MicDeviceWatch.h"
#include "PcmRecorder.h"

namespace ovra::tool {
namespace {

const char* micStatusText(int32_t status) {
    switch (status) {
        case 0:
            return "started";
        case -1:
            return "a microphone capture is already running";
        case -2:
            return "no microphone input device";
        case -3:
            return "start failed";
        case -4:
            return "microphone permission refused";
        case -5:
            return "the audio engine failed to start";
        default:
            return "unknown status";
    }
}

std::string lastMicError(Library& lib) {
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    lib.getLastMicError(&buffer, &length);
    std::string text = buffer ? std::string(reinterpret_cast<char*>(buffer), size_t(length)) : "";
    lib.freeBuffer(buffer);
    return text;
}

int mic(Library& lib, const std::vector<std::string>& args) {
    double seconds = 5;
    std::string path = "mic.wav";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--seconds" && i + 1 < args.size()) {
            seconds = std::atof(args[++i].c_str());
        } else if (args[i] == "-o" && i + 1 < args.size()) {
            path = args[++i];
        } else {
            std::fprintf(stderr, "mic: unexpected argument '%s'\n", args[i].c_str());
            return 2;
        }
    }
    if (!(seconds > 0)) {
        std::fprintf(stderr, "mic: --seconds needs a positive number\n");
        return 2;
    }

    PcmRecorder recorder;
    MicDeviceWatch watch;
    lib.startMic(PcmRecorder::onData, &recorder, PcmRecorder::onStatus, &recorder);
    // With the permission already settled the answer comes before the call returns; a request
    // to the user would answer later.
    const auto asked = std::chrono::steady_clock::now();
    while (recorder.status() == 1 &&
           std::chrono::steady_clock::now() - asked < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (recorder.status() != 0) {
        const std::string error = lastMicError(lib);
        watch.print("mic: " + std::string(micStatusText(recorder.status())) + " (status " +
                    std::to_string(recorder.status()) + ")" + (error.empty() ? "" : ": " + error) +
                    "\n");
        return 1;
    }

    const auto began = std::chrono::steady_clock::now();
    for (double elapsed = 0; elapsed < seconds;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        for (const auto& event : watch.takeEvents()) std::printf("\r\033[K%s\n", event.c_str());
        std::printf("\r\033[K%5.1f s  %s", std::min(elapsed, seconds),
                    levelMeter(recorder.takePeakDb()).c_str());
        std::fflush(stdout);
    }
    lib.stopMic();
    std::printf("\n");
    for (const auto& event : watch.takeEvents()) std::printf("%s\n", event.c_str());

    if (!recorder.writeWav(path)) {
        watch.print("mic: cannot write " + path + "\n");
        return 1;
    }
    std::printf("%s: %.2f s of 16 kHz mono audio\n", path.c_str(), recorder.seconds());
    return 0;
}

const CommandRegistration registration{
    {"mic", "[--seconds N] [-o FILE]",
     "record the microphone for N seconds (default 5) into a 16 kHz mono WAV FILE (default "
     "mic.wav), with a level meter and a line when the input device changes",
     mic}};

}  // namespace
}  // namespace ovra::tool
