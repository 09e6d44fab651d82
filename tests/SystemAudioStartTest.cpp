// A system-audio start: its five lines, its status, and exactly what it asks of the audio
// hardware, in which order, with which arguments; a second start; each failing step.
#include <cctype>

#include "SystemAudioFixture.h"
#include "platform/PropertyValue.h"

namespace ovra::test {
namespace {

std::string only(const std::vector<std::string>& entries) {
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? "" : entries.front();
}

// The value after `key=` in the one journal entry of `call`.
std::string field(sim::SimJournal& journal, const std::string& call, const std::string& key) {
    const std::string entry = only(journal.entriesStartingWith(call));
    const size_t at = entry.find(" " + key + "=");
    if (at == std::string::npos) return "";
    const size_t begin = at + key.size() + 2;
    return entry.substr(begin, entry.find(' ', begin) - begin);
}

// Whether `text` is the canonical upper-case text of a UUID: 8-4-4-4-12 hexadecimal digits.
bool isUuidText(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const auto c = uint8_t(text[i]);
        if (dash ? c != '-' : !std::isxdigit(c) || std::islower(c)) return false;
    }
    return text.size() == 36;
}

TEST_F(SystemAudioTest, StartWritesFiveLinesThenReportsZeroAndCallsTheHardwareInOrder) {
    // The tap-format line shows the format as read, whatever it is.
    AudioStreamBasicDescription int16Mono = sim::SimAudioHardware::floatFormat(22050.5, 1);
    int16Mono.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    int16Mono.mBitsPerChannel = 16;
    int16Mono.mBytesPerFrame = int16Mono.mBytesPerPacket = 2;
    const std::pair<AudioStreamBasicDescription, const char*> formats[] = {
        {sim::SimAudioHardware::floatFormat(96000.0, 6, false), "96000.0Hz, 6ch, 32bit"},
        {int16Mono, "22050.5Hz, 1ch, 16bit"}};
    const AudioObjectID output = hardware().setDefaultOutputDevice("BuiltInSpeakerDevice");
    for (const auto& [format, formatLine] : formats) {
        SCOPED_TRACE(formatLine);
        hardware().setTapFormat(format);
        journal().clear();
        StatusRecorder result;
        std::string linesAtStatus;
        result.during = [&](int32_t) { linesAtStatus = testing::internal::GetCapturedStderr(); };
        testing::internal::CaptureStderr();
        EXPECT_EQ(start(chunks, result), 0);
        EXPECT_EQ(result.all().size(), 1u);
        ov_stop_system_audio();

        const std::string tap = field(journal(), "createProcessTap", "tap");
        const std::string device = field(journal(), "createAggregateDevice", "device");
        const std::string proc = field(journal(), "createIOProcIDWithBlock", "proc");
        EXPECT_EQ(
            lines(linesAtStatus),
            (std::vector<std::string>{"[tap] Created process tap, ID: " + tap + "\n",
                                      "[tap] Default output device: BuiltInSpeakerDevice\n",
                                      "[tap] Created aggregate device, ID: " + device + "\n",
                                      "[tap] Tap format: " + std::string(formatLine) + "\n",
                                      "[tap] System audio capture started (Core Audio Tap)\n"}));
        EXPECT_EQ(calls(), (std::vector<std::string>{
                               "createProcessTap", "getPropertyData", "getPropertyData",
                               "createAggregateDevice", "getPropertyData", "createDispatchQueue",
                               "createIOProcIDWithBlock", "deviceStart", "deviceStop",
                               "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"}));
        const auto reads = journal().entriesStartingWith("getPropertyData");
        ASSERT_EQ(reads.size(), 3u);
        const std::string rest = " qualifierSize=0 qualifier=null dataSize=";
        EXPECT_EQ(reads[0], "getPropertyData object=1 address='dOut','glob',0" + rest + "4 => 0");
        EXPECT_EQ(reads[1], "getPropertyData object=" + std::to_string(output) +
                                " address='uid ','glob',0" + rest + "8 => 0");
        EXPECT_EQ(reads[2], "getPropertyData object=" + device + " address='sfmt','inpt',0" + rest +
                                "40 => 0");
        // The queue's label and class as the I/O procedure got them.
        EXPECT_EQ(only(journal().entriesStartingWith("createIOProcIDWithBlock")),
                  "createIOProcIDWithBlock device=" + device +
                      " queue=\"com.ovrahelper.systemaudio\" qos=userInitiated block=set => 0 "
                      "proc=" +
                      proc);
        for (const char* call : {"deviceStart", "deviceStop", "destroyIOProcID"})
            EXPECT_EQ(only(journal().entriesStartingWith(call)),
                      std::string(call) + " device=" + device + " proc=" + proc + " => 0");
        EXPECT_EQ(only(journal().entriesStartingWith("destroyAggregateDevice")),
                  "destroyAggregateDevice device=" + device + " => 0");
        EXPECT_EQ(only(journal().entriesStartingWith("destroyProcessTap")),
                  "destroyProcessTap tap=" + tap + " => 0");
    }
}

TEST_F(SystemAudioTest, EachSessionDescribesAFreshTapAndAggregateDevice) {
    hardware().setDefaultOutputDevice("AppleUSBAudioEngine:Speakers:1");
    ASSERT_EQ(start(), 0);
    ov_stop_system_audio();
    ASSERT_EQ(start(), 0);
    EXPECT_EQ(journal().entriesStartingWith("createDispatchQueue").size(), 2u);

    const auto taps = hardware().tapDescriptions();
    const auto devices = hardware().aggregateDescriptions();
    ASSERT_EQ(taps.size(), 2u);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_NE(taps[0].uuid(), taps[1].uuid());
    EXPECT_NE(*lookup(devices[0], "uid")->string(), *lookup(devices[1], "uid")->string());

    const TapDescription& t = taps[1];
    EXPECT_TRUE(isUuidText(t.uuid().text())) << t.uuid().text();
    EXPECT_EQ(t.calls(), (std::vector<std::string>{
                             "init stereoGlobalTapButExcludeProcesses []", "setMuteBehavior 0",
                             "setName OvraHelper System Audio", "setPrivate true",
                             "setExclusive true", "setUUID " + t.uuid().text()}));

    // The whole description, keys in order, with their types (strings quoted).
    const std::string uid = *lookup(devices[1], "uid")->string();
    const std::string speakers = "\"AppleUSBAudioEngine:Speakers:1\"";
    EXPECT_EQ(
        sim::describe(devices[1]),
        "{\"name\": \"OvraHelper Tap Device\", \"uid\": \"" + uid + "\", \"master\": " + speakers +
            ", \"private\": true, \"stacked\": false, \"tapautostart\": true, "
            "\"subdevices\": [{\"uid\": " +
            speakers + "}], \"taps\": [{\"drift\": true, \"uid\": \"" + t.uuid().text() + "\"}]}");
    ASSERT_EQ(uid.rfind("com.ovrahelper.tap.", 0), 0u) << uid;
    EXPECT_TRUE(isUuidText(uid.substr(19))) << uid;
    EXPECT_EQ(uid.find(t.uuid().text()), std::string::npos);
}

TEST_F(SystemAudioTest, SecondStartIsRefusedAndNeverCalled) {
    ChunkRecorder second;
    StatusRecorder secondStatus;
    ASSERT_EQ(start(), 0);
    journal().clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(second, secondStatus), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tap] System audio capture already running\n");
    EXPECT_TRUE(calls().empty());  // nothing was created for the refused start

    // The first session keeps its callbacks.
    ASSERT_EQ(
        hardware().deliverCycle(hardware().lastAggregateDevice(), std::vector<float>(960, 0.1f)),
        1u);
    hardware().flush();
    EXPECT_EQ(second.count(), 0u);
    EXPECT_EQ(chunks.users, std::vector<void*>{&chunks});
    EXPECT_EQ(status.all(), std::vector<int32_t>{0});
    EXPECT_EQ(secondStatus.all(), std::vector<int32_t>{-1});
}

// A start that fails: the failure line with the error's text, status -3, and nothing left
// behind (whatever the start had created is destroyed again, newest first).
struct FailureRow {
    const char* name;  // test name
    const char* call;  // the call made to fail, with this status
    int32_t status;
    const char* message;               // the line written for it
    int linesBefore;                   // start lines written before the failure
    size_t destroyed;                  // what the start made, destroyed again newest first
    const char* notCalled = nullptr;   // a journal entry the failed start never reached
    const char* formatLine = nullptr;  // the tap-format line, where one was written
    const char* reached = nullptr;     // the start of a journal entry the failed start made
};

class SystemAudioFailure : public SystemAudioTest,
                           public testing::WithParamInterface<FailureRow> {};

TEST_P(SystemAudioFailure, ReportsMinusThreeAndLeavesNothingBehind) {
    const FailureRow& row = GetParam();
    journal().failNext(row.call, row.status);
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(), -3);
    const auto written = lines(testing::internal::GetCapturedStderr());

    ASSERT_EQ(written.size(), size_t(row.linesBefore) + 1) << testing::PrintToString(written);
    EXPECT_EQ(written.back(), std::string("[tap] Failed to start capture: ") + row.message + "\n");
    if (row.formatLine) {
        EXPECT_EQ(written[3], "[tap] Tap format: " + std::string(row.formatLine));
    }
    if (row.notCalled) {
        EXPECT_TRUE(journal().entriesStartingWith(row.notCalled).empty());
    }
    if (row.reached) {
        EXPECT_EQ(journal().entriesStartingWith(row.reached).size(), 1u);
    }

    expectNothingLeft();
    std::vector<std::string> teardown;
    for (const auto& call : calls())
        if (call.rfind("destroy", 0) == 0 || call == "deviceStop") teardown.push_back(call);
    const std::vector<std::string> all = {"destroyIOProcID", "destroyAggregateDevice",
                                          "destroyProcessTap"};
    EXPECT_EQ(teardown, std::vector(all.end() - ptrdiff_t(row.destroyed), all.end()));

    // The slot stayed empty: the next start begins from nothing and succeeds.
    ChunkRecorder again;
    StatusRecorder againStatus;
    EXPECT_EQ(start(again, againStatus), 0);
    EXPECT_EQ(status.all(), std::vector<int32_t>{-3});
}

// Large positive statuses are four-character codes: 'who?', 'nope', 'stop'.
INSTANTIATE_TEST_SUITE_P(
    EachFailingStep, SystemAudioFailure,
    testing::Values(FailureRow{"TapCreation", "createProcessTap", -50,
                               "Failed to create process tap (OSStatus -50)", 0, 0},
                    // The default-device read is not examined: the UID read then asks object 0 (as
                    // with no default device), and its status is the one reported.
                    FailureRow{"DefaultDeviceRead", "getPropertyData:dOut", -50,
                               "Failed to read format (OSStatus 560947818)", 1, 1, nullptr, nullptr,
                               "getPropertyData object=0 address='uid '"},
                    FailureRow{"DeviceUidRead", "getPropertyData:uid", 2003332927,
                               "Failed to read format (OSStatus 2003332927)", 1, 1},
                    FailureRow{"AggregateCreation", "createAggregateDevice", -50,
                               "Failed to create aggregate device (OSStatus -50)", 2, 1},
                    FailureRow{"StreamFormatRead", "getPropertyData:sfmt", 1852797029,
                               "Failed to read format (OSStatus 1852797029)", 3, 2},
                    // The line shows the format as read, before the format object decides.
                    FailureRow{"TapFormatRefused", "makeFormat(asbd)", -1,
                               "Invalid audio format from tap", 4, 2, "makeConverter",
                               "48000.0Hz, 2ch, 32bit\n"},
                    FailureRow{"ConverterRefused", "makeConverter", -1,
                               "Failed to create audio converter", 4, 2, "createDispatchQueue"},
                    FailureRow{"IOProcCreation", "createIOProcIDWithBlock", -50,
                               "Failed to create IO proc (OSStatus -50)", 4, 2},
                    FailureRow{"DeviceStart", "deviceStart", 1937010544,
                               "Failed to start audio device (OSStatus 1937010544)", 4, 3}),
    [](const testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ovra::test
