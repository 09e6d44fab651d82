#include "platform/DispatchQueue.h"

namespace ovra {

DispatchQueue::DispatchQueue(std::string label, QualityOfService qos)
    : label_(std::move(label)), qos_(qos), core_(std::make_shared<Core>()) {
    core_->ring.resize(16);
    worker_ = std::thread([core = core_] { run(*core); });
    workerId_ = worker_.get_id();
}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(core_->mutex);
        core_->quit = true;
    }
    core_->wake.notify_all();
    // The last reference can be dropped by work running on the queue itself: that thread keeps
    // the core and ends once what is queued has run.
    if (isCurrent())
        worker_.detach();
    else
        worker_.join();
}

void DispatchQueue::async(std::function<void()> work) {
    Core& c = *core_;
    {
        std::lock_guard lock(c.mutex);
        if (c.count == c.ring.size()) {
            std::vector<std::function<void()>> bigger(c.ring.size() * 2);
            for (size_t i = 0; i < c.count; ++i)
                bigger[i] = std::move(c.ring[(c.head + i) % c.ring.size()]);
            c.ring = std::move(bigger);
            c.head = 0;
        }
        c.ring[(c.head + c.count) % c.ring.size()] = std::move(work);
        ++c.count;
        ++c.submitted;
    }
    c.wake.notify_one();
}

void DispatchQueue::drain() {
    if (isCurrent()) return;
    Core& c = *core_;
    std::unique_lock lock(c.mutex);
    const uint64_t target = c.submitted;
    c.idle.wait(lock, [&] { return c.finished >= target || c.ended; });
}

bool DispatchQueue::isCurrent() const {
    return workerId_ == std::this_thread::get_id();
}

void DispatchQueue::run(Core& c) {
    // Only an unwinding thread leaves the loop with `running` still set: it tells the waiters.
    struct Ending {
        Core& core;
        bool running = true;
        ~Ending() {
            if (!running) return;
            std::lock_guard lock(core.mutex);
            core.ended = true;
            core.idle.notify_all();
        }
    } ending{c};
    std::unique_lock lock(c.mutex);
    for (;;) {
        c.wake.wait(lock, [&] { return c.count > 0 || c.quit; });
        if (c.count == 0) {  // quit with nothing left
            ending.running = false;
            return;
        }
        std::function<void()> work = std::move(c.ring[c.head]);
        c.ring[c.head] = nullptr;
        c.head = (c.head + 1) % c.ring.size();
        --c.count;
        lock.unlock();
        work();
        work = nullptr;  // release captures before reporting the work as done
        lock.lock();
        ++c.finished;
        c.idle.notify_all();
    }
}

}  // namespace ovra
