// Hands what a record stream reads to a tap block, on a delivery thread of its own.
//
// The libpulse main loop only copies each read into a ring; the delivery thread moves it into a
// buffer it keeps for its whole life and calls the block. So the core never runs on the main
// loop (where it could wait on that loop), and nothing is allocated once delivery has begun.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/AudioEngine.h"

namespace ovra::pulse {

class PulseTapDelivery : public std::enable_shared_from_this<PulseTapDelivery> {
  public:
    // `format` is mono float; each call of `block` carries at most `maxFrames` frames, and up to
    // about a second may wait in the ring. Throws std::bad_alloc or std::system_error.
    static std::shared_ptr<PulseTapDelivery> start(std::shared_ptr<const AudioFormat> format,
                                                   uint32_t maxFrames,
                                                   AudioInputNode::TapBlock block);
    ~PulseTapDelivery();

    // Producer side, one thread only. `samples` == nullptr queues silence (a hole in the
    // stream). What does not fit is dropped; returns the frames accepted.
    size_t push(const float* samples, size_t frames);

    // No call of the block begins after this returns, and none is still running, except when
    // called from inside the block: then it returns at once and the call in progress is the last.
    void stop();

    uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

    PulseTapDelivery(std::shared_ptr<const AudioFormat> format, uint32_t maxFrames,
                     AudioInputNode::TapBlock block);  // use start()

  private:
    void run();
    size_t take(float* out, size_t maxFrames);

    AudioInputNode::TapBlock block_;
    std::shared_ptr<PCMBuffer> buffer_;  // what the block receives, reused for every call
    std::vector<float> ring_;            // a power of two in size
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> read_{0};
    std::atomic<uint32_t> signal_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> launched_{false};
    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace ovra::pulse
