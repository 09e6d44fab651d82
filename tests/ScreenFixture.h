// A screenshot test on the simulated platform: a scripted picture, one capture through the
// export with its standard error, and the result decoded as a host would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "OvraHelper.h"
#include "ScreenJpeg.h"
#include "platform/sim/SimDisplay.h"
#include "platform/sim/SimPlatform.h"

namespace ovra::test {

struct Shot {
    int32_t result = -1;
    uint8_t* buffer = nullptr;
    int32_t length = 0;
    std::string log;
    std::optional<DecodedJpeg> jpeg;
};

// Distinct saturated blocks in the four quarters and a white one in the middle, on a grey ground,
// so that a scaled, mirrored or channel-swapped picture shows.
inline sim::SimPicture quarterPicture(size_t width, size_t height,
                                      PixelFormat format = PixelFormat::bgrx) {
    sim::SimPicture p;
    p.width = width;
    p.height = height;
    p.format = format;
    const size_t w = width / 2, h = height / 2;
    p.blocks = {
        {0, 0, w, h, {220, 30, 30}},
        {w, 0, width - w, h, {30, 200, 40}},
        {0, h, w, height - h, {30, 40, 210}},
        {w, h, width - w, height - h, {230, 220, 40}},
        {width / 4 + width / 8, height / 4 + height / 8, width / 4, height / 4, {250, 250, 250}}};
    return p;
}

class ScreenTest : public ::testing::Test {
  protected:
    void SetUp() override { platform_ = sim::installSimPlatform(); }
    void TearDown() override {
        if (shot_.buffer) ov_free_buffer(shot_.buffer);
        installPlatform(nullptr);
    }

    sim::SimPlatform& platform() { return *platform_; }
    sim::SimJournal& journal() { return platform_->journal(); }
    void show(sim::SimPicture p) { platform_->simDisplay().show(std::move(p)); }

    // One capture; the buffer is freed at the end of the test.
    const Shot& capture() {
        if (shot_.buffer) ov_free_buffer(shot_.buffer);
        shot_ = Shot{};
        testing::internal::CaptureStderr();
        shot_.result = ov_capture_screen(&shot_.buffer, &shot_.length);
        shot_.log = testing::internal::GetCapturedStderr();
        if (shot_.result == 0 && shot_.length >= 0) {
            if (auto bytes = decodeBase64(shot_.buffer, size_t(shot_.length)))
                shot_.jpeg = decodeJpeg(*bytes);
        }
        return shot_;
    }

    // Every block's centre, mapped into the decoded image, shows the block's colour.
    void expectBlocksShown(const sim::SimPicture& p, const DecodedJpeg& jpeg, int tolerance = 14) {
        for (const auto& b : p.blocks) {
            const size_t cx = b.x + b.width / 2, cy = b.y + b.height / 2;
            const int x = int(double(cx) * jpeg.width / double(p.width));
            const int y = int(double(cy) * jpeg.height / double(p.height));
            const Rgb want{b.color.r, b.color.g, b.color.b};
            const Rgb got = jpeg.meanAround(x, y);
            EXPECT_TRUE(near(got, want, tolerance))
                << "block at " << b.x << "," << b.y << " shows " << describe(got) << ", drawn "
                << describe(want);
        }
    }

    std::shared_ptr<sim::SimPlatform> platform_;
    Shot shot_;
};

}  // namespace ovra::test
