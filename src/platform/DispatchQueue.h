// A serial dispatch queue: one worker thread running submitted work in FIFO order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ovra {

enum class QualityOfService { background, utility, defaultQoS, userInitiated, userInteractive };

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    DispatchQueue(std::string label, QualityOfService qos);
    ~DispatchQueue();  // runs what is queued, then ends the worker
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // Queues `work`. Work whose closure fits std::function's inline storage (a pointer or two)
    // costs no allocation once the ring has grown to its working size.
    void async(std::function<void()> work);
    // Waits until everything queued before this call has run. From the queue's own thread it
    // returns at once, since waiting for itself could never end; so it does once the worker has
    // been ended from inside some work.
    void drain();
    bool isCurrent() const;

    const std::string& label() const { return label_; }
    QualityOfService qualityOfService() const { return qos_; }

  private:
    // The worker's state, shared with the worker thread so that the last reference may be
    // dropped by work running on the queue itself: the thread then finishes on its own.
    struct Core {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::vector<std::function<void()>> ring;
        size_t head = 0;
        size_t count = 0;
        uint64_t submitted = 0;
        uint64_t finished = 0;
        bool quit = false;
        // The worker was ended by forced unwinding inside some work (pthread_exit, cancellation):
        // nothing more will run, and no one may wait for it.
        bool ended = false;
    };
    static void run(Core& core);

    const std::string label_;
    const QualityOfService qos_;
    const std::shared_ptr<Core> core_;
    std::thread worker_;
    std::thread::id workerId_;
};

}  // namespace ovra
