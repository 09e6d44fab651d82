// Notices audio the platform had to drop because the host's data callback fell behind, from the
// gaps in the cycles' sample times, and writes one line per episode once audio flows without gaps
// again. Audio thread only, one cycle at a time; no lock, and nothing allocated until a line is
// written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/Log.h"

namespace ovra {

class OverflowReport {
  public:
    // `prefix` is the kind's line prefix ("[tap] " or "[mic] ").
    explicit OverflowReport(const char* prefix) : prefix_(prefix) {}

    // One cycle of `frames` frames at `rate` whose first frame has `sampleTime`.
    void cycle(double sampleTime, uint32_t frames, double rate) {
        if (expected_ >= 0 && sampleTime > expected_ + 0.5) {
            episodeFrames_ += sampleTime - expected_;
        } else if (episodeFrames_ > 0) {
            char text[160];
            std::snprintf(
                text, sizeof text,
                "%sDropped %.0f frames (%.3f s) of audio: the data callback fell behind\n", prefix_,
                episodeFrames_, rate > 0 ? episodeFrames_ / rate : 0.0);
            logLine(text);
            totalFrames_ += episodeFrames_;
            episodeFrames_ = 0;
        }
        expected_ = sampleTime + frames;
    }
    // Frames dropped in the episodes already reported.
    double reportedFrames() const { return totalFrames_; }

  private:
    const char* const prefix_;
    double expected_ = -1;
    double episodeFrames_ = 0;
    double totalFrames_ = 0;
};

}  // namespace ovra
