#include "platform/pulse/PulseDefaultSource.h"

namespace ovra::pulse {
namespace {

struct ServerQuery {
    PulseConnection* connection;
    std::string defaultSource;
};

struct SourceQuery {
    PulseConnection* connection;
    bool found = false;
    bool isMonitor = false;
    SourceDescription source;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* query = static_cast<ServerQuery*>(userdata);
    query->defaultSource = defaultSourceName(info);
    query->connection->signal();
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* query = static_cast<SourceQuery*>(userdata);
    if (eol == 0 && info) {
        query->found = true;
        query->isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        query->source.name = info->name ? info->name : "";
        query->source.index = info->index;
        query->source.rate = info->sample_spec.rate;
        query->source.channels = info->sample_spec.channels;
        query->source.channelMap = info->channel_map;
    }
    if (eol != 0) query->connection->signal();
}

}  // namespace

std::string defaultSourceName(const pa_server_info* info) {
    return info && info->default_source_name ? info->default_source_name : "";
}

std::optional<SourceDescription> defaultMicrophone(PulseConnection& connection) {
    PulseConnection::Lock lock(connection);
    pa_context* context = connection.ready(lock);
    if (!context) return std::nullopt;

    ServerQuery server{&connection, {}};
    if (!connection.await(lock, pa_context_get_server_info(context, onServerInfo, &server)) ||
        server.defaultSource.empty())
        return std::nullopt;

    SourceQuery source{&connection, false, false, {}};
    if (!connection.await(lock, pa_context_get_source_info_by_name(
                                    context, server.defaultSource.c_str(), onSourceInfo, &source)))
        return std::nullopt;
    if (!source.found || source.isMonitor || source.source.rate == 0 || source.source.channels == 0)
        return std::nullopt;
    return source.source;
}

}  // namespace ovra::pulse
