// What the microphone tests share: a simulated platform whose audio facilities can count and
// refuse, a host that records everything the library tells it, tones and their measurement.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OvraHelper.h"
#include "platform/NotificationCenter.h"
#include "platform/audio/AudioFacilities.h"
#include "platform/sim/SimAudioEngine.h"
#include "platform/sim/SimPermission.h"
#include "platform/sim/SimPlatform.h"

namespace ovra::test {

// The real facilities, with a count of output buffers made and refusals on demand.
class MicFacilities : public AudioFacilities {
  public:
    std::shared_ptr<PCMBuffer> makeBuffer(std::shared_ptr<const AudioFormat> format,
                                          uint32_t frameCapacity) override {
        std::lock_guard lock(mutex);
        capacities.push_back(frameCapacity);
        if (refuseBuffers > 0) {
            --refuseBuffers;
            return nullptr;
        }
        return AudioFacilities::makeBuffer(std::move(format), frameCapacity);
    }
    std::shared_ptr<AudioConverter> makeConverter(std::shared_ptr<const AudioFormat> from,
                                                  std::shared_ptr<const AudioFormat> to) override {
        if (refuseConverter.exchange(false)) return nullptr;
        return AudioFacilities::makeConverter(std::move(from), std::move(to));
    }
    std::vector<uint32_t> bufferCapacities() {
        std::lock_guard lock(mutex);
        return capacities;
    }

    std::atomic<bool> refuseConverter{false};
    int refuseBuffers = 0;  // under mutex

    std::mutex mutex;

  private:
    std::vector<uint32_t> capacities;
};

class MicPlatform : public sim::SimPlatform {
  public:
    AudioFacilities& audioFacilities() override { return micFacilities; }
    MicFacilities micFacilities;
};

inline std::shared_ptr<MicPlatform> installMicPlatform() {
    auto p = std::make_shared<MicPlatform>();
    installPlatform(p);
    return p;
}

// A host: records status calls and chunks, with the user pointers and threads they came with.
class MicHost {
  public:
    struct StatusCall {
        int32_t status;
        void* user;
        std::thread::id thread;
    };

    void start() { ov_start_mic(onData, dataUser(), onStatus, statusUser()); }
    void* dataUser() { return this; }
    void* statusUser() { return &statusBox_; }

    // Called on each chunk, after it was recorded, on the delivering thread.
    std::function<void(MicHost&)> onChunk;

    std::vector<StatusCall> statuses() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    bool waitForStatuses(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return statuses_.size() >= n; });
    }
    bool waitForChunks(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return chunkBytes_.size() >= n; });
    }
    std::vector<int16_t> samples() {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    std::vector<int32_t> chunkBytes() {
        std::lock_guard lock(mutex_);
        return chunkBytes_;
    }
    size_t chunkCount() {
        std::lock_guard lock(mutex_);
        return chunkBytes_.size();
    }
    // Calls whose user pointer was not one that a host gave (or whose host was gone).
    static inline std::atomic<int> strayCalls{0};
    ~MicHost() { magic_ = 0; }

  private:
    struct StatusBox {
        MicHost* host;
    };
    static void onData(const uint8_t* data, int32_t bytes, void* user);
    static void onStatus(int32_t status, void* user);

    static constexpr uint64_t kMagic = 0x4d6963486f7374;
    uint64_t magic_ = kMagic;
    StatusBox statusBox_{this};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<StatusCall> statuses_;
    std::vector<int16_t> samples_;
    std::vector<int32_t> chunkBytes_;
};

inline void MicHost::onData(const uint8_t* data, int32_t bytes, void* user) {
    MicHost& host = *static_cast<MicHost*>(user);
    if (host.magic_ != kMagic) {
        ++strayCalls;
        return;
    }
    {
        std::lock_guard lock(host.mutex_);
        host.chunkBytes_.push_back(bytes);
        const size_t old = host.samples_.size();
        host.samples_.resize(old + size_t(bytes) / 2);
        std::memcpy(host.samples_.data() + old, data, size_t(bytes) / 2 * 2);
    }
    host.changed_.notify_all();
    if (host.onChunk) host.onChunk(host);
}

inline void MicHost::onStatus(int32_t status, void* user) {
    MicHost& host = *static_cast<StatusBox*>(user)->host;
    if (host.magic_ != kMagic) {
        ++strayCalls;
        return;
    }
    {
        std::lock_guard lock(host.mutex_);
        host.statuses_.push_back({status, user, std::this_thread::get_id()});
    }
    host.changed_.notify_all();
}

// `frames` frames of a sine tone at `rate`, continuing from frame `start`.
inline std::vector<float> tone(double hz, double amplitude, double rate, uint64_t start,
                               uint32_t frames) {
    std::vector<float> out(frames);
    for (uint32_t i = 0; i < frames; ++i)
        out[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * double(start + i) / rate));
    return out;
}

// Feeds `seconds` of a tone to `engine` in buffers of `frames` frames.
inline void feedTone(sim::SimAudioEngine& engine, double hz, double amplitude, double rate,
                     double seconds, uint32_t frames = 4096) {
    const auto total = uint64_t(seconds * rate);
    for (uint64_t at = 0; at < total; at += frames)
        ASSERT_TRUE(engine.feed(tone(hz, amplitude, rate, at, frames)));
}

// Frequency of a steady tone from its rising zero crossings, interpolated between samples.
inline double measuredFrequency(const std::vector<int16_t>& pcm, size_t from, size_t to,
                                double rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (pcm[i - 1] < 0 && pcm[i] >= 0) {
            const double at = double(i - 1) + double(-pcm[i - 1]) / double(pcm[i] - pcm[i - 1]);
            if (first < 0)
                first = at;
            else
                ++crossings;
            last = at;
        }
    }
    return crossings > 0 ? rate * crossings / (last - first) : 0;
}

// Peak amplitude (1.0 = full scale) of a steady sine tone, from its RMS.
inline double measuredAmplitude(const std::vector<int16_t>& pcm, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(pcm[i]) * pcm[i];
    return std::sqrt(sum / double(to - from)) * std::numbers::sqrt2 / 32768.0;
}

// Splits captured standard error into its lines, each with its "\n".
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            out.push_back(text.substr(at));
            break;
        }
        out.push_back(text.substr(at, end - at + 1));
        at = end + 1;
    }
    return out;
}

inline std::vector<std::string> journalWithout(const sim::SimJournal& journal,
                                               const std::string& prefix) {
    std::vector<std::string> out;
    for (auto& e : journal.entries())
        if (e.compare(0, prefix.size(), prefix) != 0) out.push_back(e);
    return out;
}

inline void postConfigurationChange(Platform& platform, const sim::SimAudioEngine& engine) {
    platform.notificationCenter().post(kAudioEngineConfigurationChangeNotification,
                                       engine.notificationObject());
}

// Posts from a thread of the test's own, as a platform notifier would, and waits for it.
inline void postFromOtherThread(Platform& platform, const sim::SimAudioEngine& engine) {
    std::thread([&] { postConfigurationChange(platform, engine); }).join();
}

// The standard-error lines of a start at `rate` on a device with `channels` channels.
inline std::vector<std::string> startLines(const std::string& rate, int channels = 1) {
    return {
        "[mic] AVAudioEngine input format: " + rate + "Hz, " + std::to_string(channels) + "ch, 1\n",
        "[mic] Tap format (mono): " + rate + "Hz, 1ch\n",
        "[mic] Microphone capture started (AVAudioEngine)\n"};
}

inline const char* kPermissionLine3 =
    "[mic] Permission status: 3 (0=notDetermined, 1=restricted, 2=denied, 3=authorized)\n";

inline std::vector<std::string> concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Every microphone test starts on a fresh simulated platform and leaves nothing running.
class MicTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform = installMicPlatform();
        engines().setInputFormat(sim::simInputFormat(48000, 1));
    }
    void TearDown() override {
        testing::internal::CaptureStderr();
        ov_stop_mic();
        testing::internal::GetCapturedStderr();
    }
    sim::SimAudioEngines& engines() { return platform->engines(); }
    sim::SimPermission& permission() { return platform->permission(); }
    sim::SimJournal& journal() { return platform->journal(); }
    size_t observers() { return platform->notificationCenter().observerCount(); }

    std::shared_ptr<MicPlatform> platform;
};

}  // namespace ovra::test
