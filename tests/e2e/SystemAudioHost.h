// What a host application sees of system audio: its data and status callbacks, recorded.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/Library.h"

namespace ovra::e2e {

class SystemAudioHost {
  public:
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        auto* self = static_cast<SystemAudioHost*>(user);
        if (self->stopReturned) ++self->callsAfterStop;
        if (self->magic != kMagic) ++self->wrongUser;
        if (bytes <= 0 || bytes % 2 != 0) ++self->badSizes;
        {
            std::lock_guard lock(self->mutex_);
            const size_t n = size_t(std::max(bytes, 0)) / 2;
            const size_t at = self->samples_.size();
            self->samples_.resize(at + n);
            std::memcpy(self->samples_.data() + at, data, n * 2);
        }
        if (++self->chunks == 3 && self->stopInsideCallback) {
            Library::get().stopSystemAudio();
            self->stopFromCallbackReturned = true;
        }
    }
    static void onStatus(int32_t status, void* user) {
        auto* self = static_cast<SystemAudioHost*>(user);
        std::lock_guard lock(self->mutex_);
        self->statuses_.push_back(status);
    }

    void start() { Library::get().startSystemAudio(onData, this, onStatus, this); }
    void stop() {
        Library::get().stopSystemAudio();
        stopReturned = true;
    }

    size_t sampleCount() {
        std::lock_guard lock(mutex_);
        return samples_.size();
    }
    std::vector<int16_t> samplesSince(size_t from) {
        std::lock_guard lock(mutex_);
        from = std::min(from, samples_.size());
        return {samples_.begin() + std::ptrdiff_t(from), samples_.end()};
    }
    std::vector<int32_t> statusCodes() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    // Waits until at least `n` samples have come.
    bool waitForSamples(size_t n, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (sampleCount() < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    static constexpr uint64_t kMagic = 0x7379736175646931;
    uint64_t magic = kMagic;
    std::atomic<bool> stopInsideCallback{false};
    std::atomic<bool> stopFromCallbackReturned{false};
    std::atomic<bool> stopReturned{false};
    std::atomic<int> callsAfterStop{0};
    std::atomic<int> wrongUser{0};
    std::atomic<int> badSizes{0};
    std::atomic<int> chunks{0};

  private:
    std::mutex mutex_;
    std::vector<int16_t> samples_;
    std::vector<int32_t> statuses_;
};

// Runs `f` with standard error going to a string; returns that string's lines.
template <class F>
std::vector<std::string> stderrLinesOf(F f) {
    testing::internal::CaptureStderr();
    f();
    const std::string text = testing::internal::GetCapturedStderr();
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        lines.push_back(text.substr(from, nl - from));
    return lines;
}

}  // namespace ovra::e2e
