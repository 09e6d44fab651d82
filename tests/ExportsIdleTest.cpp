#include <gtest/gtest.h>

#include "MicTestSupport.h"
#include "OvraHelper.h"

namespace ovra::test {
namespace {

using IdleExports = SimTest;

TEST_F(IdleExports, StopsWithNothingRunning) {
    EXPECT_TRUE(linesOf(ov_stop_system_audio).empty());
    EXPECT_EQ(linesOf([] {
                  ov_stop_mic();
                  ov_stop_mic();
              }),
              std::vector<std::string>(2, "[mic] Microphone capture stopped\n"));
}

TEST_F(IdleExports, FreeBufferIgnoresNullAndNoErrorIsRecordedYet) {
    ov_free_buffer(nullptr);
    EXPECT_EQ(lastError(), std::nullopt);
}

}  // namespace
}  // namespace ovra::test
