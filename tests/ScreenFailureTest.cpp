// Every failure and fallback of the screenshot: which line is written, what is returned, and
// that the host's variables are left as they were on failure.
#include <gtest/gtest.h>

#include "ScreenFixture.h"

namespace ovra::test {
namespace {

class ScreenFailure : public ScreenTest {
  protected:
    void SetUp() override {
        ScreenTest::SetUp();
        show(picture_);
    }
    sim::SimPicture picture_ = quarterPicture(2880, 1800);
};

// A failing capture writes its line, returns 1 and leaves whatever the host stored before:
// null and 0, or anything else.
TEST_F(ScreenFailure, FailuresWriteTheirLineAndLeaveTheVariables) {
    const struct {
        const char *step, *line, *notReached;
    } cases[] = {
        {"createDisplayImage", "Error: CGDisplayCreateImage returned nil\n",
         "createImageDestination"},
        {"createImageDestination", "Error: Failed to create image destination\n", "addImage"},
        {"finalize", "Error: Failed to finalize image\n", nullptr},
        // 1 610 612 734 bytes are the fewest whose Base64 text passes 2^31 - 1 characters.
        {nullptr, "Error: Screenshot text too long for a 32-bit length\n", nullptr},
    };
    uint8_t sentinel = 0;
    for (const auto& c : cases)
        for (auto [buffer, length] : {std::pair<uint8_t*, int32_t>{nullptr, 0},
                                      std::pair<uint8_t*, int32_t>{&sentinel, 77}}) {
            SCOPED_TRACE(c.line);
            journal().clear();
            if (c.step)
                journal().failNext(c.step);
            else
                platform().simGraphics().makeNextJpegOversized(1610612734);
            uint8_t* b = buffer;
            int32_t n = length;
            testing::internal::CaptureStderr();
            EXPECT_EQ(ov_capture_screen(&b, &n), 1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
            EXPECT_EQ(b, buffer);
            EXPECT_EQ(n, length);
            EXPECT_TRUE(!c.notReached || journal().entriesStartingWith(c.notReached).empty());
        }
}

// Without a colour space (and none to be made), a context or a scaled image, the full-size
// picture is encoded instead, with no line written and the later steps skipped.
TEST_F(ScreenFailure, ScalingFailuresFallBackToFullSize) {
    const struct {
        const char *step, *notReached;
    } cases[] = {{"createColorSpaceWithName", "createBitmapContext"},
                 {"createBitmapContext", "drawImage"},
                 {"createImageOfContext", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        picture_.hasColorSpace = std::string(c.step) != "createColorSpaceWithName";
        show(picture_);
        journal().clear();
        journal().failNext(c.step);
        const Shot& shot = capture();
        ASSERT_EQ(shot.result, 0);
        EXPECT_EQ(shot.log, "");
        ASSERT_TRUE(shot.jpeg);
        EXPECT_EQ(shot.jpeg->width, 2880);
        EXPECT_EQ(shot.jpeg->height, 1800);
        expectBlocksShown(picture_, *shot.jpeg);
        EXPECT_TRUE(!c.notReached || journal().entriesStartingWith(c.notReached).empty());
        EXPECT_EQ(journal().entriesStartingWith("addImage"),
                  std::vector<std::string>{"addImage 2880x1800 quality=0.5"});
    }
}

TEST_F(ScreenFailure, NextCallAfterAFailureSucceeds) {
    journal().failNext("finalize");
    EXPECT_EQ(capture().result, 1);
    const Shot& shot = capture();
    EXPECT_EQ(shot.result, 0);
    EXPECT_EQ(shot.log, "");
    ASSERT_TRUE(shot.jpeg);
    EXPECT_EQ(shot.jpeg->width, 1920);
}

}  // namespace
}  // namespace ovra::test
