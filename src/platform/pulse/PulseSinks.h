// What the system-audio side asks the server about its sinks (output devices).
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>

#include "platform/AudioTypes.h"
#include "platform/pulse/PulseConnection.h"

namespace ovra::pulse {

struct SinkDescription {
    std::string name;
    uint32_t index = PA_INVALID_INDEX;
    uint32_t rate = 0;
    pa_channel_map channelMap{};  // its channel count is the sink's
    std::string monitorSource;    // the source that replays what the sink plays
};

// Each returns noErr and fills `out`, or: kAudioHardwareNotRunningError when no server answers
// (none reachable, or no answer within the connection's timeout); kAudioHardwareBadDeviceError
// when the server knows no such sink. Not on the main-loop thread.
OSStatus sinkByName(PulseConnection& connection, const std::string& name, SinkDescription* out);
OSStatus sinkByIndex(PulseConnection& connection, uint32_t index, SinkDescription* out);
// The server's default sink; kAudioHardwareBadDeviceError when it has none.
OSStatus defaultSink(PulseConnection& connection, SinkDescription* out);

}  // namespace ovra::pulse
