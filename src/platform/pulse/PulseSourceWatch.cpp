#include "platform/pulse/PulseSourceWatch.h"

#include <algorithm>

namespace ovra::pulse {

PulseSourceWatch::PulseSourceWatch(PulseConnection& connection, SourceDescription source,
                                   std::function<void()> onChange)
    : connection_(connection), source_(std::move(source)), onChange_(std::move(onChange)) {
    const auto mask =
        pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE);
    listener_ = connection_.addListener(mask, [this](pa_subscription_event_type_t event,
                                                     uint32_t index) { onEvent(event, index); });
}

PulseSourceWatch::~PulseSourceWatch() {
    connection_.removeListener(listener_);
    PulseConnection::Lock lock(connection_);
    for (pa_operation* query : queries_) {
        pa_operation_cancel(query);  // its callback, which points here, can no longer run
        pa_operation_unref(query);
    }
    queries_.clear();
}

void PulseSourceWatch::report() {
    if (!reported_.exchange(true) && onChange_) onChange_();
}

void PulseSourceWatch::onEvent(pa_subscription_event_type_t event, uint32_t index) {
    if (reported_) return;
    const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE && index == source_.index) report();
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_SERVER) return;
    // A server change may or may not be a new default source: ask which one it is now.
    PulseConnection::Lock lock(connection_);  // already held here; keeps the rules visible
    pa_context* context = connection_.context(lock);
    if (!context) return;
    std::erase_if(queries_, [](pa_operation* query) {
        if (pa_operation_get_state(query) == PA_OPERATION_RUNNING) return false;
        pa_operation_unref(query);
        return true;
    });
    queries_.reserve(queries_.size() + 1);  // a query made must be kept, to be cancelled later
    if (pa_operation* query = pa_context_get_server_info(context, onServerInfo, this))
        queries_.push_back(query);
}

void PulseSourceWatch::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseSourceWatch*>(userdata);
    if (!info) return;  // the query failed; the context's own failure is reported by the stream
    if (defaultSourceName(info) != self->source_.name) self->report();
}

}  // namespace ovra::pulse
