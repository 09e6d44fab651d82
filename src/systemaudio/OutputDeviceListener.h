// Tells the log when a running system-audio session's aggregate device moves to another output
// device (the backend follows the default output; the same stream goes on).
#pragma once

#include "platform/AudioHardware.h"

namespace ovra {

inline constexpr AudioObjectPropertyAddress kMainSubDeviceAddress{
    kAudioAggregateDevicePropertyMainSubDevice, kAudioObjectPropertyScopeGlobal,
    kAudioObjectPropertyElementMain};

// A listener for `device`'s main sub-device: on each change it reads the new device's UID and
// writes "[tap] Default output device changed: " with it. `hardware` must outlive the listener's
// registration.
AudioHardware::PropertyListenerBlock makeOutputDeviceListener(AudioHardware& hardware,
                                                              AudioObjectID device);

}  // namespace ovra
