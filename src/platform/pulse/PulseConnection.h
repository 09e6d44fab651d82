// The backend's one connection to the sound server: a libpulse threaded main loop and a context.
//
// Nothing happens when the object is made. The first `ready()` starts the main-loop thread and
// connects; a later `ready()` finds the context ready or, if the server went away, drops it and
// connects afresh. Every wait on the server ends after `timeout()`, so a server that hangs or died
// never holds a host thread for longer than that.
//
// Rules for users (the system-audio I/O procedures, the microphone engine):
//  - Every libpulse call on the context or its streams is made holding `Lock`, outside the
//    main-loop thread, or from a libpulse callback (which already runs under the lock).
//  - libpulse callbacks run on the main-loop thread. They may copy data, post work to another
//    thread and call `signal()`, but never call into the core or wait on anything: a control
//    thread holding the lock may be waiting for that very loop.
//  - A callback whose owner may go away clears itself under the lock first (set_*_callback with
//    nullptr), then disconnects; after the lock is released no call of it begins.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "platform/pulse/PulseApi.h"

namespace ovra::pulse {

class PulseConnection {
  public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{2000};

    // The process's connection, made on first use and never destroyed: sessions still running
    // when the process ends keep their streams.
    static PulseConnection& shared();

    explicit PulseConnection(std::chrono::milliseconds timeout = kDefaultTimeout);
    // Stops the main-loop thread. Streams made on this connection must be gone by then.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // The main-loop lock. Taken on the main-loop thread itself it does nothing, since libpulse
    // callbacks already hold it. Never take it while holding a lock that a callback may want.
    class Lock {
      public:
        explicit Lock(PulseConnection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        PulseConnection& connection_;
        bool locked_ = false;
    };

    // The ready context, connecting or reconnecting first if needed; nullptr when no server
    // answered within the timeout (or none is reachable at all). Never autospawns a server.
    pa_context* ready(Lock& lock);
    // The current context as it is, possibly failed; nullptr before the first `ready()`.
    pa_context* context(Lock& lock) const;
    // Counts the contexts made so far: a change tells that the connection was made anew.
    uint64_t generation(Lock& lock) const;

    // Waits, releasing the lock meanwhile, until `done()` holds, the context fails or the
    // timeout passes; returns `done()`. Callbacks that make `done()` true call `signal()`.
    // Not on the main-loop thread, which would wait for itself.
    bool waitUntil(Lock& lock, const std::function<bool()>& done);
    // Waits for `operation` to finish; cancels it if it does not, so its callback never runs
    // after this returns. Takes over the caller's reference. False on failure or timeout.
    bool await(Lock& lock, pa_operation* operation);
    // Wakes every waiter; for libpulse callbacks.
    void signal();

    bool inLoopThread() const;
    std::chrono::milliseconds timeout() const { return timeout_; }

    // Server events (pa_context_subscribe). `listener` runs on the main-loop thread under the
    // lock, with the rules above, and never adds or removes a listener; the subscription is
    // renewed on every new context. Returns a token for `removeListener`. Both take the lock
    // themselves.
    // Every new context that becomes ready is announced to every listener as a server event of
    // type PA_SUBSCRIPTION_EVENT_NEW with index PA_INVALID_INDEX ("a server appeared").
    using Listener = std::function<void(pa_subscription_event_type_t event, uint32_t index)>;
    uint64_t addListener(pa_subscription_mask_t mask, Listener listener);
    void removeListener(uint64_t token);

    // While one keeper or more is held, a connection that is lost (or was never made) is made
    // again in the background, from the main loop, after 100 ms, then at doubling intervals up
    // to 2 s; nothing is retried once the last keeper is released. Both take the lock themselves
    // (or run under it, from a callback).
    static constexpr std::chrono::milliseconds kFirstRetry{100};
    static constexpr std::chrono::milliseconds kLongestRetry{2000};
    void holdKeeper();
    void releaseKeeper();

  private:
    struct Subscription {
        pa_subscription_mask_t mask;
        Listener listener;
        // Runs the listener on the main loop. A listener that throws (out of memory) misses this
        // one event; the loop and the other listeners go on.
        void notify(pa_subscription_event_type_t event, uint32_t index) const;
    };

    pa_threaded_mainloop* loop();
    bool startLoop();
    void dropContext();
    void subscribe();
    static void onContextState(pa_context* context, void* self);
    static void onEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                        void* self);
    // The background reconnection (PulseReconnect.cpp); on the main loop, under the lock.
    void announceServer();
    void scheduleReconnect();
    void reconnectNow();
    static void onRetryTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                             void* self);
    pa_context* newContext();

    const std::chrono::milliseconds timeout_;
    std::once_flag loopMade_;
    pa_threaded_mainloop* loop_ = nullptr;
    bool loopRunning_ = false;
    bool connecting_ = false;
    pa_context* context_ = nullptr;
    uint64_t generation_ = 0;
    uint64_t nextToken_ = 1;
    std::map<uint64_t, Subscription> subscriptions_;
    unsigned keepers_ = 0;
    pa_time_event* retryTimer_ = nullptr;
    std::chrono::milliseconds retryDelay_ = kFirstRetry;
    bool backgroundConnecting_ = false;
};

}  // namespace ovra::pulse
