// Lets a stop wait out the data callback in progress, without the audio thread ever taking a
// lock: delivery announces itself with an atomic counter, and close() waits for the counter to
// drain.
//
// A close() called on a thread that is itself inside a delivery (of any gate) never waits there:
// two audio threads whose callbacks stop each other's session would otherwise wait for each other
// for good. It shuts the gate at once and the wait moves to the end of the calling thread's
// delivery, so that once that callback has returned, no delivery through the closed gate is
// running or will start.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace ovra {

class DeliveryGate : public std::enable_shared_from_this<DeliveryGate> {
  public:
    // Runs `deliver` unless the gate is closed. Returns whether it ran.
    template <class F>
    bool run(F&& deliver) {
        inFlight_.fetch_add(1);
        if (!open_.load()) {
            leave();
            return false;
        }
        {
            // Left on every way out, also when the host's thread is ended by forced unwinding
            // inside the callback: a stop must never wait for a delivery that is gone.
            Inside inside(*this);
            deliver();
        }
        if (!insideAnyDelivery()) waitForDeferredCloses();
        return true;
    }

    // After this returns, no delivery is running and none will start; called inside a delivery,
    // that holds from the moment the outermost delivery of this thread returns.
    void close() {
        open_.store(false);
        if (insideAnyDelivery() && deferWait()) return;
        waitDrained(current() == this ? 1 : 0);  // never for itself
    }
    // Closes without waiting for the delivery in progress.
    void shut() { open_.store(false); }

    void open() { open_.store(true); }
    bool isOpen() const { return open_.load(); }
    // Whether the calling thread is inside a delivery through this gate.
    bool deliveringOnThisThread() const { return current() == this; }
    // Whether the calling thread is inside a delivery through any gate: a host's data callback.
    static bool insideAnyDelivery() { return current() != nullptr; }

  private:
    struct Inside {
        explicit Inside(DeliveryGate& gate) : gate_(gate), outer_(current()) { current() = &gate; }
        ~Inside() {
            current() = outer_;
            gate_.leave();
        }
        DeliveryGate& gate_;
        const DeliveryGate* outer_;
    };
    // Gates closed from inside a delivery on this thread, waited for once it ends. Plain pointers
    // in a fixed array: nothing of it has to be destroyed when a thread ends.
    struct Deferred {
        static constexpr size_t kCapacity = 16;
        DeliveryGate* gates[kCapacity];
        std::shared_ptr<DeliveryGate>* keep[kCapacity];  // keeps a shared gate alive until then
        size_t count;
    };
    static Deferred& deferred() {
        thread_local Deferred list{};
        return list;
    }

    bool deferWait() {
        Deferred& d = deferred();
        if (d.count == Deferred::kCapacity) return false;
        std::shared_ptr<DeliveryGate>* keep = nullptr;
        if (auto self = weak_from_this().lock()) {
            keep = new (std::nothrow) std::shared_ptr<DeliveryGate>(std::move(self));
            if (!keep) return false;
        }
        d.gates[d.count] = this;
        d.keep[d.count] = keep;
        ++d.count;
        return true;
    }
    static void waitForDeferredCloses() {
        Deferred& d = deferred();
        while (d.count > 0) {
            --d.count;
            d.gates[d.count]->waitDrained();
            delete d.keep[d.count];
        }
    }
    void waitDrained(uint32_t own = 0) {
        for (uint32_t n = inFlight_.load(); n > own; n = inFlight_.load()) inFlight_.wait(n);
    }
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
