#include "platform/pulse/PulseSinks.h"

namespace ovra::pulse {
namespace {

struct SinkQuery {
    SinkDescription* out;
    bool found = false;
};

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* query = static_cast<SinkQuery*>(userdata);
    if (eol != 0 || !info) return;
    query->found = true;
    query->out->name = info->name ? info->name : "";
    query->out->index = info->index;
    query->out->rate = info->sample_spec.rate;
    query->out->channelMap = info->channel_map;
    query->out->monitorSource = info->monitor_source_name ? info->monitor_source_name : "";
}

template <class Ask>
OSStatus askForSink(PulseConnection& connection, SinkDescription* out, Ask ask) {
    PulseConnection::Lock lock(connection);
    pa_context* context = connection.ready(lock);
    if (!context) return kAudioHardwareNotRunningError;
    SinkQuery query{out};
    const bool answered = connection.await(lock, ask(context, &query));
    if (query.found) return noErr;
    // An answer without a sink is the server's "no such entity"; no answer is no server.
    return answered ? kAudioHardwareBadDeviceError : kAudioHardwareNotRunningError;
}

}  // namespace

OSStatus sinkByName(PulseConnection& connection, const std::string& name, SinkDescription* out) {
    return askForSink(connection, out, [&](pa_context* context, SinkQuery* query) {
        return pa_context_get_sink_info_by_name(context, name.c_str(), onSinkInfo, query);
    });
}

OSStatus sinkByIndex(PulseConnection& connection, uint32_t index, SinkDescription* out) {
    return askForSink(connection, out, [&](pa_context* context, SinkQuery* query) {
        return pa_context_get_sink_info_by_index(context, index, onSinkInfo, query);
    });
}

OSStatus defaultSink(PulseConnection& connection, SinkDescription* out) {
    // The server resolves its own name for the default sink in one round trip.
    return sinkByName(connection, "@DEFAULT_SINK@", out);
}

}  // namespace ovra::pulse
