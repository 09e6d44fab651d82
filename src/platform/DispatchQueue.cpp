#include "platform/DispatchQueue.h"

namespace ovra {

DispatchQueue::DispatchQueue(std::string label, QualityOfService qos)
    : label_(std::move(label)), qos_(qos), ring_(16) {
    worker_ = std::thread([this] { run(); });
}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    // The last reference can be dropped by work running on the queue itself.
    if (worker_.get_id() == std::this_thread::get_id())
        worker_.detach();
    else
        worker_.join();
}

void DispatchQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (count_ == ring_.size()) {
            std::vector<std::function<void()>> bigger(ring_.size() * 2);
            for (size_t i = 0; i < count_; ++i)
                bigger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
            ring_ = std::move(bigger);
            head_ = 0;
        }
        ring_[(head_ + count_) % ring_.size()] = std::move(work);
        ++count_;
        ++submitted_;
    }
    wake_.notify_one();
}

void DispatchQueue::drain() {
    if (isCurrent()) return;
    std::unique_lock lock(mutex_);
    const uint64_t target = submitted_;
    idle_.wait(lock, [&] { return finished_ >= target; });
}

bool DispatchQueue::isCurrent() const { return worker_.get_id() == std::this_thread::get_id(); }

void DispatchQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return count_ > 0 || quit_; });
        if (count_ == 0) return;  // quit with nothing left
        std::function<void()> work = std::move(ring_[head_]);
        ring_[head_] = nullptr;
        head_ = (head_ + 1) % ring_.size();
        --count_;
        lock.unlock();
        work();
        work = nullptr;  // release captures before reporting the work as done
        lock.lock();
        ++finished_;
        idle_.notify_all();
    }
}

}  // namespace ovra
