// The audio-hardware mapping over a real server, where the end-to-end tests do not reach: ids and
// refusals, the monitor procedure's cycles on the session's queue, and the ends of procedures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "e2e/PulseServer.h"
#include "platform/TapDescription.h"
#include "platform/pulse/PulseAudioHardware.h"

using namespace std::chrono_literals;
using namespace ovra;
using ovra::e2e::waitUntil;

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
    d.setPrivate(true);
    d.setExclusive(true);
    d.setUUID(Uuid::generate());
    return d;
}

PropertyDictionary deviceOn(const std::string& sink, const std::string& tapUuid) {
    return {{"uid", "test." + Uuid::generate().text()},
            {"master", sink},
            {"subdevices", PropertyArray{PropertyDictionary{{"uid", sink}}}},
            {"taps", PropertyArray{PropertyDictionary{{"drift", true}, {"uid", tapUuid}}}}};
}

struct Recording {
    std::mutex mutex;
    int calls = 0;
    bool wellFormed = true;  // one interleaved stereo buffer, whole frames, on the queue
    double lastSampleTime = -1;
    std::map<uint32_t, int> cycleSizes;  // frames per call -> calls
    std::atomic<int> live{0};

    int callsNow() {
        std::lock_guard lock(mutex);
        return calls;
    }
    AudioHardware::IOBlock block(std::shared_ptr<DispatchQueue> queue) {
        return [this, queue](const AudioTimeStamp* now, const AudioBufferList* in, auto...) {
            ++live;
            std::lock_guard lock(mutex);
            ++calls;
            const AudioBuffer& b = in->mBuffers[0];
            wellFormed = wellFormed && queue->isCurrent() && in->mNumberBuffers == 1 &&
                         b.mNumberChannels == 2 && b.mDataByteSize % 8 == 0 &&
                         now->mSampleTime > lastSampleTime;
            lastSampleTime = now->mSampleTime;
            ++cycleSizes[b.mDataByteSize / 8];
            --live;
        };
    }
};

class PulseHardware : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.ok());
        server.useInThisProcess();
        ASSERT_EQ(hardware.createProcessTap(tap, &tapID), noErr);
        ASSERT_EQ(hardware.createAggregateDevice(deviceOn("speakers", tap.uuid().text()), &device),
                  noErr);
    }

    e2e::PulseServer server;
    pulse::PulseConnection connection{1000ms};
    pulse::PulseAudioHardware hardware{connection};
    TapDescription tap = globalTap();
    AudioObjectID tapID = 0, device = 0;
    std::shared_ptr<DispatchQueue> queue =
        std::make_shared<DispatchQueue>("test", QualityOfService::userInitiated);
};

}  // namespace

TEST_F(PulseHardware, UnknownObjectsPropertiesAndSizesAreRefused) {
    const AudioObjectPropertyAddress outputFormat{kAudioDevicePropertyStreamFormat, fourCC("outp"),
                                                  0};
    struct Row {
        const char* what;
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        uint32_t size;
        OSStatus status;
    };
    const OSStatus badObject = kAudioHardwareBadObjectError,
                   unknown = kAudioHardwareUnknownPropertyError,
                   badSize = kAudioHardwareBadPropertySizeError;
    const Row rows[] = {
        {"no object", kAudioObjectUnknown, kUid, 8, badObject},
        {"a sink the server does not know", pulse::kSinkObjectBase + 4000, kUid, 8, badObject},
        {"a format of the system", kAudioObjectSystemObject, kInputFormat, 40, unknown},
        {"a device's output format", device, outputFormat, 40, unknown},
        {"an id in 2 bytes", kAudioObjectSystemObject, kDefaultOutput, 2, badSize},
        {"a string reference in 4 bytes", pulse::kSinkObjectBase, kUid, 4, badSize},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        alignas(8) unsigned char value[40] = {};
        uint32_t size = r.size;
        EXPECT_EQ(hardware.getPropertyData(r.object, r.address, 0, nullptr, &size, value),
                  r.status);
        EXPECT_TRUE(std::all_of(value, value + 40, [](unsigned char b) { return b == 0; }))
            << "nothing written";
    }
}

TEST_F(PulseHardware, TapsAndDevicesThatCannotBeMadeAreRefused) {
    EXPECT_GE(tapID, pulse::kFirstOwnObject);
    EXPECT_LT(tapID, pulse::kSinkObjectBase) << "own objects never look like sinks";
    const std::string uuid = tap.uuid().text();
    // Only the unmuted mix of every process can be tapped; a device names a tap and real sinks.
    auto excluding = TapDescription::stereoGlobalTapButExcludeProcesses({42});
    excluding.setExclusive(true);
    auto muted = globalTap(), shared = globalTap();
    muted.setMuteBehavior(1);
    shared.setExclusive(false);
    for (const TapDescription& d : {excluding, muted, shared}) {
        AudioObjectID id = 0;
        EXPECT_EQ(hardware.createProcessTap(d, &id), kAudioHardwareIllegalOperationError);
        EXPECT_EQ(id, 0u);
    }
    auto deviceFrom = [&](PropertyDictionary d, const char* leaveOut = "") {
        std::erase_if(d, [&](const auto& e) { return e.first == leaveOut; });
        AudioObjectID id = 0;
        const OSStatus status = hardware.createAggregateDevice(d, &id);
        EXPECT_EQ(id, 0u);
        return status;
    };
    auto strangeSub = deviceOn("speakers", uuid);  // [2] is "subdevices"
    std::get<PropertyArray>(strangeSub[2].second.value)[0] =
        PropertyDictionary{{"uid", "nosuchsink"}};
    EXPECT_EQ(deviceFrom(deviceOn("speakers", uuid), "master"), kAudio_ParamError);
    EXPECT_EQ(deviceFrom(deviceOn("speakers", uuid), "taps"), kAudio_ParamError);
    EXPECT_EQ(deviceFrom(deviceOn("nosuchsink", uuid)), kAudioHardwareBadDeviceError);
    EXPECT_EQ(deviceFrom(strangeSub), kAudioHardwareBadDeviceError) << "a sub-device";
    EXPECT_EQ(deviceFrom(deviceOn("speakers", Uuid::generate().text())),
              kAudioHardwareBadObjectError)
        << "a tap never made";
    EXPECT_NE(device, tapID);
    EXPECT_EQ(hardware.destroyAggregateDevice(device), noErr);
    EXPECT_EQ(hardware.destroyAggregateDevice(device), kAudioHardwareBadObjectError);
    EXPECT_EQ(hardware.destroyProcessTap(tapID), noErr);
    EXPECT_EQ(hardware.destroyProcessTap(tapID), kAudioHardwareBadObjectError);
}

TEST_F(PulseHardware, MonitorDeliversSteadyCyclesOnTheQueueUntilItsProcedureOrDeviceEnds) {
    Recording rec;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware.createIOProcIDWithBlock(&proc, device, queue, rec.block(queue)), noErr);
    ASSERT_EQ(hardware.deviceStart(device, proc), noErr);
    // A null sink renders ahead of time: the monitor's first read can come a second or so after
    // the stream was connected.
    ASSERT_TRUE(waitUntil([&] { return rec.callsNow() > 0; }, 5000ms));
    const int first = rec.callsNow();
    std::this_thread::sleep_for(2s);
    {
        std::lock_guard lock(rec.mutex);
        EXPECT_TRUE(rec.wellFormed);
        EXPECT_GT(rec.calls - first, 100) << "about 10 ms per read, not lumps";
        // Mostly one fragment per cycle; a backlog (the queue held up) goes in larger cycles, of
        // at most 100 ms.
        const auto common =
            std::max_element(rec.cycleSizes.begin(), rec.cycleSizes.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        EXPECT_GE(common->second, rec.calls * 2 / 3);
        EXPECT_LE(rec.cycleSizes.rbegin()->first, 4800u) << "no cycle longer than 100 ms";
    }
    EXPECT_EQ(hardware.deviceStop(device, proc), noErr);
    EXPECT_EQ(hardware.destroyIOProcID(device, proc), noErr);
    const int afterDestroy = rec.callsNow();
    EXPECT_EQ(rec.live, 0) << "no block call runs once destroy returned";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.callsNow(), afterDestroy) << "no block call begins after destroy";

    // Destroying the device ends the procedures still running on it.
    ASSERT_EQ(hardware.createIOProcIDWithBlock(&proc, device, queue, rec.block(queue)), noErr);
    ASSERT_EQ(hardware.deviceStart(device, proc), noErr);
    ASSERT_TRUE(waitUntil([&] { return rec.callsNow() > afterDestroy; }, 5000ms));
    ASSERT_EQ(hardware.destroyAggregateDevice(device), noErr);
    const int afterDevice = rec.callsNow();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.callsNow(), afterDevice);
    EXPECT_EQ(hardware.destroyIOProcID(device, proc), kAudioHardwareBadObjectError);
}

TEST_F(PulseHardware, EveryCallThatNeedsAServerFailsWithoutOne) {
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
