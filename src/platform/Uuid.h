// A UUID with its canonical upper-case text (8-4-4-4-12 hexadecimal digits).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ovra {

class Uuid {
public:
    Uuid() = default;  // the nil UUID
    static Uuid generate();  // random (version 4), from libuuid

    std::string text() const;
    bool isNil() const;
    bool operator==(const Uuid&) const = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

}  // namespace ovra
