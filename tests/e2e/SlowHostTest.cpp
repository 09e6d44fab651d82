// A host whose data callback is slow: one that keeps up on average gets every sample, in larger
// chunks while it catches up; one that stalls loses a bounded stretch, told in one line.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e/AudioHost.h"

using namespace std::chrono_literals;
using namespace ovra::e2e;

namespace {

class SlowHost : public WithHostAudio {
  protected:
    SlowHost() : WithHostAudio(120) {}
};

std::vector<std::string> dropLines(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.find("Dropped") != std::string::npos) out.push_back(l);
    return out;
}

TEST_F(SlowHost, ThirtyMillisecondsPerCallbackStillGetsEverySampleOfTenSeconds) {
    for (const Capture kind : {Capture::systemAudio, Capture::mic}) {
        SCOPED_TRACE(kind == Capture::mic ? "mic" : "system audio");
        AudioHost host(kind);
        host.delayMs = host.steadyDelayMs = 30;
        size_t heard = 0;
        double elapsed = 0;
        const auto lines = stderrLinesOf([&] {
            host.start();
            ASSERT_TRUE(host.waitForSamples(1, 5000ms));
            std::this_thread::sleep_for(1000ms);
            const size_t from = host.sampleCount();
            const auto began = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(10s);
            heard = host.sampleCount() - from;
            elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            host.stop();
        });
        EXPECT_EQ(host.statusCodes(), std::vector<int32_t>{0});
        // Up to one longest cycle (100 ms) may still be on its way at either end.
        EXPECT_NEAR(double(heard), elapsed * 16000, 16000 * 0.25);
        EXPECT_EQ(dropLines(lines), std::vector<std::string>{});
        EXPECT_EQ(host.badSizes, 0);
    }
}

TEST_F(SlowHost, ACallbackStalledForThreeSecondsLosesABoundedStretchToldInOneLine) {
    for (const Capture kind : {Capture::systemAudio, Capture::mic}) {
        const char* prefix = kind == Capture::mic ? "[mic] Dropped " : "[tap] Dropped ";
        SCOPED_TRACE(prefix);
        AudioHost host(kind);
        const auto lines = stderrLinesOf([&] {
            host.start();
            ASSERT_TRUE(host.waitForSamples(1, 5000ms));
            host.delayMs = 3000;  // the next callback stalls
            std::this_thread::sleep_for(5000ms);
            host.stop();
        });
        const auto drops = dropLines(lines);
        ASSERT_EQ(drops.size(), 1u) << testing::PrintToString(lines);
        EXPECT_EQ(drops[0].rfind(prefix, 0), 0u) << drops[0];
        // "... frames (S s) of audio: ...": what the buffers could not hold of the 3 s stall.
        const double seconds = std::stod(drops[0].substr(drops[0].find('(') + 1));
        EXPECT_GT(seconds, 0.1) << drops[0];  // the server holds some of it too
        EXPECT_LT(seconds, 2.9) << drops[0];
    }
}

}  // namespace
