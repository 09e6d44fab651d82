#include <gtest/gtest.h>

#include "MicTestSupport.h"
#include "OvraHelper.h"
#include "platform/sim/SimPlatform.h"

namespace ovra {
namespace {

TEST(IdleExports, StopsWithNothingRunning) {
    sim::installSimPlatform();
    EXPECT_TRUE(test::linesOf(ov_stop_system_audio).empty());
    EXPECT_EQ(test::linesOf([] {
                  ov_stop_mic();
                  ov_stop_mic();
              }),
              std::vector<std::string>(2, "[mic] Microphone capture stopped\n"));
}

TEST(IdleExports, FreeBufferIgnoresNullAndNoErrorIsRecordedYet) {
    ov_free_buffer(nullptr);
    EXPECT_EQ(test::lastError(), std::nullopt);
}

}  // namespace
}  // namespace ovra
