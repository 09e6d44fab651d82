// How a system-audio stream follows the default sink: server events start a query for the
// default sink; a stream on its monitor replaces the one in use once it records. A capture is
// one global tap of what the machine plays, whatever the device, and the default sink is the
// nearest thing Linux has to that.
#include "platform/pulse/PulseMonitorProc.h"

namespace ovra::pulse {

void PulseMonitorProc::follow() {
    following_ = true;
    const auto mask =
        pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);
    listener_ = connection_.addListener(mask, [this](pa_subscription_event_type_t event,
                                                     uint32_t index) { onEvent(event, index); });
    connection_.holdKeeper();
}

void PulseMonitorProc::unfollow() {
    uint64_t listener = 0;
    {
        PulseConnection::Lock lock(connection_);
        if (!following_) return;
        following_ = false;
        listener = listener_;
        listener_ = 0;
    }
    connection_.removeListener(listener);
    connection_.releaseKeeper();
}

void PulseMonitorProc::onEvent(pa_subscription_event_type_t event, uint32_t index) {
    const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // A server event may be a new default sink, or a server that came back.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
        (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_REMOVE &&
         index == sinkIndex_))
        retarget();
}

void PulseMonitorProc::retarget() {
    if (!following_) return;
    if (query_) {
        if (pa_operation_get_state(query_) == PA_OPERATION_RUNNING) {
            queryAgain_ = true;
            return;
        }
        pa_operation_unref(query_);
        query_ = nullptr;
    }
    PulseConnection::Lock lock(connection_);  // already held here; keeps the rules visible
    pa_context* context = connection_.context(lock);
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return;
    queryAgain_ = false;
    found_.reset();
    // The server resolves its own name for the default sink in one round trip.
    query_ = pa_context_get_sink_info_by_name(context, "@DEFAULT_SINK@", onDefaultSink, this);
}

void PulseMonitorProc::onDefaultSink(pa_context* context, const pa_sink_info* info, int eol,
                                     void* userdata) {
    auto* self = static_cast<PulseMonitorProc*>(userdata);
    if (eol == 0 && info) {
        self->found_ = Candidate{info->name ? info->name : "", info->index,
                                 info->monitor_source_name ? info->monitor_source_name : ""};
        return;
    }
    // The query's end (eol < 0: the server has no default sink right now).
    if (self->query_) {
        pa_operation_unref(self->query_);
        self->query_ = nullptr;
    }
    if (self->queryAgain_) {
        self->retarget();
        return;
    }
    std::optional<Candidate> found;
    found.swap(self->found_);
    if (!found || found->monitor.empty()) return;  // nothing to follow until the next change
    if (self->pending_ && self->candidate_ && found->sink == self->candidate_->sink) return;
    close(self->pending_);
    self->candidate_.reset();
    if (found->sink == self->sink_ && found->sinkIndex == self->sinkIndex_ && self->stream_)
        return;  // already there
    self->pending_ = self->openStream(context, found->monitor);
    if (self->pending_) self->candidate_ = std::move(found);
}

void PulseMonitorProc::onPendingState(pa_stream* stream) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        close(stream_);
        stream_ = pending_;
        pending_ = nullptr;
        adoptFragmentSize();
        if (candidate_) {
            sink_ = candidate_->sink;
            sinkIndex_ = candidate_->sinkIndex;
            candidate_.reset();
        }
        if (onMoved_) onMoved_(sink_);
    } else if (!PA_STREAM_IS_GOOD(state)) {
        // The sink went again at once, or the server: the next change tries again.
        close(pending_);
        candidate_.reset();
    }
}

void PulseMonitorProc::onCurrentLost() {
    close(stream_);
    // With the server still there the sink is gone: follow the default now. Without it, the
    // connection's return is announced as a server event, which brings us here again.
    retarget();
}

}  // namespace ovra::pulse
