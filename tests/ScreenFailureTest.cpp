// Every failure and fallback of the screenshot: which line is written, what is returned, and
// that the host's variables are left as they were on failure.
#include <gtest/gtest.h>

#include "ScreenFixture.h"
#include "support/AllocationCounter.h"

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
        {"oversized", "Error: Screenshot text too long for a 32-bit length\n", nullptr},
        // Nothing can be handed over through a null out-pointer: no work is done.
        {"null buffer", "Error: ov_capture_screen needs two non-null out-pointers\n",
         "mainDisplayID"},
        {"null length", "Error: ov_capture_screen needs two non-null out-pointers\n",
         "mainDisplayID"},
    };
    uint8_t sentinel = 0;
    for (const auto& c : cases)
        for (auto [buffer, length] : {std::pair<uint8_t*, int32_t>{nullptr, 0},
                                      std::pair<uint8_t*, int32_t>{&sentinel, 77}}) {
            SCOPED_TRACE(c.line);
            journal().clear();
            const std::string step = c.step;
            if (step == "oversized")
                platform().simGraphics().makeNextJpegOversized(1610612734);
            else if (step.rfind("null", 0) != 0)
                journal().failNext(c.step);
            uint8_t* b = buffer;
            int32_t n = length;
            testing::internal::CaptureStderr();
            EXPECT_EQ(ov_capture_screen(step == "null buffer" ? nullptr : &b,
                                        step == "null length" ? nullptr : &n),
                      1);
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
    } cases[] = {
        {"createColorSpaceWithName", "createBitmapContext"},
        {"createBitmapContext", "drawImage"},
        // A draw that cannot be done (no scaler) leaves no image to encode, not a black one.
        {"drawImage", nullptr},
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

// Whichever allocation of a call is refused, the call either fails with one "Error: " line and
// leaves the host's variables alone, or succeeds with the picture (reduced, or at full size when
// the reduction could not be made), never a black one; and the process goes on.
TEST_F(ScreenFailure, EveryRefusedAllocationFailsWithALineOrShowsThePicture) {
    picture_ = quarterPicture(2400, 300);
    show(picture_);
    ASSERT_EQ(capture().result, 0);  // opens the scaler's library, fills the caches
    long refusals = 0;
    for (long nth = 0; nth < 5000; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " refused");
        journal().clear();
        uint8_t* buffer = nullptr;
        int32_t length = 0;
        int32_t result = -1;
        bool refused = false;
        testing::internal::CaptureStderr();
        {
            test::AllocationRefusal refusal(nth);
            result = ov_capture_screen(&buffer, &length);
            refused = refusal.refused();
        }
        const std::string log = testing::internal::GetCapturedStderr();
        if (result == 0) {
            EXPECT_EQ(log, "");
            const auto jpeg = decodeShot(buffer, length);
            ov_free_buffer(buffer);
            ASSERT_TRUE(jpeg);
            EXPECT_TRUE(jpeg->width == 1920 || jpeg->width == 2400) << jpeg->width;
            expectBlocksShown(picture_, *jpeg);
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_TRUE(log.rfind("Error: ", 0) == 0 && log.find('\n') == log.size() - 1) << log;
            EXPECT_EQ(buffer, nullptr);
            EXPECT_EQ(length, 0);
        }
        if (!refused) break;  // the call made fewer allocations than nth: every one was tried
        ++refusals;
        if (HasFailure()) break;
    }
    EXPECT_GT(refusals, 10);
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
