#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "base/Log.h"

namespace ovra {
namespace {

TEST(SampleRateText, WholeRatesCarryPointZero) {
    EXPECT_EQ(formatSampleRate(48000), "48000.0");
    EXPECT_EQ(formatSampleRate(44100), "44100.0");
    EXPECT_EQ(formatSampleRate(16000), "16000.0");
    EXPECT_EQ(formatSampleRate(0), "0.0");
}

TEST(SampleRateText, FractionsAreShortestRoundTrip) {
    EXPECT_EQ(formatSampleRate(22050.5), "22050.5");
    EXPECT_EQ(formatSampleRate(0.1), "0.1");
    const double third = 44100.0 / 3.0;
    EXPECT_EQ(std::stod(formatSampleRate(third)), third);
}

TEST(SampleRateText, ExtremesUseExponentsAndNanIsNamed) {
    EXPECT_EQ(formatSampleRate(1e-7), "1e-07");
    EXPECT_EQ(formatSampleRate(1e16), "1e+16");
    EXPECT_EQ(formatSampleRate(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(formatSampleRate(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(formatSampleRate(-48000), "-48000.0");
}

TEST(LogLine, LinesFromManyThreadsNeverInterleave) {
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            const std::string line =
                "[tap] thread " + std::to_string(t) + " " + std::string(200, char('a' + t)) + "\n";
            for (int i = 0; i < 200; ++i) logLine(line);
        });
    for (auto& t : threads) t.join();
    const std::string out = testing::internal::GetCapturedStderr();
    size_t lines = 0, pos = 0;
    while (pos < out.size()) {
        const size_t end = out.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(pos, end - pos);
        ASSERT_EQ(line.size(), 14u + 1u + 200u) << line;
        const char c = line.back();
        EXPECT_EQ(line.find_first_not_of(c, 15), std::string::npos) << "mixed line: " << line;
        ++lines;
        pos = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace ovra
