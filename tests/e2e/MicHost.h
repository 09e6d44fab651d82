// What a host application sees of the microphone: its data and status callbacks, recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "e2e/Library.h"

namespace ovra::e2e {

class MicHost {
  public:
    // The data callback: keeps the samples, and notes anything a host must never see.
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        auto* self = static_cast<MicHost*>(user);
        if (self->stopReturned) ++self->callsAfterStop;
        if (self->magic != kMagic) ++self->wrongUser;
        if (bytes <= 0 || bytes % 2 != 0) ++self->badSizes;
        std::lock_guard lock(self->mutex);
        const size_t n = size_t(std::max(bytes, 0)) / 2;
        const size_t at = self->samples.size();
        self->samples.resize(at + n);
        std::memcpy(self->samples.data() + at, data, n * 2);
        ++self->chunks;
        if (self->stopInsideCallback && self->chunks == 3) {
            Library::get().stopMic();
            self->stopFromCallbackReturned = true;
        }
    }
    static void onStatus(int32_t status, void* user) {
        auto* self = static_cast<MicHost*>(user);
        std::lock_guard lock(self->mutex);
        self->statuses.push_back(status);
    }

    void start() { Library::get().startMic(onData, this, onStatus, this); }
    void stop() {
        Library::get().stopMic();
        stopReturned = true;
    }

    size_t sampleCount() {
        std::lock_guard lock(mutex);
        return samples.size();
    }
    std::vector<int16_t> lastSamples(size_t n) {
        std::lock_guard lock(mutex);
        n = std::min(n, samples.size());
        return {samples.end() - std::ptrdiff_t(n), samples.end()};
    }
    std::vector<int32_t> statusCodes() {
        std::lock_guard lock(mutex);
        return statuses;
    }
    // Waits until no chunk has arrived for `quiet`; false if chunks still flow after `timeout`.
    bool waitForSilence(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        size_t seen = sampleCount();
        auto since = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const size_t now = sampleCount();
            if (now != seen) {
                seen = now;
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since >= quiet) {
                return true;
            }
        }
        return false;
    }

    static constexpr uint64_t kMagic = 0x6f7672616d696331;
    uint64_t magic = kMagic;
    std::atomic<bool> stopInsideCallback{false};
    std::atomic<bool> stopFromCallbackReturned{false};
    std::atomic<bool> stopReturned{false};
    std::atomic<int> callsAfterStop{0};
    std::atomic<int> wrongUser{0};
    std::atomic<int> badSizes{0};
    std::atomic<int> chunks{0};

  private:
    std::mutex mutex;
    std::vector<int16_t> samples;
    std::vector<int32_t> statuses;
};

// The lines of a captured standard error, in order.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(text.substr(from, nl - from));
    return lines;
}

// Whether `expected` appear in `lines` in this order, each right after the previous.
inline bool containsRun(const std::vector<std::string>& lines,
                        const std::vector<std::string>& expected) {
    for (size_t i = 0; i + expected.size() <= lines.size(); ++i) {
        bool all = true;
        for (size_t k = 0; k < expected.size() && all; ++k) all = lines[i + k] == expected[k];
        if (all) return true;
    }
    return false;
}

inline size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return size_t(std::count(lines.begin(), lines.end(), line));
}

}  // namespace ovra::e2e
