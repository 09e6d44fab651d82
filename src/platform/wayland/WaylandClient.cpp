// Deliberately does not include WaylandProtocols.h: this file defines the interface copies that
// the protocol headers declare const under the same names, and fills them once.
#include "platform/wayland/WaylandClient.h"

#include <wayland-util.h>

#include "platform/SharedLibrary.h"

extern "C" {
struct wl_interface ovra_wl_registry_interface;
struct wl_interface ovra_wl_callback_interface;
struct wl_interface ovra_wl_shm_interface;
struct wl_interface ovra_wl_shm_pool_interface;
struct wl_interface ovra_wl_buffer_interface;
struct wl_interface ovra_wl_output_interface;
}

namespace ovra::wayland {
namespace {

constexpr const char* kSoname = "libwayland-client.so.0";

struct Loaded {
    WaylandClient table{};
    std::string error;
    bool ok = false;
};

// The real descriptions, read once to fill the copies.
struct InterfaceSlots {
    wl_interface* registry;
    wl_interface* callback;
    wl_interface* shm;
    wl_interface* shmPool;
    wl_interface* buffer;
    wl_interface* output;
};

Loaded* load() {
    auto* loaded = new Loaded;
    WaylandClient& t = loaded->table;
    InterfaceSlots i{};
    loaded->ok =
        openSharedLibrary(kSoname,
                          {symbolSlot("wl_display_connect", t.displayConnect),
                           symbolSlot("wl_display_disconnect", t.displayDisconnect),
                           symbolSlot("wl_display_get_fd", t.displayGetFd),
                           symbolSlot("wl_display_get_error", t.displayGetError),
                           symbolSlot("wl_display_flush", t.displayFlush),
                           symbolSlot("wl_display_prepare_read", t.displayPrepareRead),
                           symbolSlot("wl_display_read_events", t.displayReadEvents),
                           symbolSlot("wl_display_cancel_read", t.displayCancelRead),
                           symbolSlot("wl_display_dispatch_pending", t.displayDispatchPending),
                           symbolSlot("wl_proxy_marshal_flags", t.proxyMarshalFlags),
                           symbolSlot("wl_proxy_add_listener", t.proxyAddListener),
                           symbolSlot("wl_proxy_destroy", t.proxyDestroy),
                           symbolSlot("wl_proxy_get_version", t.proxyGetVersion),
                           symbolSlot("wl_proxy_set_user_data", t.proxySetUserData),
                           symbolSlot("wl_proxy_get_user_data", t.proxyGetUserData),
                           symbolSlot("wl_registry_interface", i.registry),
                           symbolSlot("wl_callback_interface", i.callback),
                           symbolSlot("wl_shm_interface", i.shm),
                           symbolSlot("wl_shm_pool_interface", i.shmPool),
                           symbolSlot("wl_buffer_interface", i.buffer),
                           symbolSlot("wl_output_interface", i.output)},
                          loaded->error) != nullptr;
    if (loaded->ok) {
        // Written once, inside the function-local static that makes every other caller wait.
        ovra_wl_registry_interface = *i.registry;
        ovra_wl_callback_interface = *i.callback;
        ovra_wl_shm_interface = *i.shm;
        ovra_wl_shm_pool_interface = *i.shmPool;
        ovra_wl_buffer_interface = *i.buffer;
        ovra_wl_output_interface = *i.output;
    }
    return loaded;
}

// Built on first use and never freed: the library stays open for the life of the process.
Loaded& loaded() {
    static Loaded* l = load();
    return *l;
}

}  // namespace

const WaylandClient* openWaylandClient(std::string& error) {
    Loaded& l = loaded();
    if (!l.ok) {
        error = l.error;
        return nullptr;
    }
    return &l.table;
}

const WaylandClient& waylandClient() {
    return loaded().table;
}

}  // namespace ovra::wayland
