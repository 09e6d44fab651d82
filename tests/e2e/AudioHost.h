// What a host application sees of system audio or the microphone: its data and status callbacks
// recorded, and the library's standard error as lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Library.h"
#include "e2e/ChildProcess.h"
#include "e2e/PulseServer.h"
#include "e2e/XvfbServer.h"
#include "support/ToneAnalysis.h"

namespace ovra::e2e {

using namespace ovra::test;  // the tone analysis
using ovra::Library;         // for the tests that name it through `using namespace ovra::e2e`

// A test with a private server that the library in this process uses, of the kind the test is
// instantiated with (OVRA_ON_BOTH_SERVERS), with `microphones` declared from its start.
class WithSoundServer : public testing::TestWithParam<ServerKind> {
  protected:
    explicit WithSoundServer(std::vector<DeclaredMicrophone> microphones = {})
        : server(GetParam(), std::move(microphones)) {}
    void SetUp() override {
        ASSERT_TRUE(server.ok()) << serverName(GetParam()) << " did not come up";
        server.useInThisProcess();
    }
    bool onPipeWire() const { return GetParam() == ServerKind::pipewire; }
    SoundServer server;
};

// For tests about the library itself rather than the server, a host's usual surroundings on one
// private PulseAudio: the declared "mic1" (so the default source) with a 440 Hz tone on it, a
// 1000 Hz tone on "speakers", each five minutes long, and a 640x480 Xvfb in DISPLAY.
class WithHostAudio : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        server.useInThisProcess();
        server.playTone("mic1.sink", {.frequency = 440, .seconds = 300, .channels = 1});
        server.playTone("speakers", {.frequency = 1000, .seconds = 300});
        ASSERT_TRUE(display.ready());
        setenv("DISPLAY", display.display().c_str(), 1);
    }
    SoundServer server{ServerKind::pulseaudio, {{"mic1", 48000, 1}}};
    XvfbServer display{640, 480};
};

#define OVRA_ON_BOTH_SERVERS(Suite)                                                          \
    INSTANTIATE_TEST_SUITE_P(                                                                \
        , Suite,                                                                             \
        testing::Values(ovra::e2e::ServerKind::pulseaudio, ovra::e2e::ServerKind::pipewire), \
        [](const auto& info) { return ovra::e2e::serverName(info.param); })

enum class Capture { systemAudio, mic };

class AudioHost {
  public:
    explicit AudioHost(Capture capture) : capture_(capture) {}
    // A capture it started and did not stop (a test that failed early) ends before its host.
    ~AudioHost() {
        if (!stopReturned && !stopFromCallbackReturned && statusCodes() == std::vector<int32_t>{0})
            stopCapture();
    }

    // Keeps the samples, and notes anything a host must never see.
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        auto* self = static_cast<AudioHost*>(user);
        if (self->stopReturned) ++self->callsAfterStop;
        if (const int ms = self->delayMs.exchange(self->steadyDelayMs); ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (bytes <= 0 || bytes % 2 != 0) ++self->badSizes;
        {
            std::lock_guard lock(self->mutex_);
            const size_t n = size_t(std::max(bytes, 0)) / 2, at = self->samples_.size();
            self->samples_.resize(at + n);
            std::memcpy(self->samples_.data() + at, data, n * 2);
        }
        if (++self->chunks == 3 && self->stopInsideCallback) {
            self->stopCapture();
            self->stopFromCallbackReturned = true;
        }
    }
    static void onStatus(int32_t status, void* user) {
        auto* self = static_cast<AudioHost*>(user);
        std::lock_guard lock(self->mutex_);
        self->statuses_.push_back(status);
    }

    void start() {
        const auto& lib = Library::get();
        (capture_ == Capture::mic ? lib.startMic : lib.startSystemAudio)(onData, this, onStatus,
                                                                         this);
    }
    void stop() {
        stopCapture();
        stopReturned = true;
    }

    size_t sampleCount() {
        std::lock_guard lock(mutex_);
        return samples_.size();
    }
    std::vector<int16_t> samplesSince(size_t from) {
        std::lock_guard lock(mutex_);
        return {samples_.begin() + std::ptrdiff_t(std::min(from, samples_.size())), samples_.end()};
    }
    std::vector<int16_t> lastSamples(size_t n) {
        const size_t count = sampleCount();
        return samplesSince(count > n ? count - n : 0);
    }
    std::vector<int32_t> statusCodes() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    // Waits until the last quarter second of what came after sample `from` has `hz` at -20 dBFS
    // or more (other tones may be there too).
    bool hears(double hz, size_t from = 0,
               std::chrono::milliseconds within = std::chrono::milliseconds(5000)) {
        return waitUntil(
            [&] {
                const auto heard = samplesSince(from);
                return heard.size() >= 4000 &&
                       toneAmplitude({heard.end() - 4000, heard.end()}, hz) > 0.1;
            },
            within);
    }
    bool waitForSamples(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitUntil([&] { return sampleCount() >= n; }, timeout);
    }

    std::atomic<bool> stopInsideCallback{false}, stopFromCallbackReturned{false},
        stopReturned{false};
    std::atomic<int> callsAfterStop{0}, badSizes{0}, chunks{0};
    // How long the next callback takes, and every one after it: a slow host.
    std::atomic<int> delayMs{0}, steadyDelayMs{0};

  private:
    void stopCapture() {
        (capture_ == Capture::mic ? Library::get().stopMic : Library::get().stopSystemAudio)();
    }

    Capture capture_;
    std::mutex mutex_;
    std::vector<int16_t> samples_;
    std::vector<int32_t> statuses_;
};

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

// Whether `expected` appear in `lines` in this order, each right after the previous.
inline bool containsRun(const std::vector<std::string>& lines,
                        const std::vector<std::string>& expected) {
    return std::search(lines.begin(), lines.end(), expected.begin(), expected.end()) != lines.end();
}

// Entries in a folder: in /proc/self/fd and /proc/self/task, the descriptors and threads.
inline size_t entriesIn(const char* folder) {
    return size_t(std::distance(std::filesystem::directory_iterator(folder),
                                std::filesystem::directory_iterator()));
}

}  // namespace ovra::e2e
