// System audio and the microphone at the same time, each through its own callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "e2e/MicHost.h"
#include "e2e/MicSignal.h"
#include "e2e/PulseServer.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

struct SystemAudioHost {
    static void onData(const uint8_t* data, int32_t bytes, void* user) {
        auto* self = static_cast<SystemAudioHost*>(user);
        std::lock_guard lock(self->mutex);
        const auto* s = reinterpret_cast<const int16_t*>(data);
        self->samples.insert(self->samples.end(), s, s + bytes / 2);
    }
    static void onStatus(int32_t status, void* user) {
        static_cast<SystemAudioHost*>(user)->status = status;
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return samples.size();
    }
    std::vector<int16_t> last(size_t n) {
        std::lock_guard lock(mutex);
        n = std::min(n, samples.size());
        return {samples.end() - std::ptrdiff_t(n), samples.end()};
    }
    std::mutex mutex;
    std::vector<int16_t> samples;
    std::atomic<int32_t> status{99};
};

}  // namespace

TEST(MicWithSystemAudio, EachCaptureHearsItsOwnSourceThroughItsOwnCallbacks) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    ASSERT_GE(server.addMicrophone("mic1", 44100, 1), 0);
    server.play(server.makeTone("t440", {.frequency = 440, .rate = 44100, .channels = 1}),
                "mic1.sink");
    server.play(server.makeTone("t1000", {.frequency = 1000}), "speakers");

    SystemAudioHost system;
    MicHost mic;
    testing::internal::CaptureStderr();
    Library::get().startSystemAudio(SystemAudioHost::onData, &system, SystemAudioHost::onStatus,
                                    &system);
    mic.start();
    EXPECT_EQ(system.status, 0);
    EXPECT_EQ(mic.statusCodes(), std::vector<int32_t>{0});

    ASSERT_TRUE(waitUntil([&] { return system.count() >= 16000 && mic.sampleCount() >= 16000; }));
    std::this_thread::sleep_for(500ms);
    const auto heardBySystem = system.last(8000);
    const auto heardByMic = mic.lastSamples(8000);
    EXPECT_EQ(strongestFrequency(heardBySystem, 16000.0, 200, 2000, 32768.0), 1000);
    EXPECT_EQ(strongestFrequency(heardByMic, 16000.0, 200, 2000, 32768.0), 440);
    EXPECT_LT(int16ToneAmplitude(heardByMic, 1000), 0.01) << "the speakers do not leak in";

    // Stopping one leaves the other running.
    Library::get().stopSystemAudio();
    const size_t micBefore = mic.sampleCount();
    EXPECT_TRUE(waitUntil([&] { return mic.sampleCount() > micBefore + 8000; }));
    mic.stop();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(mic.wrongUser, 0);
}
