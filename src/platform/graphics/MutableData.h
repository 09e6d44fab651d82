// A growable byte buffer (the NSMutableData role) that can also take over a block an encoder
// allocated, so that a finished file is never copied just to change hands.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovra {

class MutableData {
  public:
    using Release = void (*)(uint8_t* block, size_t length);

    MutableData() = default;
    ~MutableData();
    MutableData(const MutableData&) = delete;
    MutableData& operator=(const MutableData&) = delete;

    const uint8_t* bytes() const { return bytes_; }
    size_t length() const { return length_; }

    // Throws std::bad_alloc when the buffer cannot grow.
    void append(const uint8_t* bytes, size_t length);
    // Replaces the contents with `block`, which `release` frees when the buffer no longer needs it.
    void adopt(uint8_t* block, size_t length, Release release);

  private:
    void reset();

    uint8_t* bytes_ = nullptr;
    size_t length_ = 0;
    size_t capacity_ = 0;
    Release release_ = nullptr;
};

}  // namespace ovra
