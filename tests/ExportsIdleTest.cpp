// The exports with nothing running, on the simulated platform.
#include <gtest/gtest.h>

#include "OvraHelper.h"
#include "platform/sim/SimPlatform.h"

namespace ovra {
namespace {

TEST(IdleExports, StopsWithNothingRunning) {
    sim::installSimPlatform();
    testing::internal::CaptureStderr();
    ov_stop_system_audio();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // system audio writes nothing
    testing::internal::CaptureStderr();
    ov_stop_mic();
    ov_stop_mic();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[mic] Microphone capture stopped\n[mic] Microphone capture stopped\n");
}

TEST(IdleExports, FreeBufferIgnoresNullAndNoErrorIsRecordedYet) {
    ov_free_buffer(nullptr);
    uint8_t* buf = nullptr;
    int32_t len = -1;
    ov_get_last_mic_error(&buf, &len);
    EXPECT_EQ(buf, nullptr);  // nothing has failed yet
    EXPECT_EQ(len, 0);
}

}  // namespace
}  // namespace ovra
