// A failed microphone start: the line, the status code and the recorded text of each error, and
// how ov_get_last_mic_error hands that text out.
#include <cmath>
#include <limits>

#include "MicTestSupport.h"
#include "interface/ErrorRecord.h"
#include "interface/Log.h"

namespace ovra::test {
namespace {

struct Record {
    std::string text;
    int32_t length = -1;
    bool null = false;
    bool terminated = false;
};

Record lastError() {
    uint8_t* buffer = reinterpret_cast<uint8_t*>(1);  // overwritten on every path
    int32_t length = -1;
    ov_get_last_mic_error(&buffer, &length);
    Record r;
    r.length = length;
    r.null = buffer == nullptr;
    if (buffer) {
        r.text.assign(reinterpret_cast<const char*>(buffer), size_t(length));
        r.terminated = buffer[length] == 0;
    }
    ov_free_buffer(buffer);
    return r;
}

class MicErrorTest : public MicTest {
  protected:
    // Starts with status 3 and returns the lines after the permission line, and the status.
    std::pair<std::vector<std::string>, int32_t> failingStart() {
        MicHost host;
        testing::internal::CaptureStderr();
        host.start();
        auto out = lines(testing::internal::GetCapturedStderr());
        EXPECT_FALSE(out.empty());
        if (!out.empty()) {
            EXPECT_EQ(out.front(), kPermissionLine3);
            out.erase(out.begin());
        }
        const auto statuses = host.statuses();
        EXPECT_EQ(statuses.size(), 1u);
        EXPECT_EQ(host.chunkCount(), 0u);
        return {out, statuses.empty() ? 1 : statuses[0].status};
    }
};

TEST_F(MicErrorTest, NothingRecordedBeforeAnyFailure) {
    const Record r = lastError();
    EXPECT_TRUE(r.null);
    EXPECT_EQ(r.length, 0);
}

TEST_F(MicErrorTest, NoInputDeviceAnswersMinus2AndRecords58Bytes) {
    engines().setInputFormat({0, 0, AudioCommonFormat::otherFormat, false});
    const auto [out, status] = failingStart();
    EXPECT_EQ(out, (std::vector<std::string>{
                       "[mic] AVAudioEngine input format: 0.0Hz, 0ch, 0\n",
                       "[mic] Failed to start capture: No input device available (AVAudioEngine "
                       "returned 0Hz/0ch)\n"}));
    EXPECT_EQ(status, -2);

    const Record r = lastError();
    EXPECT_EQ(r.text, "No input device available (AVAudioEngine returned 0Hz/0ch)");
    EXPECT_EQ(r.length, 58);
    EXPECT_TRUE(r.terminated);  // a block of 59 bytes ending in 0

    // The engine was asked for its format and nothing else was set up.
    EXPECT_EQ(journal().entries(),
              (std::vector<std::string>{
                  "authorizationStatus -> 3", "engineInit engine=1", "inputNode engine=1",
                  "outputFormatForBus engine=1 bus=0 -> 0.0Hz 0ch common=0"}));
    EXPECT_EQ(observers(), 0u);
}

// Every reading that means "no device": a rate not above 0 (NaN included) or no channels.
class MicNoDevice : public MicErrorTest, public ::testing::WithParamInterface<AudioFormatInfo> {};

TEST_P(MicNoDevice, IsReportedAfterTheFormatLine) {
    engines().setInputFormat(GetParam());
    const auto [out, status] = failingStart();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0],
              "[mic] AVAudioEngine input format: " + formatSampleRate(GetParam().sampleRate) +
                  "Hz, " + std::to_string(GetParam().channelCount) + "ch, 1\n");
    EXPECT_EQ(status, -2);
    EXPECT_TRUE(journal().entriesStartingWith("installTapOnBus").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Readings, MicNoDevice,
    ::testing::Values(sim::simInputFormat(0, 2), sim::simInputFormat(48000, 0),
                      sim::simInputFormat(std::numeric_limits<double>::quiet_NaN(), 1),
                      sim::simInputFormat(-44100, 1),
                      sim::simInputFormat(-std::numeric_limits<double>::infinity(), 1)));

TEST_F(MicErrorTest, AnInfiniteRateCannotMakeTheMonoFormat) {
    engines().setInputFormat(sim::simInputFormat(std::numeric_limits<double>::infinity(), 1));
    const auto [out, status] = failingStart();
    EXPECT_EQ(out, (std::vector<std::string>{"[mic] AVAudioEngine input format: infHz, 1ch, 1\n",
                                             "[mic] Failed to start capture: Failed to create "
                                             "audio converter (failed to create mono format at "
                                             "infHz)\n"}));
    EXPECT_EQ(status, -3);
    EXPECT_EQ(lastError().text,
              "Failed to create audio converter (failed to create mono format at "
              "infHz)");
}

TEST_F(MicErrorTest, ARefusedConverterAnswersMinus3) {
    platform->micFacilities.refuseConverter = true;
    const auto [out, status] = failingStart();
    EXPECT_EQ(out, concat({{startLines("48000.0")[0], startLines("48000.0")[1]},
                           {"[mic] Failed to start capture: Failed to create audio converter "
                            "(from 48000.0Hz/1ch to 16kHz/1ch)\n"}}));
    EXPECT_EQ(status, -3);
    EXPECT_EQ(lastError().text,
              "Failed to create audio converter (from 48000.0Hz/1ch to 16kHz/1ch)");
    EXPECT_TRUE(journal().entriesStartingWith("installTapOnBus").empty());
}

TEST_F(MicErrorTest, AnEngineThatWillNotStartAnswersMinus5AndLeavesNoTap) {
    engines().failNextStart("The operation couldn't be completed. (error -10868.)");
    const auto [out, status] = failingStart();
    EXPECT_EQ(out, concat({{startLines("48000.0")[0], startLines("48000.0")[1]},
                           {"[mic] Failed to start capture: AVAudioEngine failed to start: The "
                            "operation couldn't be completed. (error -10868.)\n"}}));
    EXPECT_EQ(status, -5);
    EXPECT_EQ(lastError().text,
              "AVAudioEngine failed to start: The operation couldn't be completed. (error "
              "-10868.)");
    EXPECT_EQ(journalWithout(journal(), "authorizationStatus"),
              (std::vector<std::string>{
                  "engineInit engine=1", "inputNode engine=1",
                  "outputFormatForBus engine=1 bus=0 -> 48000.0Hz 1ch common=1",
                  "installTapOnBus engine=1 bus=0 bufferSize=4096 format=48000.0Hz 1ch common=1 "
                  "interleaved=0",
                  "startAndReturnError engine=1 -> false The operation couldn't be completed. "
                  "(error -10868.)",
                  "removeTapOnBus engine=1 bus=0"}));
    EXPECT_FALSE(engines().latest()->hasTap());
    EXPECT_EQ(observers(), 0u);
}

TEST_F(MicErrorTest, AnErrorOfAnotherKindIsReportedAsUnexpected) {
    engines().throwOnNextStart("engine exploded");
    const auto [out, status] = failingStart();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2], "[mic] Failed to start capture (unexpected): engine exploded\n");
    EXPECT_EQ(status, -3);
    EXPECT_EQ(lastError().text, "engine exploded");
    EXPECT_FALSE(engines().latest()->hasTap());
}

TEST_F(MicErrorTest, TheLengthCountsUtf8BytesNotCharacters) {
    const std::string platformText = "Le micro « Entrée » est occupé — réessayez";
    engines().failNextStart(platformText);
    failingStart();
    const Record r = lastError();
    const std::string expected = "AVAudioEngine failed to start: " + platformText;
    EXPECT_EQ(r.text, expected);
    EXPECT_EQ(r.length, int32_t(expected.size()));
    size_t characters = 0;
    for (char c : expected) characters += (uint8_t(c) & 0xC0) != 0x80;
    EXPECT_LT(characters, expected.size());
    EXPECT_TRUE(r.terminated);
}

TEST_F(MicErrorTest, TextThatIsNotUtf8IsNotHandedOutAsUtf8) {
    engines().failNextStart("p\xe9riph\xe9rique occup\xe9");  // Latin-1
    const auto [out, status] = failingStart();
    EXPECT_EQ(status, -5);
    const Record r = lastError();
    EXPECT_TRUE(r.null);
    EXPECT_EQ(r.length, 0);
}

TEST_F(MicErrorTest, TheLastFailureSurvivesLaterSuccessRefusalAndStop) {
    engines().failNextStart("first failure");
    failingStart();
    engines().failNextStart("second failure");
    failingStart();
    EXPECT_EQ(lastError().text, "AVAudioEngine failed to start: second failure");

    MicHost ok;
    ok.start();
    ASSERT_EQ(ok.statuses()[0].status, 0);
    MicHost again;
    again.start();  // already running
    permission().setStatus(2);
    MicHost refused;
    refused.start();
    ov_stop_mic();

    const Record r = lastError();
    EXPECT_EQ(r.text, "AVAudioEngine failed to start: second failure");
    // Each call hands out a fresh copy of the same text.
    EXPECT_EQ(lastError().text, r.text);
}

TEST(MicUtf8, WellFormedTextOnly) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("\xc3\xa9\xe2\x80\x94\xf0\x9f\x8e\xa4"));  // é — 🎤
    EXPECT_FALSE(isValidUtf8("\xe9"));                                 // Latin-1 é
    EXPECT_FALSE(isValidUtf8("\xc3"));                                 // cut short
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));                             // overlong '/'
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));                         // a surrogate
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));                     // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xe2\x28\xa1"));                         // bad continuation
}

}  // namespace
}  // namespace ovra::test
