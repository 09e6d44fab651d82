#include "platform/pulse/PulseChangeNotifier.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace ovra::pulse {

struct PulseChangeNotifier::Queue {
    explicit Queue(NotificationCenter& c) : center(c) {}

    void run() {
        std::unique_lock lock(mutex);
        while (true) {
            wake.wait(lock, [this] { return quit || !pending.empty(); });
            if (quit) return;
            auto weak = std::move(pending.front());
            pending.pop_front();
            lock.unlock();
            // The strong reference keeps the engine's address valid while observers compare it.
            if (auto engine = weak.lock()) {
                try {
                    center.post(kAudioEngineConfigurationChangeNotification,
                                static_cast<const void*>(engine.get()));
                } catch (...) {
                }
            }
            lock.lock();
        }
    }

    NotificationCenter& center;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::weak_ptr<AudioEngine>> pending;
    bool quit = false;
};

PulseChangeNotifier::PulseChangeNotifier(NotificationCenter& center)
    : queue_(std::make_shared<Queue>(center)) {}

PulseChangeNotifier::~PulseChangeNotifier() {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->quit = true;
        queue_->pending.clear();
    }
    queue_->wake.notify_all();
    // postLater no longer touches thread_ once quit is set.
    if (!thread_.joinable()) return;
    // Dropping the platform from inside an observer must not wait for itself.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void PulseChangeNotifier::postLater(std::weak_ptr<AudioEngine> engine) {
    try {
        std::lock_guard lock(queue_->mutex);
        if (queue_->quit) return;
        queue_->pending.push_back(std::move(engine));
        if (!thread_.joinable()) thread_ = std::thread([q = queue_] { q->run(); });
    } catch (...) {
        // Out of memory or threads: this change goes unannounced rather than taking down the
        // main loop.
        return;
    }
    queue_->wake.notify_one();
}

}  // namespace ovra::pulse
