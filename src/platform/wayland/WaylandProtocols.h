// The libwayland client API and the generated protocol headers, with every libwayland name they
// use bound to the lazily opened library (WaylandClient.h) instead of to link-time symbols.
//
// Functions become calls through the table. Interface descriptions are data symbols that the
// headers (and the scanner's private code, in static arrays) take the address of; those cannot
// be table entries, so each one named is renamed to a copy in this library (`ovra_<name>`) that
// WaylandClient.cpp fills from the real one when the library is opened. A copy describes the
// same messages and points at the same tables, and libwayland compares interfaces by name.
#pragma once

#include "platform/wayland/WaylandClient.h"

#define wl_display_connect ::ovra::wayland::waylandClient().displayConnect
#define wl_display_disconnect ::ovra::wayland::waylandClient().displayDisconnect
#define wl_display_get_fd ::ovra::wayland::waylandClient().displayGetFd
#define wl_display_get_error ::ovra::wayland::waylandClient().displayGetError
#define wl_display_flush ::ovra::wayland::waylandClient().displayFlush
#define wl_display_prepare_read ::ovra::wayland::waylandClient().displayPrepareRead
#define wl_display_read_events ::ovra::wayland::waylandClient().displayReadEvents
#define wl_display_cancel_read ::ovra::wayland::waylandClient().displayCancelRead
#define wl_display_dispatch_pending ::ovra::wayland::waylandClient().displayDispatchPending
#define wl_proxy_marshal_flags ::ovra::wayland::waylandClient().proxyMarshalFlags
#define wl_proxy_add_listener ::ovra::wayland::waylandClient().proxyAddListener
#define wl_proxy_destroy ::ovra::wayland::waylandClient().proxyDestroy
#define wl_proxy_get_version ::ovra::wayland::waylandClient().proxyGetVersion
#define wl_proxy_set_user_data ::ovra::wayland::waylandClient().proxySetUserData
#define wl_proxy_get_user_data ::ovra::wayland::waylandClient().proxyGetUserData

// The same renames are given to the scanner's private code on its compiler command line
// (CMakeLists.txt): keep the two lists together.
#define wl_registry_interface ovra_wl_registry_interface
#define wl_callback_interface ovra_wl_callback_interface
#define wl_shm_interface ovra_wl_shm_interface
#define wl_shm_pool_interface ovra_wl_shm_pool_interface
#define wl_buffer_interface ovra_wl_buffer_interface
#define wl_output_interface ovra_wl_output_interface

#include <wayland-client-protocol.h>

#include "wlr-screencopy-unstable-v1-client-protocol.h"
