// Base64 text back to bytes, as a host reading the screenshot does.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace ovra::tool {

inline std::optional<std::vector<uint8_t>> decodeBase64(const std::vector<uint8_t>& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](uint8_t c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const int pad = i + 4 == text.size() ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        uint32_t n = 0;
        for (int k = 0; k < 4; ++k) {
            const int v = k < 4 - pad ? value(text[i + size_t(k)]) : 0;
            if (v < 0) return std::nullopt;
            n = n << 6 | uint32_t(v);
        }
        out.push_back(uint8_t(n >> 16));
        if (pad < 2) out.push_back(uint8_t(n >> 8));
        if (pad < 1) out.push_back(uint8_t(n));
    }
    return out;
}

}  // namespace ovra::tool
