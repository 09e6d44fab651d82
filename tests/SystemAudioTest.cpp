// System audio on the simulated platform: starts, the I/O block on its own, a running session.
#include <gmock/gmock.h>

#include <future>
#include <limits>
#include <stdexcept>

#include "SystemAudioFixture.h"
#include "platform/PropertyValue.h"
#include "platform/sim/SimAudioFacilities.h"
#include "systemaudio/TapIOBlock.h"

namespace ovra::test {
namespace {

// A UUID's canonical upper-case text.
const std::string kUuid = "[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}";

// The ID a create call's journal entry ends with ("... => 0 tap=102").
std::string createdId(const std::string& entry) {
    return entry.substr(entry.rfind('=') + 1);
}

// Two sessions, each with its own tap and device, and a tap-format line for the format as read.
TEST_F(SystemAudioTest, StartWritesFiveLinesThenReportsZeroAndCallsTheHardwareInOrder) {
    const std::pair<AudioStreamBasicDescription, const char*> formats[] = {
        {sim::SimAudioHardware::floatFormat(96000.0, 6, false), "96000.0Hz, 6ch, 32bit"},
        {AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatInt16, 22050.5, 1, true)
             ->streamDescription(),
         "22050.5Hz, 1ch, 16bit"}};
    const AudioObjectID output = hardware().setDefaultOutputDevice("BuiltInSpeakerDevice");
    std::string previousUuid, previousUid;
    for (const auto& [format, formatLine] : formats) {
        SCOPED_TRACE(formatLine);
        hardware().setTapFormat(format);
        journal().clear();
        SystemAudioHost session;
        std::string atStatus;  // every start line is written before the status call
        session.onStatusCall = [&](int32_t) {
            atStatus = testing::internal::GetCapturedStderr();
            testing::internal::CaptureStderr();
        };
        EXPECT_TRUE(linesOf([&] { EXPECT_EQ(session.start(), 0); }).empty());
        EXPECT_EQ(session.statuses().size(), 1u);
        ov_stop_system_audio();

        const auto made = calls();
        ASSERT_EQ(made.size(), 12u) << testing::PrintToString(made);
        const std::string tap = createdId(made[0]), device = createdId(made[3]);
        const std::string proc = createdId(made[6]);
        EXPECT_EQ(atStatus, "[tap] Created process tap, ID: " + tap +
                                "\n[tap] Default output device: BuiltInSpeakerDevice\n"
                                "[tap] Created aggregate device, ID: " +
                                device + "\n[tap] Tap format: " + formatLine +
                                "\n[tap] System audio capture started (Core Audio Tap)\n");

        const std::string uuid = hardware().tapDescriptions().back().uuid().text();
        const std::string uid = *lookup(hardware().aggregateDescriptions().back(), "uid")->string();
        EXPECT_THAT(uuid, testing::MatchesRegex(kUuid));
        EXPECT_THAT(uid, testing::MatchesRegex("com\\.ovrahelper\\.tap\\." + kUuid));
        EXPECT_EQ(uid.find(uuid), std::string::npos);
        EXPECT_NE(uuid, previousUuid);
        EXPECT_NE(uid, previousUid);
        previousUuid = uuid;
        previousUid = uid;
        // The descriptions whole, keys in order, with their types (strings quoted); the queue's
        // label and class as the I/O procedure got them.
        const std::string rest = " qualifierSize=0 qualifier=null dataSize=";
        const std::string ids = " device=" + device + " proc=" + proc + " => 0";
        EXPECT_EQ(
            made,
            (std::vector<std::string>{
                "createProcessTap [init stereoGlobalTapButExcludeProcesses [], "
                "setMuteBehavior 0, setName OvraHelper System Audio, setPrivate true, "
                "setExclusive true, setUUID " +
                    uuid + "] => 0 tap=" + tap,
                "getPropertyData object=1 address='dOut','glob',0" + rest + "4 => 0",
                "getPropertyData object=" + std::to_string(output) + " address='uid ','glob',0" +
                    rest + "8 => 0",
                "createAggregateDevice {\"name\": \"OvraHelper Tap Device\", \"uid\": \"" + uid +
                    "\", \"master\": \"BuiltInSpeakerDevice\", \"private\": true, "
                    "\"stacked\": false, \"tapautostart\": true, \"subdevices\": [{\"uid\": "
                    "\"BuiltInSpeakerDevice\"}], \"taps\": [{\"drift\": true, \"uid\": \"" +
                    uuid + "\"}]} => 0 device=" + device,
                "getPropertyData object=" + device + " address='sfmt','inpt',0" + rest + "40 => 0",
                "createDispatchQueue com.ovrahelper.systemaudio qos=3",
                "createIOProcIDWithBlock device=" + device +
                    " queue=\"com.ovrahelper.systemaudio\" qos=userInitiated block=set => 0 "
                    "proc=" +
                    proc,
                "deviceStart" + ids, "deviceStop" + ids, "destroyIOProcID" + ids,
                "destroyAggregateDevice device=" + device + " => 0",
                "destroyProcessTap tap=" + tap + " => 0"}));
    }
}

TEST_F(SystemAudioTest, SecondStartIsRefusedAndNeverCalled) {
    SystemAudioHost second;
    ASSERT_EQ(host.start(), 0);
    journal().clear();
    EXPECT_EQ(linesOf([&] { EXPECT_EQ(second.start(), -1); }),
              std::vector<std::string>{"[tap] System audio capture already running\n"});
    EXPECT_TRUE(calls().empty());  // nothing was created for the refused start

    // The first session keeps its callbacks.
    const AudioObjectID device = hardware().lastAggregateDevice();
    ASSERT_EQ(hardware().deliverCycle(device, std::vector<float>(960, 0.1f)), 1u);
    hardware().flush();
    EXPECT_EQ(second.chunkCount(), 0u);
    ASSERT_EQ(host.chunkCount(), 1u);
    EXPECT_EQ(host.chunks()[0].user, &host);
    EXPECT_EQ(host.codes(), std::vector<int32_t>{0});
    EXPECT_EQ(second.codes(), std::vector<int32_t>{-1});
}

TEST_F(SystemAudioTest, EachFailingStepReportsMinusThreeAndLeavesNothingBehind) {
    struct Row {
        const char* call;  // the call made to fail, with this status
        int32_t status;
        const char* message;              // the line written for it
        size_t linesBefore;               // start lines written before the failure
        size_t destroyed;                 // what the start made, destroyed again newest first
        const char* notCalled = nullptr;  // a journal entry the failed start never reached
        const char* reached = nullptr;    // the start of a journal entry the failed start made
    };
    // Large positive statuses are four-character codes: 'who?', 'nope', 'stop'.
    const Row rows[] = {
        {"createProcessTap", -50, "Failed to create process tap (OSStatus -50)", 0, 0},
        // The default-device read is not examined: the UID read then asks object 0 (as with no
        // default device), and its status is the one reported.
        {"getPropertyData:dOut", -50, "Failed to read format (OSStatus 560947818)", 1, 1, nullptr,
         "getPropertyData object=0 address='uid '"},
        {"getPropertyData:uid", 2003332927, "Failed to read format (OSStatus 2003332927)", 1, 1},
        {"createAggregateDevice", -50, "Failed to create aggregate device (OSStatus -50)", 2, 1},
        {"getPropertyData:sfmt", 1852797029, "Failed to read format (OSStatus 1852797029)", 3, 2},
        // The line shows the format as read, before the format object decides.
        {"makeFormat(asbd)", -1, "Invalid audio format from tap", 4, 2, "makeConverter"},
        {"makeConverter", -1, "Failed to create audio converter", 4, 2, "createDispatchQueue"},
        {"createIOProcIDWithBlock", -50, "Failed to create IO proc (OSStatus -50)", 4, 2},
        {"deviceStart", 1937010544, "Failed to start audio device (OSStatus 1937010544)", 4, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        platform = sim::installSimPlatform();
        journal().failNext(row.call, row.status);
        SystemAudioHost failing;
        const auto written = linesOf([&] { EXPECT_EQ(failing.start(), -3); });
        ASSERT_EQ(written.size(), row.linesBefore + 1) << testing::PrintToString(written);
        EXPECT_EQ(written.back(),
                  std::string("[tap] Failed to start capture: ") + row.message + "\n");
        if (row.linesBefore == 4) {
            EXPECT_EQ(written[3], "[tap] Tap format: 48000.0Hz, 2ch, 32bit\n");
        }
        if (row.notCalled) {
            EXPECT_TRUE(journal().entriesStartingWith(row.notCalled).empty());
        }
        if (row.reached) {
            EXPECT_EQ(journal().entriesStartingWith(row.reached).size(), 1u);
        }

        expectNothingLeft();
        std::vector<std::string> teardown;
        for (const auto& entry : calls()) {
            const std::string call = entry.substr(0, entry.find(' '));
            if (call.rfind("destroy", 0) == 0 || call == "deviceStop") teardown.push_back(call);
        }
        const std::vector<std::string> all = {"destroyIOProcID", "destroyAggregateDevice",
                                              "destroyProcessTap"};
        EXPECT_EQ(teardown, std::vector(all.end() - ptrdiff_t(row.destroyed), all.end()));
        EXPECT_EQ(failing.codes(), std::vector<int32_t>{-3});

        // The slot stayed empty: the next start begins from nothing and succeeds.
        SystemAudioHost again;
        EXPECT_EQ(again.start(), 0);
        linesOf(ov_stop_system_audio);
    }
}

// A converter writing `framesFor(capacity)` frames, capacity - 1 by default, whatever its input;
// remembers each capacity.
class ScriptedConverter : public AudioConverter {
  public:
    ScriptedConverter(std::shared_ptr<const AudioFormat> from,
                      std::shared_ptr<const AudioFormat> to)
        : from_(std::move(from)), to_(std::move(to)) {}

    AudioConverterOutputStatus convert(PCMBuffer& output, std::string*,
                                       AudioConverterInputBlock&) override {
        capacities.push_back(output.frameCapacity());
        output.setFrameLength(framesFor ? framesFor(output.frameCapacity())
                                        : output.frameCapacity() - 1);
        return AudioConverterOutputStatus::error;  // never examined by the caller
    }
    const std::shared_ptr<const AudioFormat>& inputFormat() const override { return from_; }
    const std::shared_ptr<const AudioFormat>& outputFormat() const override { return to_; }

    std::function<uint32_t(uint32_t capacity)> framesFor;
    std::vector<uint32_t> capacities;

  private:
    std::shared_ptr<const AudioFormat> from_, to_;
};

TEST(TapIOBlockCapacity, RatioTimesFramesPlusOneWithinThirtyTwoBits) {
    struct Row {
        double rate;
        uint32_t frames;
        uint32_t capacity;
    };
    for (const Row& r : {Row{48000, 512, 171}, Row{48000, 480, 161}, Row{48000, 1, 1},
                         Row{44100, 512, 186}, Row{96000, 1024, 171}, Row{16000, 512, 513}})
        EXPECT_EQ(TapIOBlock::outputCapacity(16000.0, r.rate, r.frames), r.capacity) << r.rate;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(TapIOBlock::outputCapacity(16000.0, nan, 512));
    EXPECT_FALSE(TapIOBlock::outputCapacity(16000.0, 0.0, 512));       // ratio infinite
    EXPECT_FALSE(TapIOBlock::outputCapacity(16000.0, -48000.0, 512));  // product negative
    EXPECT_FALSE(TapIOBlock::outputCapacity(inf, 48000.0, 0));         // infinity x 0: NaN
    EXPECT_FALSE(TapIOBlock::outputCapacity(4294967296.0, 1.0, 1));    // product 2^32
    EXPECT_FALSE(TapIOBlock::outputCapacity(4294967295.0, 1.0, 1));    // 2^32 - 1 plus one
    EXPECT_EQ(TapIOBlock::outputCapacity(4294967294.0, 1.0, 1), 4294967295u);
    EXPECT_EQ(TapIOBlock::outputCapacity(16000.0, 48000.0, 0), 1u);
    // The chunk's byte count must fit a signed 32-bit count too.
    EXPECT_EQ(TapIOBlock::chunkByteCount((1u << 30) - 1), 2147483646);
    EXPECT_FALSE(TapIOBlock::chunkByteCount(1u << 30));
    EXPECT_FALSE(TapIOBlock::chunkByteCount(UINT32_MAX));
}

class TapIOBlockTest : public testing::Test {
  protected:
    void make(double rate) {
        auto source =
            AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, rate, 2, true);
        auto target = AudioFormat::fromStreamDescription(deliveryStreamDescription());
        converter = std::make_shared<ScriptedConverter>(source, target);
        block = std::make_unique<TapIOBlock>(facilities, source, target, converter,
                                             &SystemAudioHost::onData, &chunks, gate);
    }
    void cycle(uint32_t frames) {
        std::vector<float> samples(size_t(frames) * 2, 0.5f);
        AudioBuffer buffer{2, uint32_t(samples.size() * sizeof(float)), samples.data()};
        AudioBufferList list{1, &buffer};
        (*block)(&list);
    }

    size_t buffersMade() { return journal.entriesStartingWith("makeBuffer").size(); }

    sim::SimJournal journal;
    std::shared_ptr<sim::SimAudioFacilities> facilities =
        std::make_shared<sim::SimAudioFacilities>(journal);
    std::shared_ptr<DeliveryGate> gate = std::make_shared<DeliveryGate>();
    std::shared_ptr<ScriptedConverter> converter;
    std::unique_ptr<TapIOBlock> block;
    SystemAudioHost chunks;
};

TEST_F(TapIOBlockTest, EachDropDeliversNothingAndTheNextCycleGoesOn) {
    make(1e-6);  // a positive but absurdly low rate: the capacity overflows 32 bits
    cycle(512);
    EXPECT_EQ(buffersMade(), 0u);
    make(48000);
    cycle(0);
    journal.failNext("wrapNoCopy");
    cycle(480);
    journal.failNext("makeBuffer");
    cycle(480);
    (*block)(nullptr);
    EXPECT_TRUE(converter->capacities.empty());
    // A conversion without output, or one that throws, delivers nothing either.
    int call = 0;
    converter->framesFor = [&](uint32_t capacity) -> uint32_t {
        if (++call == 2) throw std::runtime_error("converter broke");
        return call == 1 ? 0u : capacity - 1;
    };
    cycle(480);
    EXPECT_NO_THROW(cycle(480));
    EXPECT_EQ(chunks.chunkCount(), 0u);
    cycle(480);  // the next cycle goes on as usual, with the same converter
    EXPECT_EQ(chunks.chunkBytes(), std::vector<int32_t>{320});
    EXPECT_EQ(converter->capacities.size(), 3u);
}

TEST_F(TapIOBlockTest, KeepsItsBuffersUntilALargerOneIsNeeded) {
    make(48000);
    cycle(512);
    cycle(480);
    EXPECT_EQ(buffersMade(), 1u);
    cycle(1024);
    EXPECT_EQ(buffersMade(), 2u);
    cycle(480);
    EXPECT_EQ(buffersMade(), 2u);
    EXPECT_EQ(converter->capacities, (std::vector<uint32_t>{171, 171, 342, 342}));
    EXPECT_EQ(chunks.chunkCount(), 4u);
    // The input view is made once and handed back to the wrapper to re-point.
    const auto wraps = journal.entriesStartingWith("wrapNoCopy");
    ASSERT_EQ(wraps.size(), 4u);
    EXPECT_NE(wraps[0].find(" reuse=no "), std::string::npos) << wraps[0];
    for (size_t i = 1; i < wraps.size(); ++i)
        EXPECT_NE(wraps[i].find(" reuse=yes "), std::string::npos) << wraps[i];
}

TEST_F(SystemAudioTest, AMoveOfTheOutputDeviceIsLoggedOnceAndItsListenerGoesWithTheStop) {
    ASSERT_EQ(host.start(), 0);
    const AudioObjectID device = hardware().lastAggregateDevice();
    testing::internal::CaptureStderr();
    ASSERT_EQ(hardware().moveMainDevice(device, "headphones"), 1u);  // listeners told
    hardware().flush();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tap] Default output device changed: headphones\n");

    testing::internal::CaptureStderr();
    ov_stop_system_audio();
    EXPECT_EQ(hardware().propertyListenerCount(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tap] System audio capture stopped\n");
}

SystemAudioHost* exportNullUser = nullptr;
void recordNullUser(const uint8_t* data, int32_t bytes, void* user) {
    exportNullUser->record(data, bytes, user);
}

TEST_F(SystemAudioTest, ChunksComeOnTheSessionQueueOneAtATimeInCycleOrder) {
    // At 16 kHz mono nothing is resampled: a ramp played comes out as the same ramp, so a chunk
    // lost, repeated or out of order shows.
    hardware().setTapFormat(sim::SimAudioHardware::floatFormat(16000, 1));
    exportNullUser = &host;  // a null user pointer comes back null
    ov_start_system_audio(&recordNullUser, nullptr, &SystemAudioHost::onStatus, host.statusUser());
    ASSERT_EQ(host.codes(), std::vector<int32_t>{0});
    std::vector<float> cycle(160);
    for (int k = 0; k < 50; ++k) {
        for (int i = 0; i < 160; ++i) cycle[i] = float(k * 160 + i) / 32768;
        ASSERT_EQ(hardware().deliverCycle(hardware().lastAggregateDevice(), cycle), 1u);
    }
    hardware().flush();
    ASSERT_EQ(host.chunkCount(), 50u);
    const auto samples = host.samples();
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], int16_t(i)) << i;
    const auto chunks = host.chunks();
    for (const auto& chunk : chunks) {
        EXPECT_EQ(chunk.thread, chunks[0].thread);
        EXPECT_EQ(chunk.user, nullptr);
        EXPECT_EQ(chunk.value, 320);
    }
    EXPECT_NE(chunks[0].thread, std::this_thread::get_id());
}

TEST_F(SystemAudioTest, FirstChunksMayArriveBeforeTheStatusCall) {
    // The paced device runs its first cycle as soon as it starts; the status call waits here
    // for that chunk, which can only come if delivery does not wait for the status.
    hardware().setPacing(sim::SimAudioHardware::Pacing{480, 1000.0, 0.5f});
    bool arrivedFirst = false;
    host.onStatusCall = [&](int32_t code) {
        if (code == 0) arrivedFirst = host.waitForChunks(1);
    };
    EXPECT_EQ(host.start(), 0);
    ov_stop_system_audio();  // before `arrivedFirst` goes
    EXPECT_TRUE(arrivedFirst);
}

TEST_F(SystemAudioTest, StopFromInsideTheDataCallbackReturnsAndEndsDelivery) {
    hardware().setTapFormat(sim::SimAudioHardware::floatFormat(16000, 1));
    std::promise<std::string> stoppedInside;
    host.onChunk = [&] {
        if (host.chunkCount() != 1) return;
        testing::internal::CaptureStderr();
        ov_stop_system_audio();
        stoppedInside.set_value(testing::internal::GetCapturedStderr());
    };
    ASSERT_EQ(host.start(), 0);
    const AudioObjectID device = hardware().lastAggregateDevice();
    hardware().deliverCycle(device, std::vector<float>(960, 0.1f));
    hardware().deliverCycle(device, std::vector<float>(960, 0.1f));  // queued behind: never run
    auto stopped = stoppedInside.get_future();
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), "[tap] System audio capture stopped\n");
    EXPECT_EQ(hardware().deliverCycle(device, std::vector<float>(960, 0.1f)), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host.chunkCount(), 1u);
    expectNothingLeft();
    EXPECT_EQ(host.start(), 0);  // the library is usable again right away
}

}  // namespace
}  // namespace ovra::test
