// The library's one log sink: each message is one complete line, written with one fputs to
// standard error so that lines from different threads never mix.
#pragma once

#include <string>
#include <string_view>

namespace ovra {

// Writes `line`, which ends with "\n", in a single write.
void logLine(const std::string& line);

// A sample rate in the shortest form that reads back as the same double, with ".0" after a
// whole number: 48000.0, 22050.5, 1e-07, 1e+16, nan.
std::string formatSampleRate(double rate);

}  // namespace ovra
