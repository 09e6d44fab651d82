// ovra-capture system-audio [--seconds N] [-o FILE]: records what the machine plays to a 16 kHz
// mono WAV file, with a live level meter and the elapsed time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "Library.h"
#include "PcmRecorder.h"

namespace ovra::tool {
namespace {

const char* systemAudioStatusText(int32_t status) {
    switch (status) {
        case 0:
            return "started";
        case -1:
            return "a system-audio capture is already running";
        case -3:
            return "start failed (the library's log above says why)";
        default:
            return "unknown status";
    }
}

int systemAudio(Library& lib, const std::vector<std::string>& args) {
    double seconds = 5;
    std::string path = "system-audio.wav";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--seconds" && i + 1 < args.size()) {
            seconds = std::atof(args[++i].c_str());
        } else if (args[i] == "-o" && i + 1 < args.size()) {
            path = args[++i];
        } else {
            std::fprintf(stderr, "system-audio: unexpected argument '%s'\n", args[i].c_str());
            return 2;
        }
    }
    if (!(seconds > 0)) {
        std::fprintf(stderr, "system-audio: --seconds needs a positive number\n");
        return 2;
    }

    PcmRecorder recorder;
    // The status comes before the call returns.
    lib.startSystemAudio(PcmRecorder::onData, &recorder, PcmRecorder::onStatus, &recorder);
    if (recorder.status() != 0) {
        std::fprintf(stderr, "system-audio: %s (status %d)\n",
                     systemAudioStatusText(recorder.status()), recorder.status());
        return 1;
    }

    const auto began = std::chrono::steady_clock::now();
    for (double elapsed = 0; elapsed < seconds;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::printf("\r\033[K%5.1f s  %s", std::min(elapsed, seconds),
                    levelMeter(recorder.takePeakDb()).c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
    std::fflush(stdout);  // the library's stopped line goes on a line of its own
    lib.stopSystemAudio();

    if (!recorder.writeWav(path)) {
        std::fprintf(stderr, "system-audio: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %.2f s of 16 kHz mono audio\n", path.c_str(), recorder.seconds());
    return 0;
}

const CommandRegistration registration{
    {"system-audio", "[--seconds N] [-o FILE]",
     "record what the machine plays for N seconds (default 5) into a 16 kHz mono WAV FILE "
     "(default system-audio.wav), with a level meter",
     systemAudio}};

}  // namespace
}  // namespace ovra::tool
