// Lets a stop wait out the data callback in progress, without the audio thread ever taking a
// lock: delivery announces itself with an atomic counter, and close() waits for the counter to
// drain. A close() from inside a delivery on the same thread does not wait for itself.
#pragma once

#include <atomic>
#include <cstdint>

namespace ovra {

class DeliveryGate {
public:
    // Runs `deliver` unless the gate is closed. Returns whether it ran.
    template <class F>
    bool run(F&& deliver) {
        inFlight_.fetch_add(1);
        if (!open_.load()) {
            leave();
            return false;
        }
        const DeliveryGate* outer = current();
        current() = this;
        deliver();
        current() = outer;
        leave();
        return true;
    }

    // After this returns, no delivery is running (but the caller's own) and none will start.
    void close() {
        open_.store(false);
        const uint32_t self = current() == this ? 1 : 0;
        for (uint32_t n = inFlight_.load(); n > self; n = inFlight_.load()) inFlight_.wait(n);
    }

    void open() { open_.store(true); }
    bool isOpen() const { return open_.load(); }
    // Whether the calling thread is inside a delivery through this gate.
    bool deliveringOnThisThread() const { return current() == this; }

private:
    void leave() {
        inFlight_.fetch_sub(1);
        inFlight_.notify_all();
    }
    static const DeliveryGate*& current() {
        thread_local const DeliveryGate* gate = nullptr;
        return gate;
    }

    std::atomic<bool> open_{true};
    std::atomic<uint32_t> inFlight_{0};
};

}  // namespace ovra
