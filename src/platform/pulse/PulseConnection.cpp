#include "platform/pulse/PulseConnection.h"

namespace ovra::pulse {
namespace {

struct Deadline {
    PulseConnection* connection;
    bool expired = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* deadline = static_cast<Deadline*>(userdata);
    deadline->expired = true;
    deadline->connection->signal();
}

void onOperationState(pa_operation*, void* connection) {
    static_cast<PulseConnection*>(connection)->signal();
}

}  // namespace

PulseConnection& PulseConnection::shared() {
    // Leaked on purpose: nothing of the library runs at unload, and streams of sessions that are
    // still running at exit stay valid.
    static auto* connection = new PulseConnection();
    return *connection;
}

PulseConnection::PulseConnection(std::chrono::milliseconds timeout) : timeout_(timeout) {}

PulseConnection::~PulseConnection() {
    if (!loop_) return;
    {
        Lock lock(*this);
        keepers_ = 0;
        releaseKeeper();  // cancels a pending retry
        dropContext();
    }
    if (loopRunning_) pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

PulseConnection::Lock::Lock(PulseConnection& connection) : connection_(connection) {
    pa_threaded_mainloop* loop = connection_.loop();
    if (loop && !pa_threaded_mainloop_in_thread(loop)) {
        pa_threaded_mainloop_lock(loop);
        locked_ = true;
    }
}

PulseConnection::Lock::~Lock() {
    if (locked_) pa_threaded_mainloop_unlock(connection_.loop_);
}

pa_threaded_mainloop* PulseConnection::loop() {
    std::call_once(loopMade_, [this] {
        // Without libpulse there is no loop: every wait then ends at once and `ready()` finds no
        // server, as on a machine whose server is not running.
        if (!pulseApi().pa_threaded_mainloop_new) return;
        loop_ = pa_threaded_mainloop_new();
        if (loop_) pa_threaded_mainloop_set_name(loop_, "ovra-pulse");
    });
    return loop_;
}

bool PulseConnection::startLoop() {
    if (!loopRunning_) loopRunning_ = pa_threaded_mainloop_start(loop_) == 0;
    return loopRunning_;
}

pa_context* PulseConnection::ready(Lock& lock) {
    if (!loop_ || inLoopThread()) {
        // The loop thread cannot wait for a connection it would have to drive itself.
        return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY ? context_ : nullptr;
    }
    if (!startLoop()) return nullptr;
    // Another thread may be connecting right now; its outcome is ours too.
    waitUntil(lock, [this] { return !connecting_; });
    if (connecting_) return nullptr;
    if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) return context_;

    dropContext();
    context_ = newContext();
    if (!context_) return nullptr;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        dropContext();
        return nullptr;
    }
    connecting_ = true;
    pa_context* connecting = context_;
    const bool isReady = waitUntil(
        lock, [connecting] { return pa_context_get_state(connecting) == PA_CONTEXT_READY; });
    connecting_ = false;
    signal();  // lets threads that waited for this attempt go on
    if (!isReady) {
        dropContext();
        return nullptr;
    }
    subscribe();
    return context_;
}

pa_context* PulseConnection::context(Lock&) const {
    return context_;
}

uint64_t PulseConnection::generation(Lock&) const {
    return generation_;
}

bool PulseConnection::waitUntil(Lock&, const std::function<bool()>& done) {
    if (!loop_ || !loopRunning_ || inLoopThread()) return done();
    Deadline deadline{this};
    struct timeval when;
    pa_gettimeofday(&when);
    pa_timeval_add(&when, pa_usec_t(std::chrono::microseconds(timeout_).count()));
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    pa_time_event* timer = api->time_new(api, &when, onDeadline, &deadline);
    // A failed context answers nothing more: waiting on would only run into the timeout.
    auto contextAlive = [this] {
        return !context_ || PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
    };
    while (!done() && !deadline.expired && contextAlive() && timer)
        pa_threaded_mainloop_wait(loop_);
    if (timer) api->time_free(timer);
    return done();
}

bool PulseConnection::await(Lock& lock, pa_operation* operation) {
    if (!operation) return false;
    pa_operation_set_state_callback(operation, onOperationState, this);
    waitUntil(lock,
              [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(operation);  // its callback can no longer run
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return done;
}

void PulseConnection::signal() {
    if (loop_) pa_threaded_mainloop_signal(loop_, 0);
}

bool PulseConnection::inLoopThread() const {
    return loop_ && pa_threaded_mainloop_in_thread(loop_);
}

uint64_t PulseConnection::addListener(pa_subscription_mask_t mask, Listener listener) {
    Lock lock(*this);
    const uint64_t token = nextToken_++;
    subscriptions_.emplace(token, Subscription{mask, std::move(listener)});
    subscribe();
    return token;
}

void PulseConnection::removeListener(uint64_t token) {
    Lock lock(*this);
    subscriptions_.erase(token);
    subscribe();
}

void PulseConnection::dropContext() {
    if (!context_) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
    signal();  // waiters re-check what they wait for against a context that is gone
}

void PulseConnection::subscribe() {
    if (!context_ || pa_context_get_state(context_) != PA_CONTEXT_READY) return;
    unsigned mask = PA_SUBSCRIPTION_MASK_NULL;
    for (const auto& [token, subscription] : subscriptions_) mask |= subscription.mask;
    if (pa_operation* op =
            pa_context_subscribe(context_, pa_subscription_mask_t(mask), nullptr, nullptr))
        pa_operation_unref(op);
}

void PulseConnection::onContextState(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    connection->signal();
    if (context != connection->context_) return;
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        if (connection->backgroundConnecting_) {
            connection->backgroundConnecting_ = connection->connecting_ = false;
            connection->subscribe();
        }
        connection->retryDelay_ = kFirstRetry;
        connection->announceServer();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        if (connection->backgroundConnecting_)
            connection->backgroundConnecting_ = connection->connecting_ = false;
        if (connection->keepers_ > 0) connection->scheduleReconnect();
    }
}

void PulseConnection::onEvent(pa_context*, pa_subscription_event_type_t event, uint32_t index,
                              void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    for (const auto& [token, subscription] : connection->subscriptions_)
        if (subscription.mask & (1u << facility)) subscription.notify(event, index);
}

void PulseConnection::Subscription::notify(pa_subscription_event_type_t event,
                                           uint32_t index) const {
    try {
        listener(event, index);
    } catch (...) {
    }
}

}  // namespace ovra::pulse
