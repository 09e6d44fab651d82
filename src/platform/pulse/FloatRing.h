// A single-producer single-consumer ring of float samples, sized once. The libpulse main loop
// writes into it and a delivery thread reads from it, neither waiting on the other. Hand-written
// because it is a few lines and must not allocate or lock on the audio path.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace ovra::pulse {

class FloatRing {
  public:
    // Holds at least `capacity` samples (rounded up to a power of two).
    explicit FloatRing(size_t capacity) : data_(std::bit_ceil(std::max<size_t>(capacity, 1))) {
        mask_ = data_.size() - 1;
    }

    // Producer: appends up to `count` samples, in whole groups of `granule` (a frame); nullptr
    // appends silence. What does not fit is left out. Returns the samples appended.
    size_t push(const float* samples, size_t count, size_t granule) {
        const uint64_t w = write_.load(std::memory_order_relaxed);
        const size_t space = data_.size() - size_t(w - read_.load(std::memory_order_acquire));
        const size_t n = std::min(count, space) / granule * granule;
        const size_t at = size_t(w) & mask_;
        const size_t first = std::min(n, data_.size() - at);
        if (samples) {
            std::memcpy(data_.data() + at, samples, first * sizeof(float));
            std::memcpy(data_.data(), samples + first, (n - first) * sizeof(float));
        } else {
            std::fill_n(data_.data() + at, first, 0.0f);
            std::fill_n(data_.data(), n - first, 0.0f);
        }
        write_.store(w + n, std::memory_order_release);
        return n;
    }

    // Consumer: takes up to `count` samples into `out`; returns how many.
    size_t pop(float* out, size_t count) {
        const uint64_t r = read_.load(std::memory_order_relaxed);
        const size_t n = std::min(count, size_t(write_.load(std::memory_order_acquire) - r));
        const size_t at = size_t(r) & mask_;
        const size_t first = std::min(n, data_.size() - at);
        std::memcpy(out, data_.data() + at, first * sizeof(float));
        std::memcpy(out + first, data_.data(), (n - first) * sizeof(float));
        read_.store(r + n, std::memory_order_release);
        return n;
    }

    size_t capacity() const { return data_.size(); }

  private:
    std::vector<float> data_;
    size_t mask_ = 0;
    std::atomic<uint64_t> write_{0};
    std::atomic<uint64_t> read_{0};
};

}  // namespace ovra::pulse
