// ovra-capture mic [--seconds N] [-o FILE]: records the microphone to a 16 kHz mono WAV file,
// with a live level meter and a line whenever the capture moves to another input device.
#include <cstdio>
#include <string>
#include <vector>

#include "Command.h"
#include "Library.h"
#include "MicDeviceWatch.h"
#include "PcmRecorder.h"
#include "Recording.h"

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
    if (!readRecordingArgs("mic", args, seconds, path)) return 2;

    PcmRecorder recorder;
    MicDeviceWatch watch;
    lib.startMic(PcmRecorder::onData, &recorder, PcmRecorder::onStatus, &recorder);
    awaitMicStatus(recorder);
    if (recorder.status() != 0) {
        const std::string error = lastMicError(lib);
        watch.print("mic: " + std::string(micStatusText(recorder.status())) + " (status " +
                    std::to_string(recorder.status()) + ")" + (error.empty() ? "" : ": " + error) +
                    "\n");
        return 1;
    }

    showWhileRecording(
        seconds, [&] { return levelMeter(recorder.takePeakDb()); },
        [&] { return watch.takeEvents(); });
    lib.stopMic();
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
