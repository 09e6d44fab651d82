// Watches the server for the changes that concern one recorded source: the default source
// becoming another one, or this source disappearing. Other events are ignored.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/pulse/PulseConnection.h"
#include "platform/pulse/PulseDefaultSource.h"

namespace ovra::pulse {

class PulseSourceWatch {
  public:
    // `onChange` runs at most once, on the main-loop thread (under its rules).
    PulseSourceWatch(PulseConnection& connection, SourceDescription source,
                     std::function<void()> onChange);
    // After this returns `onChange` does not begin. Not from the main-loop thread.
    ~PulseSourceWatch();
    PulseSourceWatch(const PulseSourceWatch&) = delete;
    PulseSourceWatch& operator=(const PulseSourceWatch&) = delete;

    // Reports a change that was seen elsewhere (the stream failed): the first report wins.
    void report();

  private:
    void onEvent(pa_subscription_event_type_t event, uint32_t index);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);

    PulseConnection& connection_;
    const SourceDescription source_;
    std::function<void()> onChange_;
    std::atomic<bool> reported_{false};
    uint64_t listener_ = 0;
    std::vector<pa_operation*> queries_;  // under the main-loop lock
};

}  // namespace ovra::pulse
