// ovra-capture system-audio [--seconds N] [-o FILE]: records what the machine plays to a 16 kHz
// mono WAV file, with a live level meter and the elapsed time.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "Library.h"
#include "PcmRecorder.h"
#include "Recording.h"

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
    if (!readRecordingArgs("system-audio", args, seconds, path)) return 2;

    PcmRecorder recorder;
    // The status comes before the call returns.
    lib.startSystemAudio(PcmRecorder::onData, &recorder, PcmRecorder::onStatus, &recorder);
    if (recorder.status() != 0) {
        std::fprintf(stderr, "system-audio: %s (status %d)\n",
                     systemAudioStatusText(recorder.status()), recorder.status());
        return 1;
    }

    showWhileRecording(seconds, [&] { return levelMeter(recorder.takePeakDb()); });
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
