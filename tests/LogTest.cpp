#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#include "base/Log.h"

namespace ovra {
namespace {

TEST(SampleRateText, WholeRatesCarryPointZeroOthersAreShortestRoundTrip) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> rows[] = {
        {48000, "48000.0"},   {44100, "44100.0"}, {0, "0.0"},      {-48000, "-48000.0"},
        {22050.5, "22050.5"}, {0.1, "0.1"},       {1e-7, "1e-07"}, {1e16, "1e+16"},
        {nan, "nan"},         {inf, "inf"}};
    for (const auto& [rate, text] : rows) EXPECT_EQ(formatSampleRate(rate), text);
    const double third = 44100.0 / 3.0;
    EXPECT_EQ(std::stod(formatSampleRate(third)), third);
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
    std::istringstream out(testing::internal::GetCapturedStderr());
    size_t lines = 0;
    for (std::string line; std::getline(out, line); ++lines) {
        ASSERT_FALSE(out.eof()) << "no newline after " << line;
        ASSERT_EQ(line.size(), 14u + 1u + 200u) << line;
        EXPECT_EQ(line.find_first_not_of(line.back(), 15), std::string::npos) << line;
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
}  // namespace ovra
