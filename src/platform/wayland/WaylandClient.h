// libwayland-client, opened on first use instead of linked (see platform/SharedLibrary.h): the
// functions this backend calls, and copies of the core interface descriptions it names.
//
// Code of this backend includes "platform/wayland/WaylandProtocols.h", never the libwayland
// headers directly: that header points the libwayland names at this table, so the static inline
// request functions of the generated protocol headers call through it too.
#pragma once

#include <wayland-client-core.h>

#include <string>

namespace ovra::wayland {

struct WaylandClient {
    decltype(&::wl_display_connect) displayConnect;
    decltype(&::wl_display_disconnect) displayDisconnect;
    decltype(&::wl_display_get_fd) displayGetFd;
    decltype(&::wl_display_get_error) displayGetError;
    decltype(&::wl_display_flush) displayFlush;
    decltype(&::wl_display_prepare_read) displayPrepareRead;
    decltype(&::wl_display_read_events) displayReadEvents;
    decltype(&::wl_display_cancel_read) displayCancelRead;
    decltype(&::wl_display_dispatch_pending) displayDispatchPending;
    decltype(&::wl_proxy_marshal_flags) proxyMarshalFlags;
    decltype(&::wl_proxy_add_listener) proxyAddListener;
    decltype(&::wl_proxy_destroy) proxyDestroy;
    decltype(&::wl_proxy_get_version) proxyGetVersion;
    decltype(&::wl_proxy_set_user_data) proxySetUserData;
    decltype(&::wl_proxy_get_user_data) proxyGetUserData;
};

// The table, the library opened and the interface copies filled on the first call; null with
// `error` set to a line naming the library when it cannot be opened (the same answer from then
// on). Safe to call from several threads.
const WaylandClient* openWaylandClient(std::string& error);

// The table once `openWaylandClient` has succeeded; only code that got a connection calls it.
const WaylandClient& waylandClient();

}  // namespace ovra::wayland
