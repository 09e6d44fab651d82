#include "platform/pulse/PulseRecordStream.h"

#include <algorithm>
#include <cmath>

namespace ovra::pulse {

PulseRecordStream::PulseRecordStream(PulseConnection& connection,
                                     std::shared_ptr<PulseTapDelivery> delivery,
                                     std::function<void()> onLost)
    : connection_(connection), delivery_(std::move(delivery)), onLost_(std::move(onLost)) {}

std::unique_ptr<PulseRecordStream> PulseRecordStream::open(
    PulseConnection& connection, const std::string& source, const pa_channel_map& channels,
    uint32_t rate, std::shared_ptr<PulseTapDelivery> delivery, std::function<void()> onLost,
    std::string* error) {
    auto fail = [error](int code) {
        if (error) *error = pa_strerror(code);
        return nullptr;
    };
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, rate, channels.channels};
    if (!pa_sample_spec_valid(&sampleFormat) ||
        !pa_channel_map_compatible(&channels, &sampleFormat))
        return fail(PA_ERR_NOTSUPPORTED);

    auto self =
        std::make_unique<PulseRecordStream>(connection, std::move(delivery), std::move(onLost));
    self->channels_ = channels.channels;
    self->mono_.resize(std::max<size_t>(size_t(std::lround(rate * kFragmentSeconds)), 1));
    PulseConnection::Lock lock(connection);
    pa_context* context = connection.ready(lock);
    if (!context) return fail(PA_ERR_CONNECTIONREFUSED);

    self->stream_ = pa_stream_new(context, "OvraHelper Microphone", &sampleFormat, &channels);
    if (!self->stream_) return fail(pa_context_errno(context));
    pa_stream_set_state_callback(self->stream_, onState, self.get());
    pa_stream_set_read_callback(self->stream_, onRead, self.get());

    pa_buffer_attr attr;
    attr.maxlength = uint32_t(-1);
    attr.tlength = attr.prebuf = attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(pa_usec_to_bytes(pa_usec_t(kFragmentSeconds * 1e6), &sampleFormat));
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(self->stream_, source.c_str(), &attr, flags) < 0) {
        const int code = pa_context_errno(context);
        self->close();
        return fail(code);
    }
    pa_stream* stream = self->stream_;
    const bool running = connection.waitUntil(lock, [stream] {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (!running || pa_stream_get_state(stream) != PA_STREAM_READY) {
        int code = running ? pa_context_errno(context) : PA_ERR_TIMEOUT;
        if (code == PA_OK) code = PA_ERR_UNKNOWN;
        self->close();
        return fail(code);
    }
    self->established_ = true;
    return self;
}

PulseRecordStream::~PulseRecordStream() {
    PulseConnection::Lock lock(connection_);
    close();
}

void PulseRecordStream::close() {
    if (!stream_) return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    established_ = false;
}

void PulseRecordStream::onState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    self->connection_.signal();
    if (self->established_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        self->established_ = false;
        if (self->onLost_) self->onLost_();
    }
}

void PulseRecordStream::onRead(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
        self->pushMono(static_cast<const float*>(data), bytes / (sizeof(float) * self->channels_));
        pa_stream_drop(stream);
    }
}

void PulseRecordStream::pushMono(const float* frames, size_t count) {
    if (!frames || channels_ == 1) {
        // A hole (no data, but a length) is kept as silence so the timeline stays whole.
        delivery_->push(frames, count);
        return;
    }
    const float scale = 1.0f / float(channels_);
    while (count > 0) {
        const size_t n = std::min(count, mono_.size());
        for (size_t i = 0; i < n; ++i) {
            float sum = 0;
            for (size_t c = 0; c < channels_; ++c) sum += frames[i * channels_ + c];
            mono_[i] = sum * scale;
        }
        delivery_->push(mono_.data(), n);
        frames += n * channels_;
        count -= n;
    }
}

}  // namespace ovra::pulse
