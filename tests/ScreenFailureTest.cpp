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

    // A failing capture leaves whatever the host stored before: null and 0, or anything else.
    void expectFailureWithLine(const std::string& line) {
        for (auto [buffer, length] : {std::pair<uint8_t*, int32_t>{nullptr, 0},
                                      std::pair<uint8_t*, int32_t>{sentinel_, 77}}) {
            uint8_t* b = buffer;
            int32_t n = length;
            testing::internal::CaptureStderr();
            EXPECT_EQ(ov_capture_screen(&b, &n), 1);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
            EXPECT_EQ(b, buffer);
            EXPECT_EQ(n, length);
            rearm();
        }
    }

    // The full-size picture comes back, with no line written.
    void expectFullSizeFallback() {
        const Shot& shot = capture();
        ASSERT_EQ(shot.result, 0);
        EXPECT_EQ(shot.log, "");
        ASSERT_TRUE(shot.jpeg);
        EXPECT_EQ(shot.jpeg->width, 2880);
        EXPECT_EQ(shot.jpeg->height, 1800);
        expectBlocksShown(picture_, *shot.jpeg);
    }

    std::function<void()> rearm = [] {};
    sim::SimPicture picture_ = quarterPicture(2880, 1800);
    uint8_t sentinelByte_ = 0;
    uint8_t* sentinel_ = &sentinelByte_;
};

TEST_F(ScreenFailure, NoDisplayImage) {
    rearm = [&] { journal().failNext("createDisplayImage"); };
    rearm();
    expectFailureWithLine("Error: CGDisplayCreateImage returned nil\n");
    EXPECT_TRUE(journal().entriesStartingWith("createImageDestination").empty());
}

TEST_F(ScreenFailure, DestinationCannotBeCreated) {
    rearm = [&] { journal().failNext("createImageDestination"); };
    rearm();
    expectFailureWithLine("Error: Failed to create image destination\n");
    EXPECT_TRUE(journal().entriesStartingWith("addImage").empty());
}

TEST_F(ScreenFailure, FinalizationFails) {
    rearm = [&] { journal().failNext("finalize"); };
    rearm();
    expectFailureWithLine("Error: Failed to finalize image\n");
}

TEST_F(ScreenFailure, TextTooLongForA32BitLength) {
    // 1 610 612 734 bytes are the fewest whose Base64 text passes 2^31 - 1 characters.
    rearm = [&] { platform().simGraphics().makeNextJpegOversized(1610612734); };
    rearm();
    expectFailureWithLine("Error: Screenshot text too long for a 32-bit length\n");
}

TEST_F(ScreenFailure, NoColourSpaceAtAllFallsBackToFullSize) {
    picture_.hasColorSpace = false;
    show(picture_);
    journal().failNext("createColorSpaceWithName");
    expectFullSizeFallback();
    EXPECT_TRUE(journal().entriesStartingWith("createBitmapContext").empty());
}

TEST_F(ScreenFailure, NoBitmapContextFallsBackToFullSize) {
    journal().failNext("createBitmapContext");
    expectFullSizeFallback();
    EXPECT_TRUE(journal().entriesStartingWith("drawImage").empty());
}

TEST_F(ScreenFailure, NoScaledImageFallsBackToFullSize) {
    journal().failNext("createImageOfContext");
    expectFullSizeFallback();
    EXPECT_EQ(journal().entriesStartingWith("addImage"),
              std::vector<std::string>{"addImage 2880x1800 quality=0.5"});
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
