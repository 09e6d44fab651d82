// The PulseAudio backend's services, for the Linux platform to own.
#pragma once

#include <functional>
#include <memory>

#include "platform/AudioEngine.h"
#include "platform/AudioHardware.h"
#include "platform/CapturePermission.h"
#include "platform/NotificationCenter.h"

namespace ovra::pulse {

struct PulseServices {
    std::unique_ptr<AudioHardware> hardware;
    std::function<std::shared_ptr<AudioEngine>()> createEngine;
    std::unique_ptr<CapturePermission> permission;
};

// Connects to nothing yet: the server connection is made on the first call that needs it.
// Engines post their configuration changes to `notifications`.
PulseServices makePulseServices(NotificationCenter& notifications);

}  // namespace ovra::pulse
