// Microphone permission on Linux.
//
// A PulseAudio (or PipeWire-pulse) client that reaches the server's socket may record from any
// source; there is no per-application consent to read or to ask for, so the status is always
// 3 (authorized) and a request is granted.
//
// A sandboxed host is different, and would need its own answer here: a Flatpak host gets the
// socket only with `--socket=pulseaudio` (and under PipeWire its access module may ask the
// desktop portal's permission store instead), a Snap host only once its `audio-record`
// interface is connected. A backend for such hosts would read that grant for the status (denied
// as 2, not yet asked as 0) and send a request through the portal.
#pragma once

#include <memory>

#include "platform/CapturePermission.h"

namespace ovra::pulse {

std::unique_ptr<CapturePermission> makePulsePermission();

}  // namespace ovra::pulse
