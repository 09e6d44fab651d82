// The audio-hardware mapping over a real server: ids and property reads, taps and aggregate
// devices, and the monitor I/O procedure delivering on the session's queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "e2e/PulseServer.h"
#include "e2e/ToneAnalysis.h"
#include "platform/TapDescription.h"
#include "platform/pulse/PulseAudioHardware.h"

using namespace std::chrono_literals;
using namespace ovra;
using ovra::e2e::PulseServer;
using ovra::e2e::waitUntil;
using ovra::pulse::PulseAudioHardware;
using ovra::pulse::PulseConnection;

namespace {

constexpr AudioObjectPropertyAddress kDefaultOutput{kAudioHardwarePropertyDefaultOutputDevice,
                                                    kAudioObjectPropertyScopeGlobal, 0};
constexpr AudioObjectPropertyAddress kUid{kAudioDevicePropertyDeviceUID,
                                          kAudioObjectPropertyScopeGlobal, 0};
constexpr AudioObjectPropertyAddress kInputFormat{kAudioDevicePropertyStreamFormat,
                                                  kAudioObjectPropertyScopeInput, 0};

TapDescription globalTap() {
    auto d = TapDescription::stereoGlobalTapButExcludeProcesses({});
    d.setMuteBehavior(0);
    d.setName("test tap");
    d.setPrivate(true);
    d.setExclusive(true);
    d.setUUID(Uuid::generate());
    return d;
}

PropertyDictionary deviceOn(const std::string& sink, const std::string& tapUuid) {
    return {{"name", "test device"},
            {"uid", "test." + Uuid::generate().text()},
            {"master", sink},
            {"private", true},
            {"stacked", false},
            {"tapautostart", true},
            {"subdevices", PropertyArray{PropertyDictionary{{"uid", sink}}}},
            {"taps", PropertyArray{PropertyDictionary{{"drift", true}, {"uid", tapUuid}}}}};
}

// What the I/O block received, summed up on the queue.
struct Recording {
    std::mutex mutex;
    std::vector<float> mono;  // mean of the channels
    uint64_t frames = 0;
    int calls = 0;
    bool wellFormed = true;  // one interleaved buffer, whole frames, on the queue
    double lastSampleTime = -1;
    std::map<uint32_t, int> cycleSizes;  // frames per call -> calls
    std::atomic<int> live{0};

    uint64_t framesNow() {
        std::lock_guard lock(mutex);
        return frames;
    }
    int callsNow() {
        std::lock_guard lock(mutex);
        return calls;
    }

    AudioHardware::IOBlock block(std::shared_ptr<DispatchQueue> queue, uint32_t channels) {
        return [this, queue, channels](const AudioTimeStamp* now, const AudioBufferList* in,
                                       const AudioTimeStamp*, AudioBufferList*,
                                       const AudioTimeStamp*) {
            ++live;
            std::lock_guard lock(mutex);
            ++calls;
            const AudioBuffer& b = in->mBuffers[0];
            wellFormed = wellFormed && queue->isCurrent() && in->mNumberBuffers == 1 &&
                         b.mNumberChannels == channels && b.mDataByteSize % (4 * channels) == 0 &&
                         now->mSampleTime > lastSampleTime;
            lastSampleTime = now->mSampleTime;
            const auto* s = static_cast<const float*>(b.mData);
            const uint32_t n = b.mDataByteSize / (4 * channels);
            for (uint32_t i = 0; i < n; ++i) {
                float sum = 0;
                for (uint32_t c = 0; c < channels; ++c) sum += s[i * channels + c];
                mono.push_back(sum / float(channels));
            }
            frames += n;
            ++cycleSizes[n];
            --live;
        };
    }
};

class PulseHardware : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        server.useInThisProcess();
    }

    // A tap and an aggregate device on `sink`; false if either fails.
    bool makeDevice(const std::string& sink, AudioObjectID* device) {
        const auto tap = globalTap();
        AudioObjectID tapID = 0;
        return hardware.createProcessTap(tap, &tapID) == noErr &&
               hardware.createAggregateDevice(deviceOn(sink, tap.uuid().text()), device) == noErr;
    }

    PulseServer server;
    PulseConnection connection{1000ms};
    PulseAudioHardware hardware{connection};
};

}  // namespace

TEST_F(PulseHardware, DefaultOutputIsTheDefaultSinkAndItsUidItsName) {
    AudioObjectID device = 0;
    uint32_t size = sizeof device;
    ASSERT_EQ(hardware.getPropertyData(kAudioObjectSystemObject, kDefaultOutput, 0, nullptr, &size,
                                       &device),
              noErr);
    EXPECT_GE(device, pulse::kSinkObjectBase);
    StringRef uid = nullptr;
    size = sizeof uid;
    ASSERT_EQ(hardware.getPropertyData(device, kUid, 0, nullptr, &size, &uid), noErr);
    std::unique_ptr<std::string> owned(uid);
    EXPECT_EQ(*owned, "speakers");

    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=headphones rate=44100"), 0);
    ASSERT_EQ(server.pactl({"set-default-sink", "headphones"}), 0);
    AudioObjectID other = 0;
    size = sizeof other;
    ASSERT_EQ(hardware.getPropertyData(kAudioObjectSystemObject, kDefaultOutput, 0, nullptr, &size,
                                       &other),
              noErr);
    EXPECT_NE(other, device);
    size = sizeof uid;
    ASSERT_EQ(hardware.getPropertyData(other, kUid, 0, nullptr, &size, &uid), noErr);
    owned.reset(uid);
    EXPECT_EQ(*owned, "headphones");
}

TEST_F(PulseHardware, UnknownObjectsPropertiesAndSizesAreRefused) {
    uint32_t value = 0;
    uint32_t size = sizeof value;
    EXPECT_EQ(hardware.getPropertyData(kAudioObjectUnknown, kUid, 0, nullptr, &size, &value),
              kAudioHardwareBadObjectError);
    StringRef text = nullptr;
    size = sizeof text;
    EXPECT_EQ(
        hardware.getPropertyData(pulse::kSinkObjectBase + 4000, kUid, 0, nullptr, &size, &text),
        kAudioHardwareBadObjectError)
        << "a sink id the server does not know";
    EXPECT_EQ(text, nullptr);
    size = sizeof value;
    EXPECT_EQ(
        hardware.getPropertyData(kAudioObjectSystemObject, kInputFormat, 0, nullptr, &size, &value),
        kAudioHardwareUnknownPropertyError);
    size = 2;
    EXPECT_EQ(hardware.getPropertyData(kAudioObjectSystemObject, kDefaultOutput, 0, nullptr, &size,
                                       &value),
              kAudioHardwareBadPropertySizeError);
    size = 4;  // a string reference needs 8
    EXPECT_EQ(hardware.getPropertyData(pulse::kSinkObjectBase, kUid, 0, nullptr, &size, &value),
              kAudioHardwareBadPropertySizeError);
}

TEST_F(PulseHardware, OnlyTheUnmutedMixOfEveryProcessCanBeTapped) {
    AudioObjectID tap = 0;
    auto some = TapDescription::stereoGlobalTapButExcludeProcesses({42});
    some.setExclusive(true);
    EXPECT_EQ(hardware.createProcessTap(some, &tap), kAudioHardwareIllegalOperationError);
    auto muted = globalTap();
    muted.setMuteBehavior(1);
    EXPECT_EQ(hardware.createProcessTap(muted, &tap), kAudioHardwareIllegalOperationError);
    auto inclusive = globalTap();
    inclusive.setExclusive(false);
    EXPECT_EQ(hardware.createProcessTap(inclusive, &tap), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(tap, 0u);

    ASSERT_EQ(hardware.createProcessTap(globalTap(), &tap), noErr);
    EXPECT_GE(tap, pulse::kFirstOwnObject);
    EXPECT_LT(tap, pulse::kSinkObjectBase);
    EXPECT_EQ(hardware.destroyProcessTap(tap), noErr);
    EXPECT_EQ(hardware.destroyProcessTap(tap), kAudioHardwareBadObjectError);
}

TEST_F(PulseHardware, AggregateDeviceIsValidatedAgainstSinksAndTaps) {
    const auto tap = globalTap();
    AudioObjectID tapID = 0;
    ASSERT_EQ(hardware.createProcessTap(tap, &tapID), noErr);
    const std::string uuid = tap.uuid().text();
    AudioObjectID device = 0;

    auto noMaster = deviceOn("speakers", uuid);
    std::erase_if(noMaster, [](const auto& e) { return e.first == "master"; });
    EXPECT_EQ(hardware.createAggregateDevice(noMaster, &device), kAudio_ParamError);
    auto noTaps = deviceOn("speakers", uuid);
    std::erase_if(noTaps, [](const auto& e) { return e.first == "taps"; });
    EXPECT_EQ(hardware.createAggregateDevice(noTaps, &device), kAudio_ParamError);

    EXPECT_EQ(hardware.createAggregateDevice(deviceOn("nosuchsink", uuid), &device),
              kAudioHardwareBadDeviceError);
    auto strangeSub = deviceOn("speakers", uuid);
    std::get<PropertyArray>(strangeSub[6].second.value)[0] =
        PropertyDictionary{{"uid", "nosuchsink"}};
    EXPECT_EQ(hardware.createAggregateDevice(strangeSub, &device), kAudioHardwareBadDeviceError);
    EXPECT_EQ(
        hardware.createAggregateDevice(deviceOn("speakers", Uuid::generate().text()), &device),
        kAudioHardwareBadObjectError);
    EXPECT_EQ(device, 0u);

    ASSERT_EQ(hardware.createAggregateDevice(deviceOn("speakers", uuid), &device), noErr);
    EXPECT_NE(device, tapID);
    EXPECT_EQ(hardware.destroyAggregateDevice(device), noErr);
    EXPECT_EQ(hardware.destroyAggregateDevice(device), kAudioHardwareBadObjectError);
}

TEST_F(PulseHardware, AggregateInputFormatIsItsSinksRateAndChannelsInFloat) {
    ASSERT_GE(server.loadModule("module-null-sink", "sink_name=mono rate=44100 channels=1"), 0);
    for (const auto& [sink, rate, channels] :
         {std::tuple{"speakers", 48000.0, 2u}, std::tuple{"mono", 44100.0, 1u}}) {
        AudioObjectID device = 0;
        ASSERT_TRUE(makeDevice(sink, &device));
        AudioStreamBasicDescription f;
        std::memset(&f, 0xff, sizeof f);
        uint32_t size = sizeof f;
        ASSERT_EQ(hardware.getPropertyData(device, kInputFormat, 0, nullptr, &size, &f), noErr);
        EXPECT_EQ(size, 40u);
        EXPECT_EQ(f.mSampleRate, rate);
        EXPECT_EQ(f.mChannelsPerFrame, channels);
        EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(f.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
        EXPECT_EQ(f.mBitsPerChannel, 32u);
        EXPECT_EQ(f.mBytesPerFrame, 4 * channels);
        EXPECT_EQ(f.mBytesPerPacket, 4 * channels);
        EXPECT_EQ(f.mFramesPerPacket, 1u);
        EXPECT_EQ(f.mReserved, 0u);

        const AudioObjectPropertyAddress outputFormat{kAudioDevicePropertyStreamFormat,
                                                      fourCC("outp"), 0};
        EXPECT_EQ(hardware.getPropertyData(device, outputFormat, 0, nullptr, &size, &f),
                  kAudioHardwareUnknownPropertyError);
    }
}

TEST_F(PulseHardware, MonitorDeliversThePlayedToneOnTheQueueWithoutGaps) {
    const auto tone = server.makeTone("tone", {.frequency = 1000, .gainDb = -6});
    ASSERT_FALSE(tone.empty());
    server.play(tone);
    ASSERT_TRUE(waitUntil([&] { return server.somethingPlays(); }));

    AudioObjectID device = 0;
    ASSERT_TRUE(makeDevice("speakers", &device));
    auto queue = std::make_shared<DispatchQueue>("test", QualityOfService::userInitiated);
    Recording rec;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(&proc, device, queue, rec.block(queue, 2)), noErr);
    ASSERT_EQ(hardware.deviceStart(device, proc), noErr);

    // A null sink renders ahead of time: the monitor's first read can come a second or so after
    // the stream was connected. Count what two seconds bring from shortly after that.
    ASSERT_TRUE(waitUntil([&] { return rec.framesNow() > 0; }, 5000ms));
    std::this_thread::sleep_for(300ms);
    uint64_t framesBefore;
    {
        std::lock_guard lock(rec.mutex);
        framesBefore = rec.frames;
        rec.mono.clear();
    }
    const auto began = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2s);
    std::vector<float> heard;
    uint64_t frames;
    int calls;
    {
        std::lock_guard lock(rec.mutex);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        frames = rec.frames - framesBefore;
        heard = rec.mono;
        calls = rec.calls;
        EXPECT_NEAR(double(frames), seconds * 48000, seconds * 48000 * 0.03);
        EXPECT_TRUE(rec.wellFormed);
    }
    EXPECT_GT(calls, 100) << "about 10 ms per read, not lumps";
    {
        // Cycles of one fragment at most, mostly exactly one, let the block reuse its buffers.
        std::lock_guard lock(rec.mutex);
        const auto common =
            std::max_element(rec.cycleSizes.begin(), rec.cycleSizes.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        EXPECT_GE(common->second, rec.calls * 2 / 3);
        EXPECT_LE(rec.cycleSizes.rbegin()->first, common->first) << "no cycle larger than it";
    }
    const auto m = e2e::measureTone(heard, 48000);
    EXPECT_NEAR(m.frequency, 1000, 5);
    EXPECT_NEAR(m.rms, e2e::sineRms(-6, 1.0), e2e::sineRms(-6, 1.0) * 0.05);

    EXPECT_EQ(hardware.deviceStop(device, proc), noErr);
    EXPECT_EQ(hardware.destroyIOProcID(device, proc), noErr);
    int after;
    {
        std::lock_guard lock(rec.mutex);
        after = rec.calls;
    }
    EXPECT_EQ(rec.live, 0) << "no block call runs once destroy returned";
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(rec.mutex);
    EXPECT_EQ(rec.calls, after) << "no block call begins after destroy";
}

TEST_F(PulseHardware, DestroyingTheDeviceEndsItsProcedures) {
    AudioObjectID device = 0;
    ASSERT_TRUE(makeDevice("speakers", &device));
    auto queue = std::make_shared<DispatchQueue>("test", QualityOfService::userInitiated);
    Recording rec;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(&proc, device, queue, rec.block(queue, 2)), noErr);
    ASSERT_EQ(hardware.deviceStart(device, proc), noErr);
    ASSERT_TRUE(waitUntil([&] { return rec.callsNow() > 0; }));
    ASSERT_EQ(hardware.destroyAggregateDevice(device), noErr);
    int after;
    {
        std::lock_guard lock(rec.mutex);
        after = rec.calls;
    }
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(rec.mutex);
    EXPECT_EQ(rec.calls, after);
    EXPECT_EQ(hardware.destroyIOProcID(device, proc), kAudioHardwareBadObjectError);
}

TEST_F(PulseHardware, EveryCallThatNeedsAServerFailsWithoutOne) {
    const auto tap = globalTap();
    AudioObjectID tapID = 0;
    ASSERT_EQ(hardware.createProcessTap(tap, &tapID), noErr);
    AudioObjectID device = 0;
    ASSERT_EQ(hardware.createAggregateDevice(deviceOn("speakers", tap.uuid().text()), &device),
              noErr);
    auto queue = std::make_shared<DispatchQueue>("test", QualityOfService::userInitiated);
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(&proc, device, queue, [](auto...) {}), noErr);
    server.kill();

    const auto began = std::chrono::steady_clock::now();
    AudioObjectID id = 0;
    uint32_t size = sizeof id;
    EXPECT_EQ(
        hardware.getPropertyData(kAudioObjectSystemObject, kDefaultOutput, 0, nullptr, &size, &id),
        kAudioHardwareNotRunningError);
    EXPECT_EQ(hardware.createProcessTap(globalTap(), &id), kAudioHardwareNotRunningError);
    EXPECT_EQ(hardware.createAggregateDevice(deviceOn("speakers", tap.uuid().text()), &id),
              kAudioHardwareNotRunningError);
    EXPECT_EQ(hardware.deviceStart(device, proc), kAudioHardwareNotRunningError);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);

    // Made before the server went, still answered from what was found then.
    AudioStreamBasicDescription f{};
    size = sizeof f;
    EXPECT_EQ(hardware.getPropertyData(device, kInputFormat, 0, nullptr, &size, &f), noErr);
    EXPECT_EQ(hardware.destroyIOProcID(device, proc), noErr);
}
