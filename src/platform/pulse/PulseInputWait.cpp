#include "platform/pulse/PulseInputWait.h"

#include <algorithm>

#include "platform/pulse/PulseDefaultSource.h"

namespace ovra::pulse {

PulseInputWait::PulseInputWait(PulseConnection& connection, std::function<void()> onInput)
    : connection_(connection), onInput_(std::move(onInput)) {
    const auto mask =
        pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE);
    listener_ = connection_.addListener(
        mask, [this](pa_subscription_event_type_t event, uint32_t) { onEvent(event); });
    connection_.holdKeeper();
}

PulseInputWait::~PulseInputWait() {
    connection_.removeListener(listener_);
    connection_.releaseKeeper();
    PulseConnection::Lock lock(connection_);
    for (pa_operation* query : queries_) {
        pa_operation_cancel(query);  // its callback, which points here, can no longer run
        pa_operation_unref(query);
    }
    queries_.clear();
}

void PulseInputWait::onEvent(pa_subscription_event_type_t event) {
    if (reported_) return;
    const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // A new default source, a new source, or a server that came back: ask what the default is.
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && type != PA_SUBSCRIPTION_EVENT_NEW) return;
    PulseConnection::Lock lock(connection_);  // already held here; keeps the rules visible
    pa_context* context = connection_.context(lock);
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return;
    keep(pa_context_get_server_info(context, onServerInfo, this));
}

void PulseInputWait::keep(pa_operation* query) {
    std::erase_if(queries_, [](pa_operation* q) {
        if (pa_operation_get_state(q) == PA_OPERATION_RUNNING) return false;
        pa_operation_unref(q);
        return true;
    });
    if (!query) return;
    try {
        queries_.push_back(query);
    } catch (...) {
        pa_operation_cancel(query);  // one that cannot be kept cannot be cancelled later
        pa_operation_unref(query);
    }
}

void PulseInputWait::onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseInputWait*>(userdata);
    const std::string name = defaultSourceName(info);
    if (self->reported_ || name.empty()) return;
    self->keep(pa_context_get_source_info_by_name(context, name.c_str(), onSourceInfo, self));
}

void PulseInputWait::onSourceInfo(pa_context*, const pa_source_info* info, int eol,
                                  void* userdata) {
    auto* self = static_cast<PulseInputWait*>(userdata);
    if (eol != 0 || !info) return;
    // A monitor replays what is played; it is no microphone.
    if (info->monitor_of_sink != PA_INVALID_INDEX || info->sample_spec.channels == 0) return;
    if (!self->reported_.exchange(true) && self->onInput_) self->onInput_();
}

}  // namespace ovra::pulse
