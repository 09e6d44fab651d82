// Screenshots taken from several threads while others free buffers, read the microphone error and
// call both stops: each capture must come back whole, and nothing may race (ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "OvraHelper.h"
#include "ScreenJpeg.h"
#include "platform/sim/SimDisplay.h"
#include "platform/sim/SimPlatform.h"

namespace ovra::test {
namespace {

TEST(ScreenRace, CapturesAlongsideFreesErrorReadsAndStops) {
    auto platform = sim::installSimPlatform();
    sim::SimPicture picture;
    picture.width = 2400;
    picture.height = 1200;
    picture.blocks = {{0, 0, 1200, 1200, {220, 30, 30}}, {1200, 0, 1200, 1200, {30, 40, 210}}};
    platform->simDisplay().show(picture);

    constexpr int kCapturers = 3, kCaptures = 4;
    std::atomic<bool> capturing{true};
    std::atomic<int> whole{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kCapturers; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kCaptures; ++i) {
                uint8_t* buffer = nullptr;
                int32_t length = 0;
                if (ov_capture_screen(&buffer, &length) != 0) continue;
                const auto jpeg = decodeShot(buffer, length);
                ov_free_buffer(buffer);
                if (jpeg && jpeg->width == 1920 && jpeg->height == 960 &&
                    near(jpeg->meanAround(400, 480), {220, 30, 30}, 14) &&
                    near(jpeg->meanAround(1500, 480), {30, 40, 210}, 14))
                    ++whole;
            }
        });
    threads.emplace_back([&] {
        while (capturing) {
            uint8_t* text = nullptr;
            int32_t length = -1;
            ov_get_last_mic_error(&text, &length);
            ov_free_buffer(text);
            ov_free_buffer(nullptr);
        }
    });
    threads.emplace_back([&] {
        testing::internal::CaptureStderr();
        while (capturing) {
            ov_stop_system_audio();
            ov_stop_mic();
        }
        testing::internal::GetCapturedStderr();
    });
    for (int t = 0; t < kCapturers; ++t) threads[size_t(t)].join();
    capturing = false;
    for (size_t t = kCapturers; t < threads.size(); ++t) threads[t].join();
    EXPECT_EQ(whole.load(), kCapturers * kCaptures);
    installPlatform(nullptr);
}

}  // namespace
}  // namespace ovra::test
