#include "base/Log.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace ovra {

void logLine(const std::string& line) {
    std::fputs(line.c_str(), stderr);
}

std::string formatSampleRate(double rate) {
    if (std::isnan(rate)) return "nan";
    if (std::isinf(rate)) return rate > 0 ? "inf" : "-inf";
    char buf[64];
    const double magnitude = std::fabs(rate);
    // Plain decimals for the usual range, exponent form outside it (like 1e-07 or 1e+16), the way
    // the shortest round-trip printers of Swift and C++ agree on.
    const bool plain = rate == 0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
    auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, rate,
                      plain ? std::chars_format::fixed : std::chars_format::scientific);
    std::string text(buf, ec == std::errc() ? end : buf);
    if (plain && text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace ovra
