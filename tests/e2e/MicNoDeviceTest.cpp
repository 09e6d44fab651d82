// A microphone start with nothing to record from: no server at all, or only a sink's monitor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/MicHost.h"
#include "e2e/PulseServer.h"

using namespace ovra::e2e;

namespace {

const std::string kNoInputText = "No input device available (AVAudioEngine returned 0Hz/0ch)";

// Starts once and checks the -2 answer, its line and the 58-byte record.
void expectNoInputDevice() {
    MicHost host;
    testing::internal::CaptureStderr();
    host.start();
    const auto lines = linesOf(testing::internal::GetCapturedStderr());
    EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{-2});
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[mic] Permission status: 3 (0=notDetermined, 1=restricted, 2=denied, "
                         "3=authorized)",
                         "[mic] AVAudioEngine input format: 0.0Hz, 0ch, 1",
                         "[mic] Failed to start capture: " + kNoInputText}));

    uint8_t* buffer = nullptr;
    int32_t length = -1;
    Library::get().getLastMicError(&buffer, &length);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(length, 58);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 58), kNoInputText);
    EXPECT_EQ(buffer[58], 0) << "NUL-terminated";
    Library::get().freeBuffer(buffer);

    // Nothing was registered: the next start fails the same way rather than with -1.
    MicHost again;
    testing::internal::CaptureStderr();
    again.start();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(again.statusCodes(), std::vector<int32_t>{-2});
}

}  // namespace

TEST(MicNoDevice, NoServerIsNoInputDevice) {
    setenv("PULSE_SERVER", "unix:/nonexistent/ovra-mic/native", 1);
    expectNoInputDevice();
}

TEST(MicNoDevice, OnlyAMonitorIsNoInputDevice) {
    PulseServer server;
    ASSERT_TRUE(server.ok());
    server.useInThisProcess();
    std::string out;
    server.pactl({"get-default-source"}, &out);
    ASSERT_EQ(out, "speakers.monitor\n");
    server.play(server.makeTone("t", {.frequency = 440}));  // the monitor hears it: still no mic
    expectNoInputDevice();
}
