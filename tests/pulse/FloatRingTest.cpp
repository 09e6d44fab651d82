// The ring between the libpulse main loop and the delivery: whole frames, silence for holes,
// what does not fit left out, and a reader on another thread seeing every sample in order.
#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "platform/pulse/FloatRing.h"

using ovra::pulse::FloatRing;

TEST(FloatRing, KeepsWholeFramesInOrderAcrossTheWrap) {
    FloatRing ring(6);  // rounded up to 8, which the push after the wrap shows
    std::vector<float> in(6), out(8);
    std::iota(in.begin(), in.end(), 1.0f);
    EXPECT_EQ(ring.push(in.data(), 6, 2), 6u);
    EXPECT_EQ(ring.pop(out.data(), 4), 4u);
    // 2 held, 6 free: a push of 8 takes the 6 that fit, wrapping past the end.
    std::vector<float> more(8);
    std::iota(more.begin(), more.end(), 10.0f);
    EXPECT_EQ(ring.push(more.data(), 8, 2), 6u);
    EXPECT_EQ(ring.pop(out.data(), 8), 8u);
    EXPECT_EQ(out, (std::vector<float>{5, 6, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(ring.pop(out.data(), 8), 0u);
}

TEST(FloatRing, LeavesOutPartFramesAndWritesSilenceForAHole) {
    FloatRing ring(8);
    const std::vector<float> stereo = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ring.push(stereo.data(), 6, 2), 6u);
    // 2 free: one whole frame of silence fits, the second does not.
    EXPECT_EQ(ring.push(nullptr, 4, 2), 2u);
    EXPECT_EQ(ring.push(stereo.data(), 2, 2), 0u) << "full";
    std::vector<float> out(8, -1);
    EXPECT_EQ(ring.pop(out.data(), 8), 8u);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5, 6, 0, 0}));
    // With room for 1 of 3 channels of a frame, none of it goes in.
    EXPECT_EQ(ring.push(stereo.data(), 4, 2), 4u);
    EXPECT_EQ(ring.push(stereo.data(), 3, 3), 3u);
    EXPECT_EQ(ring.push(stereo.data(), 3, 3), 0u);
}

TEST(FloatRing, ReaderOnAnotherThreadSeesEverySampleOnce) {
    FloatRing ring(256);
    constexpr int kTotal = 20000;
    std::thread writer([&] {
        float next = 0;
        while (next < kTotal) {
            float frame[2] = {next, next + 1};
            if (ring.push(frame, 2, 2) == 2) next += 2;
        }
    });
    std::vector<float> got, buffer(64);
    while (got.size() < size_t(kTotal)) {
        const size_t n = ring.pop(buffer.data(), buffer.size());
        got.insert(got.end(), buffer.begin(), buffer.begin() + std::ptrdiff_t(n));
    }
    writer.join();
    for (int i = 0; i < kTotal; ++i) ASSERT_EQ(got[size_t(i)], float(i));
}
