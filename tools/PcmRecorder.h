// What a host does with the audio chunks: keeps them for a 16 kHz mono WAV file and follows
// their level for a meter. The data callback only appends under a short lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace ovra::tool {

class PcmRecorder {
  public:
    // The library's data callback; `user` is the recorder.
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        auto* self = static_cast<PcmRecorder*>(user);
        const auto* s = reinterpret_cast<const int16_t*>(data);
        const size_t n = size_t(std::max(bytes, 0)) / 2;
        int peak = 0;
        for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::abs(int(s[i])));
        std::lock_guard lock(self->mutex_);
        self->samples_.insert(self->samples_.end(), s, s + n);
        self->peak_ = std::max(self->peak_, peak);
    }
    // The status callback; `user` is the recorder.
    static void onStatus(int32_t status, void* user) {
        static_cast<PcmRecorder*>(user)->status_ = status;
    }

    int32_t status() const { return status_; }
    // Seconds of audio received so far.
    double seconds() {
        std::lock_guard lock(mutex_);
        return double(samples_.size()) / 16000.0;
    }
    // The loudest sample since the last call, in dBFS (-inf for silence), for a meter.
    double takePeakDb() {
        std::lock_guard lock(mutex_);
        const int peak = peak_;
        peak_ = 0;
        return peak > 0 ? 20 * std::log10(peak / 32768.0) : -INFINITY;
    }

    // Writes the samples as a 16-bit 16 kHz mono WAV file; false if it cannot.
    bool writeWav(const std::string& path) {
        std::lock_guard lock(mutex_);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) return false;
        const uint32_t data = uint32_t(samples_.size() * 2);
        auto u32 = [&](uint32_t v) {
            const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
            std::fwrite(b, 1, 4, f);
        };
        auto u16 = [&](uint16_t v) {
            const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
            std::fwrite(b, 1, 2, f);
        };
        std::fwrite("RIFF", 1, 4, f);
        u32(36 + data);
        std::fwrite("WAVEfmt ", 1, 8, f);
        u32(16);
        u16(1);          // PCM
        u16(1);          // mono
        u32(16000);      // rate
        u32(16000 * 2);  // bytes per second
        u16(2);          // bytes per frame
        u16(16);         // bits per sample
        std::fwrite("data", 1, 4, f);
        u32(data);
        // The chunks are little-endian already on every machine this runs on.
        const bool ok = std::fwrite(samples_.data(), 2, samples_.size(), f) == samples_.size();
        return std::fclose(f) == 0 && ok;
    }

  private:
    std::mutex mutex_;
    std::vector<int16_t> samples_;
    int peak_ = 0;
    std::atomic<int32_t> status_{1};  // 1: not answered yet (the library never sends it)
};

// A text meter for a peak level: "-12.3 dBFS |#########      |".
inline std::string levelMeter(double db, int width = 30) {
    const double floor = -60;
    const int filled =
        std::isfinite(db) ? std::clamp(int((db - floor) / -floor * width), 0, width) : 0;
    char number[16];
    if (std::isfinite(db))
        std::snprintf(number, sizeof number, "%6.1f", db);
    else
        std::snprintf(number, sizeof number, "  -inf");
    return std::string(number) + " dBFS |" + std::string(size_t(filled), '#') +
           std::string(size_t(width - filled), ' ') + "|";
}

}  // namespace ovra::tool
