// A system-audio start: its five lines, its status, and exactly what it asks of the audio
// hardware, in which order, with which arguments; a second start; each failing step.
#include <gmock/gmock.h>

#include "SystemAudioFixture.h"
#include "platform/PropertyValue.h"

namespace ovra::test {
namespace {

// A UUID's canonical upper-case text.
const std::string kUuid = "[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}";

// The ID a create call's journal entry ends with ("... => 0 tap=102").
std::string createdId(const std::string& entry) {
    return entry.substr(entry.rfind('=') + 1);
}

// Two sessions, each with its own tap and aggregate device, read different tap formats.
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
    std::string previousUuid, previousUid;
    for (const auto& [format, formatLine] : formats) {
        SCOPED_TRACE(formatLine);
        hardware().setTapFormat(format);
        journal().clear();
        SystemAudioHost session;
        std::string atStatus;  // every start line is written before the status call
        session.duringStatus = [&](int32_t) {
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
    ASSERT_EQ(
        hardware().deliverCycle(hardware().lastAggregateDevice(), std::vector<float>(960, 0.1f)),
        1u);
    hardware().flush();
    EXPECT_EQ(second.count(), 0u);
    EXPECT_EQ(host.users, std::vector<void*>{&host});
    EXPECT_EQ(host.statuses(), std::vector<int32_t>{0});
    EXPECT_EQ(second.statuses(), std::vector<int32_t>{-1});
}

// A start that fails at each step in turn: the failure line with the error's text, status -3,
// and nothing left behind (whatever the start had created is destroyed again, newest first).
TEST_F(SystemAudioTest, EachFailingStepReportsMinusThreeAndLeavesNothingBehind) {
    struct Row {
        const char* call;  // the call made to fail, with this status
        int32_t status;
        const char* message;               // the line written for it
        size_t linesBefore;                // start lines written before the failure
        size_t destroyed;                  // what the start made, destroyed again newest first
        const char* notCalled = nullptr;   // a journal entry the failed start never reached
        const char* formatLine = nullptr;  // the tap-format line, where one was written
        const char* reached = nullptr;     // the start of a journal entry the failed start made
    };
    // Large positive statuses are four-character codes: 'who?', 'nope', 'stop'.
    const Row rows[] = {
        {"createProcessTap", -50, "Failed to create process tap (OSStatus -50)", 0, 0},
        // The default-device read is not examined: the UID read then asks object 0 (as with no
        // default device), and its status is the one reported.
        {"getPropertyData:dOut", -50, "Failed to read format (OSStatus 560947818)", 1, 1, nullptr,
         nullptr, "getPropertyData object=0 address='uid '"},
        {"getPropertyData:uid", 2003332927, "Failed to read format (OSStatus 2003332927)", 1, 1},
        {"createAggregateDevice", -50, "Failed to create aggregate device (OSStatus -50)", 2, 1},
        {"getPropertyData:sfmt", 1852797029, "Failed to read format (OSStatus 1852797029)", 3, 2},
        // The line shows the format as read, before the format object decides.
        {"makeFormat(asbd)", -1, "Invalid audio format from tap", 4, 2, "makeConverter",
         "48000.0Hz, 2ch, 32bit\n"},
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
        for (const auto& entry : calls()) {
            const std::string call = entry.substr(0, entry.find(' '));
            if (call.rfind("destroy", 0) == 0 || call == "deviceStop") teardown.push_back(call);
        }
        const std::vector<std::string> all = {"destroyIOProcID", "destroyAggregateDevice",
                                              "destroyProcessTap"};
        EXPECT_EQ(teardown, std::vector(all.end() - ptrdiff_t(row.destroyed), all.end()));
        EXPECT_EQ(failing.statuses(), std::vector<int32_t>{-3});

        // The slot stayed empty: the next start begins from nothing and succeeds.
        SystemAudioHost again;
        EXPECT_EQ(again.start(), 0);
        linesOf(ov_stop_system_audio);
    }
}

}  // namespace
}  // namespace ovra::test
