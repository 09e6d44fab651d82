// Waits for a microphone to become available: a default source that is not a monitor, on a
// server that may itself be gone for now (the connection is kept trying meanwhile). Reports it
// once; an engine that found no input posts its configuration change then.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/pulse/PulseConnection.h"

namespace ovra::pulse {

class PulseInputWait {
  public:
    // `onInput` runs at most once, on the main-loop thread (under its rules). Only changes after
    // this is made are looked at. Not from the main-loop thread.
    PulseInputWait(PulseConnection& connection, std::function<void()> onInput);
    // After this returns `onInput` does not begin. Not from the main-loop thread.
    ~PulseInputWait();
    PulseInputWait(const PulseInputWait&) = delete;
    PulseInputWait& operator=(const PulseInputWait&) = delete;

  private:
    void onEvent(pa_subscription_event_type_t event);
    void keep(pa_operation* query);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* self);

    PulseConnection& connection_;
    std::function<void()> onInput_;
    std::atomic<bool> reported_{false};
    uint64_t listener_ = 0;
    std::vector<pa_operation*> queries_;  // under the main-loop lock
};

}  // namespace ovra::pulse
