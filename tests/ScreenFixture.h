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

// The quarter blocks on a grey ground.
inline sim::SimPicture quarterPicture(size_t width, size_t height,
                                      PixelFormat format = PixelFormat::bgrx) {
    sim::SimPicture p;
    p.width = width;
    p.height = height;
    p.format = format;
    for (const Block& b : quarterBlocks(int(width), int(height)))
        p.blocks.push_back({size_t(b.x),
                            size_t(b.y),
                            size_t(b.width),
                            size_t(b.height),
                            {uint8_t(b.color.r), uint8_t(b.color.g), uint8_t(b.color.b)}});
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
        shot_ = takeShot(ov_capture_screen);
        return shot_;
    }

    // Every block's centre, mapped into the decoded image, shows the block's colour.
    void expectBlocksShown(const sim::SimPicture& p, const DecodedJpeg& jpeg) {
        expectBlocks(p.blocks, double(p.width), double(p.height), jpeg);
    }

    std::shared_ptr<sim::SimPlatform> platform_;
    Shot shot_;
};

}  // namespace ovra::test
