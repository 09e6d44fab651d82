#include "platform/x11/XWayland.h"

#include "platform/x11/XcbApi.h"

#include <cstdlib>
#include <string_view>
#include <vector>

namespace ovra::x11 {

bool isXWayland(X11Connection& connection) {
    xcb_connection_t* c = connection.get();
    const auto* randr = xcb_get_extension_data(c, xcbApi().randrId);
    if (!randr || !randr->present) return false;
    auto* resources = xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, connection.root()), nullptr);
    if (!resources) return false;
    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources);
    const int count = xcb_randr_get_screen_resources_current_outputs_length(resources);
    // All questions first, then the answers: one round trip whatever the number of outputs.
    std::vector<xcb_randr_get_output_info_cookie_t> cookies;
    for (int i = 0; i < count; ++i)
        cookies.push_back(xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp));
    std::free(resources);
    bool xwayland = false;
    for (auto cookie : cookies) {
        auto* info = xcb_randr_get_output_info_reply(c, cookie, nullptr);
        if (!info) continue;
        const std::string_view name(
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info)),
            size_t(xcb_randr_get_output_info_name_length(info)));
        xwayland = xwayland || name.starts_with("XWAYLAND");
        std::free(info);
    }
    return xwayland;
}

}  // namespace ovra::x11
