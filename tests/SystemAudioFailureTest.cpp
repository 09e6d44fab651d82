// A system-audio start that fails: the failure line with the error's text, status -3, and
// nothing left behind (whatever the start had created is destroyed again, newest first).
#include "SystemAudioFixture.h"

namespace ovra::test {
namespace {

using Arrange = void (*)(sim::SimAudioHardware&, sim::SimJournal&);

struct FailureRow {
    const char* name;  // test name
    const char* call;  // the call made to fail, with this status
    int32_t status;
    const char* message;                // the line written for it
    int linesBefore;                    // start lines written before the failure
    std::vector<std::string> teardown;  // destroy calls of the failed start, in order
    const char* notCalled = nullptr;    // a journal entry the failed start never reached
    const char* formatLine = nullptr;   // the tap-format line, where one was written
    const char* reached = nullptr;      // the start of a journal entry the failed start made
    Arrange arrange = nullptr;          // makes the start fail otherwise
};

class SystemAudioFailure : public SystemAudioTest,
                           public testing::WithParamInterface<FailureRow> {};

TEST_P(SystemAudioFailure, ReportsMinusThreeAndLeavesNothingBehind) {
    const FailureRow& row = GetParam();
    if (row.call) journal().failNext(row.call, row.status);
    if (row.arrange) row.arrange(hardware(), journal());
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(), -3);
    const auto written = lines(testing::internal::GetCapturedStderr());

    ASSERT_EQ(written.size(), size_t(row.linesBefore) + 1) << testing::PrintToString(written);
    EXPECT_EQ(written.back(), std::string("[tap] Failed to start capture: ") + row.message + "\n");
    for (const auto& line : written) EXPECT_EQ(line.find("stopped"), std::string::npos) << line;
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
    EXPECT_EQ(teardown, row.teardown);

    // The slot stayed empty: the next start begins from nothing and succeeds.
    hardware().setDefaultOutputDevice("Speakers");
    hardware().setTapFormat(sim::SimAudioHardware::floatFormat(48000.0, 2));
    ChunkRecorder again;
    StatusRecorder againStatus;
    EXPECT_EQ(start(again, againStatus), 0);
    EXPECT_EQ(status.all(), std::vector<int32_t>{-3});
}

const std::vector<std::string> kNone = {};
const std::vector<std::string> kTap = {"destroyProcessTap"};
const std::vector<std::string> kDeviceAndTap = {"destroyAggregateDevice", "destroyProcessTap"};
const std::vector<std::string> kAll = {"destroyIOProcID", "destroyAggregateDevice",
                                       "destroyProcessTap"};
// Large positive statuses are four-character codes: 'who?', 'nope', 'stop'.
INSTANTIATE_TEST_SUITE_P(
    EachFailingStep, SystemAudioFailure,
    testing::Values(
        FailureRow{"TapCreation", "createProcessTap", -50,
                   "Failed to create process tap (OSStatus -50)", 0, kNone},
        FailureRow{"TapCreationFourCharCode", "createProcessTap", 2003332927,
                   "Failed to create process tap (OSStatus 2003332927)", 0, kNone},
        // The default-device read is not examined: the UID read then asks object 0, and its
        // status is the one reported.
        FailureRow{"DefaultDeviceRead", "getPropertyData:dOut", -50,
                   "Failed to read format (OSStatus 560947818)", 1, kTap, nullptr, nullptr,
                   "getPropertyData object=0 address='uid '"},
        FailureRow{"NoDefaultOutputDevice", nullptr, 0,
                   "Failed to read format (OSStatus 560947818)", 1, kTap, nullptr, nullptr, nullptr,
                   [](auto& h, auto&) { h.removeDefaultOutputDevice(); }},
        FailureRow{"DeviceUidRead", "getPropertyData:uid", 2003332927,
                   "Failed to read format (OSStatus 2003332927)", 1, kTap},
        FailureRow{"AggregateCreation", "createAggregateDevice", -50,
                   "Failed to create aggregate device (OSStatus -50)", 2, kTap},
        FailureRow{"StreamFormatRead", "getPropertyData:sfmt", 1852797029,
                   "Failed to read format (OSStatus 1852797029)", 3, kDeviceAndTap},
        FailureRow{"TapFormatRefusedByThePlatform", "makeFormat(asbd)", -1,
                   "Invalid audio format from tap", 4, kDeviceAndTap, "makeConverter"},
        // 0 channels and a 0 Hz rate: the line shows them as read, and the format object
        // decides, without an earlier test.
        FailureRow{
            "TapFormatWithoutChannels", nullptr, 0, "Invalid audio format from tap", 4,
            kDeviceAndTap, "makeConverter", "48000.0Hz, 0ch, 32bit\n", nullptr,
            [](auto& h, auto&) { h.setTapFormat(sim::SimAudioHardware::floatFormat(48000, 0)); }},
        FailureRow{
            "TapFormatWithoutRate", nullptr, 0, "Invalid audio format from tap", 4, kDeviceAndTap,
            "makeConverter", "0.0Hz, 2ch, 32bit\n", nullptr,
            [](auto& h, auto&) { h.setTapFormat(sim::SimAudioHardware::floatFormat(0, 2)); }},
        FailureRow{"ConverterRefused", "makeConverter", -1, "Failed to create audio converter", 4,
                   kDeviceAndTap, "createDispatchQueue"},
        FailureRow{"IOProcCreation", "createIOProcIDWithBlock", -50,
                   "Failed to create IO proc (OSStatus -50)", 4, kDeviceAndTap},
        FailureRow{"DeviceStart", "deviceStart", 1937010544,
                   "Failed to start audio device (OSStatus 1937010544)", 4, kAll}),
    [](const testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ovra::test
