#include "platform/pulse/PulseTapDelivery.h"

#include <cxxabi.h>
#include <time.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <new>

namespace ovra::pulse {
namespace {

uint64_t monotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

}  // namespace

PulseTapDelivery::PulseTapDelivery(std::shared_ptr<const AudioFormat> format, uint32_t maxFrames,
                                   AudioInputNode::TapBlock block)
    : block_(std::move(block)) {
    maxFrames = std::max<uint32_t>(maxFrames, 1);
    buffer_ = PCMBuffer::withCapacity(format, maxFrames);
    if (!buffer_ || !buffer_->floatChannelData()) throw std::bad_alloc();
    // About a second of audio: enough to ride out a host callback that stalls for a while.
    const double rate = std::clamp(format->sampleRate(), 1.0, 1536000.0);
    ring_.resize(std::bit_ceil(std::max<size_t>(size_t(rate), size_t(maxFrames) * 2)));
}

std::shared_ptr<PulseTapDelivery> PulseTapDelivery::start(std::shared_ptr<const AudioFormat> format,
                                                          uint32_t maxFrames,
                                                          AudioInputNode::TapBlock block) {
    auto self = std::make_shared<PulseTapDelivery>(std::move(format), maxFrames, std::move(block));
    // The thread keeps the object alive: a stop from inside the block leaves it running briefly.
    self->thread_ = std::thread([self] { self->run(); });
    self->launched_.store(true, std::memory_order_release);
    self->launched_.notify_one();
    return self;
}

PulseTapDelivery::~PulseTapDelivery() {
    // The thread holds a reference until it ends, so this runs either on the thread itself (its
    // last act) or after it has finished its loop.
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

size_t PulseTapDelivery::push(const float* samples, size_t frames) {
    const uint64_t w = written_.load(std::memory_order_relaxed);
    const uint64_t r = read_.load(std::memory_order_acquire);
    const size_t room = ring_.size() - size_t(w - r);
    const size_t n = std::min(frames, room);
    const size_t mask = ring_.size() - 1;
    for (size_t done = 0; done < n;) {
        const size_t at = size_t((w + done) & mask);
        const size_t run = std::min(n - done, ring_.size() - at);
        if (samples)
            std::memcpy(&ring_[at], samples + done, run * sizeof(float));
        else
            std::fill_n(&ring_[at], run, 0.0f);
        done += run;
    }
    if (n < frames) dropped_.fetch_add(frames - n, std::memory_order_relaxed);
    if (n == 0) return 0;
    written_.store(w + n, std::memory_order_release);
    signal_.fetch_add(1, std::memory_order_release);
    signal_.notify_one();
    return n;
}

size_t PulseTapDelivery::take(float* out, size_t maxFrames) {
    const uint64_t r = read_.load(std::memory_order_relaxed);
    const uint64_t w = written_.load(std::memory_order_acquire);
    const size_t n = std::min(size_t(w - r), maxFrames);
    const size_t mask = ring_.size() - 1;
    for (size_t done = 0; done < n;) {
        const size_t at = size_t((r + done) & mask);
        const size_t run = std::min(n - done, ring_.size() - at);
        std::memcpy(out + done, &ring_[at], run * sizeof(float));
        done += run;
    }
    read_.store(r + n, std::memory_order_release);
    return n;
}

void PulseTapDelivery::run() {
    launched_.wait(false, std::memory_order_acquire);  // thread_ is set from here on
    float* const out = buffer_->floatChannelData()[0];
    AudioTimeStamp when{0, 0};
    uint64_t droppedSeen = 0;
    for (;;) {
        // The signal is read before the flag: a stop that sets the flag and signals after the
        // read changes the signal, so the wait below returns at once instead of missing it.
        const uint32_t seen = signal_.load(std::memory_order_acquire);
        if (stopping_.load(std::memory_order_acquire)) break;
        const size_t n = take(out, buffer_->frameCapacity());
        if (n == 0) {
            signal_.wait(seen, std::memory_order_acquire);
            continue;
        }
        if (stopping_.load(std::memory_order_acquire)) break;
        buffer_->setFrameLength(uint32_t(n));
        when.mHostTime = monotonicNanos();
        // Frames the ring had no room for show as a jump in sample time, as on a real device.
        const uint64_t dropped = dropped_.load(std::memory_order_relaxed);
        when.mSampleTime += double(dropped - droppedSeen);
        droppedSeen = dropped;
        try {
            block_(*buffer_, &when);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // The block belongs to the core, which never throws; a stray exception must still not
            // end the process from a thread of ours.
        }
        when.mSampleTime += double(n);
    }
    // What the block holds (converter, host callback) is let go here, after its last call.
    block_ = nullptr;
}

void PulseTapDelivery::stop() {
    stopping_.store(true, std::memory_order_release);
    signal_.fetch_add(1, std::memory_order_release);
    signal_.notify_all();
    if (thread_.get_id() == std::this_thread::get_id()) return;  // inside the block
    std::lock_guard lock(joinMutex_);
    if (thread_.joinable()) thread_.join();
}

}  // namespace ovra::pulse
