// Posts the engines' configuration changes to the notification centre from a thread of its own.
//
// Server events arrive on the libpulse main-loop thread, but the observer restarts the capture
// there and the restart waits on that very loop; so the main loop only queues the engine here,
// and this thread posts. The queue holds engines weakly: one that went away meanwhile is skipped.
#pragma once

#include <memory>
#include <thread>

#include "platform/AudioEngine.h"
#include "platform/NotificationCenter.h"

namespace ovra::pulse {

class PulseChangeNotifier {
  public:
    explicit PulseChangeNotifier(NotificationCenter& center);
    ~PulseChangeNotifier();
    PulseChangeNotifier(const PulseChangeNotifier&) = delete;
    PulseChangeNotifier& operator=(const PulseChangeNotifier&) = delete;

    // Queues one configuration-change post for `engine`. Never blocks for long: the main loop
    // calls it. The thread is started on the first call.
    void postLater(std::weak_ptr<AudioEngine> engine);

  private:
    struct Queue;  // shared with the thread, which may outlive this object by one post
    std::shared_ptr<Queue> queue_;
    std::thread thread_;
};

}  // namespace ovra::pulse
