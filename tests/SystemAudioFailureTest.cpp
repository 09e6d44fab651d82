// A system-audio start that fails: the failure line with the error's text, status -3, and
// nothing left behind (whatever the start had created is destroyed again, newest first).
#include "SystemAudioFixture.h"
#include "systemaudio/SystemAudioCapture.h"

namespace ovra::test {
namespace {

struct FailureRow {
    const char* name;                   // test name
    const char* call;                   // the journal name of the failing call
    int32_t status;                     // what it returns
    const char* message;                // the line written for it
    int linesBefore;                    // start lines written before the failure
    std::vector<std::string> teardown;  // destroy calls of the failed start, in order
};

void PrintTo(const FailureRow& row, std::ostream* os) {
    *os << row.name;
}

class SystemAudioFailure : public SystemAudioTest,
                           public testing::WithParamInterface<FailureRow> {};

TEST_P(SystemAudioFailure, ReportsMinusThreeAndLeavesNothingBehind) {
    const FailureRow& row = GetParam();
    journal().failNext(row.call, row.status);
    ChunkRecorder chunks;
    StatusRecorder status;
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(chunks, status), -3);
    const auto written = lines(testing::internal::GetCapturedStderr());

    ASSERT_EQ(written.size(), size_t(row.linesBefore) + 1) << testing::PrintToString(written);
    EXPECT_EQ(written.back(), std::string("[tap] Failed to start capture: ") + row.message + "\n");
    for (const auto& line : written) EXPECT_EQ(line.find("stopped"), std::string::npos) << line;

    EXPECT_EQ(hardware().processTapCount(), 0u);
    EXPECT_EQ(hardware().aggregateDeviceCount(), 0u);
    EXPECT_EQ(hardware().ioProcCount(), 0u);
    std::vector<std::string> teardown;
    for (const auto& call : calls())
        if (call.rfind("destroy", 0) == 0 || call == "deviceStop") teardown.push_back(call);
    EXPECT_EQ(teardown, row.teardown);

    // The slot stayed empty: the next start begins from nothing and succeeds.
    ChunkRecorder again;
    StatusRecorder againStatus;
    EXPECT_EQ(start(again, againStatus), 0);
    EXPECT_EQ(status.all(), std::vector<int32_t>{-3});
}

const std::vector<std::string> kTap = {"destroyProcessTap"};
const std::vector<std::string> kDeviceAndTap = {"destroyAggregateDevice", "destroyProcessTap"};
const std::vector<std::string> kAll = {"destroyIOProcID", "destroyAggregateDevice",
                                       "destroyProcessTap"};

INSTANTIATE_TEST_SUITE_P(
    EachFailingStep, SystemAudioFailure,
    testing::Values(FailureRow{"TapCreation",
                               "createProcessTap",
                               -50,
                               "Failed to create process tap (OSStatus -50)",
                               0,
                               {}},
                    FailureRow{"TapCreationFourCharCode",
                               "createProcessTap",
                               2003332927,  // 'who?'
                               "Failed to create process tap (OSStatus 2003332927)",
                               0,
                               {}},
                    FailureRow{"DeviceUidRead", "getPropertyData:uid", 2003332927,
                               "Failed to read format (OSStatus 2003332927)", 1, kTap},
                    FailureRow{"AggregateCreation", "createAggregateDevice", -50,
                               "Failed to create aggregate device (OSStatus -50)", 2, kTap},
                    FailureRow{"StreamFormatRead", "getPropertyData:sfmt", 1852797029,  // 'nope'
                               "Failed to read format (OSStatus 1852797029)", 3, kDeviceAndTap},
                    FailureRow{"IOProcCreation", "createIOProcIDWithBlock", -50,
                               "Failed to create IO proc (OSStatus -50)", 4, kDeviceAndTap},
                    FailureRow{"DeviceStart", "deviceStart", 1937010544,  // 'stop'
                               "Failed to start audio device (OSStatus 1937010544)", 4, kAll}),
    [](const testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

TEST_F(SystemAudioTest, UnreadableDefaultDeviceIsReportedByTheUidRead) {
    // The default-device read is not examined: the UID read then asks object 0, and its status
    // is the one reported.
    journal().failNext("getPropertyData:dOut", -50);
    ChunkRecorder chunks;
    StatusRecorder status;
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(chunks, status), -3);
    const auto written = lines(testing::internal::GetCapturedStderr());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[1], "[tap] Failed to start capture: Failed to read format (OSStatus " +
                              std::to_string(kAudioHardwareBadObjectError) + ")\n");
    const auto reads = journal().entriesStartingWith("getPropertyData");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].rfind("getPropertyData object=0 address='uid '", 0), 0u) << reads[1];
    EXPECT_EQ(hardware().processTapCount(), 0u);
}

TEST_F(SystemAudioTest, NoDefaultOutputDeviceFailsAtTheUidRead) {
    hardware().removeDefaultOutputDevice();
    ChunkRecorder chunks;
    StatusRecorder status;
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(chunks, status), -3);
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()).back(),
              "[tap] Failed to start capture: Failed to read format (OSStatus 560947818)\n");
}

TEST_F(SystemAudioTest, TapFormatRefusedByThePlatformIsInvalidFormat) {
    journal().failNext("makeFormat(asbd)");
    ChunkRecorder chunks;
    StatusRecorder status;
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(chunks, status), -3);
    EXPECT_EQ(lines(testing::internal::GetCapturedStderr()).back(),
              "[tap] Failed to start capture: Invalid audio format from tap\n");
    EXPECT_TRUE(journal().entriesStartingWith("makeConverter").empty());
}

TEST_F(SystemAudioTest, RefusedTapFormatIsInvalidFormatWithoutAnEarlierTest) {
    // 0 channels and a 0 Hz rate: the line shows them as read, and the format object decides.
    for (auto [rate, channels] : {std::pair{48000.0, 0u}, std::pair{0.0, 2u}}) {
        AudioStreamBasicDescription refused = sim::SimAudioHardware::floatFormat(rate, channels);
        hardware().setTapFormat(refused);
        ChunkRecorder chunks;
        StatusRecorder status;
        testing::internal::CaptureStderr();
        EXPECT_EQ(start(chunks, status), -3);
        const auto written = lines(testing::internal::GetCapturedStderr());
        ASSERT_EQ(written.size(), 5u);
        EXPECT_EQ(written[3], "[tap] Tap format: " + std::string(rate ? "48000.0" : "0.0") +
                                  "Hz, " + std::to_string(channels) + "ch, 32bit\n");
        EXPECT_EQ(written[4], "[tap] Failed to start capture: Invalid audio format from tap\n");
        EXPECT_EQ(hardware().aggregateDeviceCount(), 0u);
        EXPECT_EQ(hardware().processTapCount(), 0u);
    }
}

TEST_F(SystemAudioTest, RefusedConverterIsConverterFailed) {
    journal().failNext("makeConverter");
    ChunkRecorder chunks;
    StatusRecorder status;
    testing::internal::CaptureStderr();
    EXPECT_EQ(start(chunks, status), -3);
    const auto written = lines(testing::internal::GetCapturedStderr());
    ASSERT_EQ(written.size(), 5u);
    EXPECT_EQ(written[4], "[tap] Failed to start capture: Failed to create audio converter\n");
    EXPECT_TRUE(journal().entriesStartingWith("createDispatchQueue").empty());
    EXPECT_EQ(hardware().aggregateDeviceCount(), 0u);
    EXPECT_EQ(hardware().processTapCount(), 0u);
}

TEST(TapError, DescriptionsPrintTheStatusInSignedDecimal) {
    using E = TapError;
    EXPECT_EQ(E::tapCreationFailed(-50).description(),
              "Failed to create process tap (OSStatus -50)");
    EXPECT_EQ(E::aggregateCreationFailed(2003332927).description(),
              "Failed to create aggregate device (OSStatus 2003332927)");
    EXPECT_EQ(E::formatReadFailed(INT32_MIN).description(),
              "Failed to read format (OSStatus -2147483648)");
    EXPECT_EQ(E::ioProcFailed(0x21646576).description(),
              "Failed to create IO proc (OSStatus 560227702)");
    EXPECT_EQ(E::startFailed(1).description(), "Failed to start audio device (OSStatus 1)");
    EXPECT_EQ(E::invalidFormat().description(), "Invalid audio format from tap");
    EXPECT_EQ(E::converterFailed().description(), "Failed to create audio converter");
}

}  // namespace
}  // namespace ovra::test
