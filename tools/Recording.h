// What the recording commands (mic, system-audio, all) share: their arguments and the loop that
// shows the elapsed time and the levels while they record.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "PcmRecorder.h"

namespace ovra::tool {

// Reads "[--seconds N] [-o OUT]" over the defaults in `seconds` and `out`; false, after saying
// why, on an argument it does not know or a duration that is not positive.
inline bool readRecordingArgs(const char* command, const std::vector<std::string>& args,
                              double& seconds, std::string& out) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--seconds" && i + 1 < args.size()) {
            seconds = std::atof(args[++i].c_str());
        } else if (args[i] == "-o" && i + 1 < args.size()) {
            out = args[++i];
        } else {
            std::fprintf(stderr, "%s: unexpected argument '%s'\n", command, args[i].c_str());
            return false;
        }
    }
    if (!(seconds > 0)) {
        std::fprintf(stderr, "%s: --seconds needs a positive number\n", command);
        return false;
    }
    return true;
}

// Waits for the microphone's status: with the permission already settled it comes before the
// start call returns; a request to the user would answer later.
inline void awaitMicStatus(const PcmRecorder& recorder) {
    const auto asked = std::chrono::steady_clock::now();
    while (recorder.status() == 1 &&
           std::chrono::steady_clock::now() - asked < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Every 100 ms for `seconds`: the lines `events` has (if given) above one line of the elapsed
// time and `meters`; `halfway` (if given) runs once halfway through. Ends the line, so that what
// the library says when the captures stop stands on a line of its own.
inline void showWhileRecording(double seconds, const std::function<std::string()>& meters,
                               const std::function<std::vector<std::string>()>& events = {},
                               const std::function<void()>& halfway = {}) {
    bool halfwayDone = !halfway;
    const auto began = std::chrono::steady_clock::now();
    for (double elapsed = 0; elapsed < seconds;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (!halfwayDone && elapsed >= seconds / 2) {
            halfway();
            halfwayDone = true;
        }
        if (events)
            for (const auto& event : events()) std::printf("\r\033[K%s\n", event.c_str());
        std::printf("\r\033[K%5.1f s  %s", std::min(elapsed, seconds), meters().c_str());
        std::fflush(stdout);
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace ovra::tool
