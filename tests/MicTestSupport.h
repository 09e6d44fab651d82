// What the microphone tests share: a fresh simulated platform per test, tones, written lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OvraHelper.h"
#include "platform/NotificationCenter.h"
#include "platform/sim/SimAudioEngine.h"
#include "platform/sim/SimPermission.h"
#include "platform/sim/SimPlatform.h"
#include "support/RecordingHost.h"

namespace ovra::test {

// Callbacks for starts whose data does not matter; `codes` is a std::vector<int32_t>.
inline void ignoreData(const uint8_t*, int32_t, void*) {}
inline void recordStatus(int32_t code, void* codes) {
    static_cast<std::vector<int32_t>*>(codes)->push_back(code);
}

inline std::vector<float> tone(double hz, double amplitude, double rate, uint64_t start,
                               uint32_t frames) {
    std::vector<float> out(frames);
    for (uint32_t i = 0; i < frames; ++i)
        out[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * double(start + i) / rate));
    return out;
}

// The lines `call` writes to standard error, each with its "\n".
inline std::vector<std::string> linesOf(const std::function<void()>& call) {
    testing::internal::CaptureStderr();
    call();
    const std::string text = testing::internal::GetCapturedStderr();
    std::vector<std::string> out;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size() - 1);
        out.push_back(text.substr(at, end - at + 1));
    }
    return out;
}

inline void postConfigurationChange(Platform& platform, const sim::SimAudioEngine& engine) {
    platform.notificationCenter().post(kAudioEngineConfigurationChangeNotification,
                                       engine.notificationObject());
}

// The lines written when `threads` threads of the test's own post a change at once, as
// platform notifiers would.
inline std::vector<std::string> postFromThreads(Platform& platform,
                                                const sim::SimAudioEngine& engine,
                                                int threads = 1) {
    std::atomic<int> ready{0};
    return linesOf([&] {
        std::vector<std::jthread> posting;
        for (int i = 0; i < threads; ++i)
            posting.emplace_back([&] {
                for (++ready; ready < threads;) std::this_thread::yield();
                postConfigurationChange(platform, engine);
            });
    });
}

inline std::string permissionLine(int64_t status) {
    return "[mic] Permission status: " + std::to_string(status) +
           " (0=notDetermined, 1=restricted, 2=denied, 3=authorized)\n";
}

// The standard-error lines of a start at `rate` on a device with `channels` channels.
inline std::vector<std::string> startLines(const std::string& rate, int channels = 1,
                                           int common = 1) {
    return {"[mic] AVAudioEngine input format: " + rate + "Hz, " + std::to_string(channels) +
                "ch, " + std::to_string(common) + "\n",
            "[mic] Tap format (mono): " + rate + "Hz, 1ch\n",
            "[mic] Microphone capture started (AVAudioEngine)\n"};
}

inline std::vector<std::string> concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The recorded failure text, as ov_get_last_mic_error hands it out; nullopt for none.
inline std::optional<std::string> lastError() {
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);  // overwritten on every path
    int32_t length = -1;
    ov_get_last_mic_error(&buffer, &length);
    if (!buffer) {
        EXPECT_EQ(length, 0);
        return std::nullopt;
    }
    EXPECT_EQ(buffer[length], 0);  // n bytes and a 0, in a block of n + 1
    std::string text(reinterpret_cast<const char*>(buffer), size_t(length));
    ov_free_buffer(buffer);
    return text;
}

// Every test starts on a fresh simulated platform and leaves no microphone running.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { fresh(); }
    void TearDown() override { linesOf(ov_stop_mic); }
    // Stops any session and starts over on a new platform, for each row of a table.
    void fresh() {
        linesOf(ov_stop_mic);
        platform = std::make_shared<sim::SimPlatform>();
        installPlatform(platform);
        engines().setInputFormat(sim::simInputFormat(48000, 1));
    }
    void expectAllTornDown(size_t observersLeft = 0) {
        for (auto& e : engines().all())
            EXPECT_FALSE(e->isRunning() || e->hasTap()) << "engine " << e->number();
        EXPECT_EQ(observers(), observersLeft);
    }
    sim::SimAudioEngines& engines() { return platform->engines(); }
    sim::SimAudioHardware& hardware() { return platform->hardware(); }
    sim::SimPermission& permission() { return platform->permission(); }
    sim::SimJournal& journal() { return platform->journal(); }
    size_t observers() { return platform->notificationCenter().observerCount(); }
    // The capacities of the output buffers the tap blocks asked for, refused or not.
    std::vector<uint32_t> bufferCapacities() {
        std::vector<uint32_t> out;
        for (const auto& e : journal().entriesStartingWith("makeBuffer "))
            out.push_back(uint32_t(std::stoul(e.substr(e.find("capacity=") + 9))));
        return out;
    }

    std::shared_ptr<sim::SimPlatform> platform;
};

}  // namespace ovra::test
