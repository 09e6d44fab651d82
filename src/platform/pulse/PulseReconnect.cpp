// The connection's background reconnection: while some capture needs the server, a lost
// connection is made again from the main loop itself, so no thread of ours waits for a server
// that may take seconds to come back, and a stop never waits for a reconnection.
#include <algorithm>

#include "platform/pulse/PulseConnection.h"

namespace ovra::pulse {

pa_context* PulseConnection::newContext() {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "OvraHelper");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.ovrahelper");
    pa_context* context =
        pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "OvraHelper", properties);
    pa_proplist_free(properties);
    if (!context) return nullptr;
    ++generation_;
    pa_context_set_state_callback(context, onContextState, this);
    pa_context_set_subscribe_callback(context, onEvent, this);
    return context;
}

void PulseConnection::holdKeeper() {
    Lock lock(*this);
    if (++keepers_ != 1 || !loop_ || !loopRunning_) return;
    const bool good = context_ && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    if (!good && !connecting_) scheduleReconnect();
}

void PulseConnection::releaseKeeper() {
    Lock lock(*this);
    if (keepers_ > 0 && --keepers_ > 0) return;
    if (retryTimer_) {
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
        api->time_free(retryTimer_);
        retryTimer_ = nullptr;
    }
    retryDelay_ = kFirstRetry;
}

void PulseConnection::scheduleReconnect() {
    if (retryTimer_ || !loop_) return;
    struct timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, pa_usec_t(std::chrono::microseconds(retryDelay_).count()));
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    retryTimer_ = api->time_new(api, &when, onRetryTimer, this);
    retryDelay_ = std::min(retryDelay_ * 2, kLongestRetry);
}

void PulseConnection::onRetryTimer(pa_mainloop_api* api, pa_time_event* event,
                                   const struct timeval*, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    api->time_free(event);
    connection->retryTimer_ = nullptr;
    if (connection->keepers_ == 0) return;
    pa_context* context = connection->context_;
    if (context && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return;
    if (connection->connecting_) {
        // A host thread is connecting right now; look again later.
        connection->scheduleReconnect();
        return;
    }
    connection->reconnectNow();
}

void PulseConnection::reconnectNow() {
    dropContext();
    context_ = newContext();
    if (!context_ || pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        dropContext();
        scheduleReconnect();
        return;
    }
    backgroundConnecting_ = connecting_ = true;
}

void PulseConnection::announceServer() {
    const auto appeared =
        pa_subscription_event_type_t(PA_SUBSCRIPTION_EVENT_SERVER | PA_SUBSCRIPTION_EVENT_NEW);
    for (const auto& [token, subscription] : subscriptions_)
        if (subscription.mask & PA_SUBSCRIPTION_MASK_SERVER)
            subscription.notify(appeared, PA_INVALID_INDEX);
}

}  // namespace ovra::pulse
