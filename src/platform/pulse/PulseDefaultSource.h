// The server's default source, when it is a microphone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/pulse/PulseConnection.h"

namespace ovra::pulse {

struct SourceDescription {
    std::string name;
    uint32_t index = PA_INVALID_INDEX;
    uint32_t rate = 0;
    uint32_t channels = 0;
    pa_channel_map channelMap{};
};

// The default source as the server names it now. Nothing when no server answers, no default
// source is set, or the default is the monitor of a sink: a monitor replays what is played, it
// does not hear the room, so for a microphone capture it counts as no input at all.
// Not on the main-loop thread.
std::optional<SourceDescription> defaultMicrophone(PulseConnection& connection);

// The default source's name from a server-info reply; an empty text when none is set.
std::string defaultSourceName(const pa_server_info* info);

}  // namespace ovra::pulse
