#include "platform/pulse/PulseMonitorProc.h"

#include <cxxabi.h>

#include <algorithm>
#include <chrono>

namespace ovra::pulse {
namespace {

constexpr double kRingSeconds = 2.0;
// The longest cycle, should the server grant much larger fragments than asked for.
constexpr double kLongestCycleSeconds = 0.1;

uint64_t hostTimeNow() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

}  // namespace

PulseMonitorProc::PulseMonitorProc(PulseConnection& connection, MonitorFormat format,
                                   std::shared_ptr<DispatchQueue> queue,
                                   AudioHardware::IOBlock block, MovedCallback onMoved)
    : connection_(connection),
      format_(std::move(format)),
      queue_(std::move(queue)),
      block_(std::move(block)),
      onMoved_(std::move(onMoved)),
      channels_(std::max<size_t>(format_.channelMap.channels, 1)),
      ring_(size_t(format_.rate * kRingSeconds) * channels_),
      samplesPerCycle_(std::max<size_t>(size_t(format_.rate * kFragmentUsec / 1e6), 1) * channels_),
      samples_(std::max<size_t>(size_t(format_.rate * kLongestCycleSeconds), 1) * channels_) {
    buffer_.mNumberChannels = uint32_t(channels_);
    buffer_.mData = samples_.data();
    list_.mNumberBuffers = 1;
    list_.mBuffers = &buffer_;
}

PulseMonitorProc::~PulseMonitorProc() {
    retire();
}

pa_stream* PulseMonitorProc::openStream(pa_context* context, const std::string& source) {
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, format_.rate, uint8_t(channels_)};
    pa_stream* stream =
        pa_stream_new(context, "OvraHelper System Audio", &sampleFormat, &format_.channelMap);
    if (!stream) return nullptr;
    pa_stream_set_state_callback(stream, onState, this);
    pa_stream_set_read_callback(stream, onRead, this);

    pa_buffer_attr attributes;
    attributes.maxlength = uint32_t(-1);
    attributes.tlength = uint32_t(-1);
    attributes.prebuf = uint32_t(-1);
    attributes.minreq = uint32_t(-1);
    attributes.fragsize = uint32_t(pa_usec_to_bytes(kFragmentUsec, &sampleFormat));
    // The server never moves the stream by itself (it could pick a microphone); following the
    // default is done here.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source.c_str(), &attributes, flags) < 0) close(stream);
    return stream;
}

void PulseMonitorProc::adoptFragmentSize() {
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_)) {
        const size_t frames = granted->fragsize / (channels_ * sizeof(float));
        samplesPerCycle_ = std::clamp<size_t>(frames, 1, samples_.size() / channels_) * channels_;
    }
}

OSStatus PulseMonitorProc::start() {
    PulseConnection::Lock lock(connection_);
    if (stream_) return noErr;
    pa_context* context = connection_.ready(lock);
    if (!context) return kAudioHardwareNotRunningError;

    stream_ = openStream(context, format_.source);
    if (!stream_) return kAudioHardwareBadDeviceError;
    pa_stream* stream = stream_;
    connection_.waitUntil(lock,
                          [stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; });
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY) {
        adoptFragmentSize();
        sink_ = format_.sink;
        sinkIndex_ = format_.sinkIndex;
        follow();
        return noErr;
    }
    // Refused by a server that still answers: the source is gone. Otherwise no answer at all.
    const bool refused =
        state == PA_STREAM_FAILED && pa_context_get_state(context) == PA_CONTEXT_READY;
    closeStream();
    return refused ? kAudioHardwareBadDeviceError : kAudioHardwareNotRunningError;
}

void PulseMonitorProc::stop() {
    unfollow();
    PulseConnection::Lock lock(connection_);
    closeStream();
}

void PulseMonitorProc::close(pa_stream*& stream) {
    if (!stream) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

void PulseMonitorProc::closeStream() {
    close(stream_);
    close(pending_);
    if (query_) {
        pa_operation_cancel(query_);  // its callback, which points here, can no longer run
        pa_operation_unref(query_);
        query_ = nullptr;
    }
}

void PulseMonitorProc::retire() {
    retired_.store(true, std::memory_order_release);
    stop();
    if (queue_) queue_->drain();  // returns at once on the queue itself
}

void PulseMonitorProc::release(std::shared_ptr<PulseMonitorProc> proc) {
    if (!proc) return;
    proc->retire();
    if (proc->queue_ && proc->queue_->isCurrent()) {
        // The block that called us is still on the stack: let the object go after it returns.
        // Queued deliveries before this one see it retired and do nothing.
        auto queue = proc->queue_;
        queue->async([keep = std::move(proc)]() mutable { keep.reset(); });
    }
}

void PulseMonitorProc::onState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseMonitorProc*>(userdata);
    self->connection_.signal();
    if (!self->following_) return;  // start() is still waiting for this stream
    if (stream == self->pending_)
        self->onPendingState(stream);
    else if (stream == self->stream_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        self->onCurrentLost();
}

void PulseMonitorProc::onRead(pa_stream* stream, size_t, void* userdata) {
    // Main-loop thread: copy and hand over, nothing more.
    auto* self = static_cast<PulseMonitorProc*>(userdata);
    if (stream != self->stream_) {
        // A replacement reads only once it is in use.
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) pa_stream_drop(stream);
        return;
    }
    const size_t frameBytes = self->channels_ * sizeof(float);
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        // A hole comes as no data with a length: it becomes silence of that length.
        const size_t offered = bytes / frameBytes * self->channels_;
        const size_t taken =
            self->ring_.push(static_cast<const float*>(data), offered, self->channels_);
        if (taken < offered)
            self->droppedFrames_.fetch_add((offered - taken) / self->channels_,
                                           std::memory_order_relaxed);
        pa_stream_drop(stream);
    }
    if (self->deliveryQueued_.exchange(true, std::memory_order_acq_rel)) return;
    try {
        self->queue_->async([self] { self->deliver(); });
    } catch (...) {
        // No memory to queue it: the next read tries again, the ring keeps the audio meanwhile.
        self->deliveryQueued_.store(false, std::memory_order_release);
    }
}

void PulseMonitorProc::deliver() {
    deliveryQueued_.store(false, std::memory_order_release);
    while (!retired_.load(std::memory_order_acquire)) {
        // All that waits, up to the longest cycle: a block that is slow but keeps up on average
        // then catches up on its backlog instead of letting the ring overflow.
        const size_t count = ring_.pop(samples_.data(), samples_.size());
        if (count == 0) return;
        const uint32_t frames = uint32_t(count / channels_);
        // What the ring had no room for shows as a jump in sample time, as on a real device; it
        // is counted before the backlog rather than after it, which only moves the gap.
        const uint64_t dropped = droppedFrames_.load(std::memory_order_relaxed);
        sampleTime_ += double(dropped - droppedSeen_);
        droppedSeen_ = dropped;
        buffer_.mDataByteSize = uint32_t(count * sizeof(float));
        const AudioTimeStamp now{sampleTime_, hostTimeNow()};
        sampleTime_ += frames;
        try {
            block_(&now, &list_, &now, &noOutput_, &now);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // The block's own failure: this cycle is lost, the next one goes on.
        }
    }
}

}  // namespace ovra::pulse
