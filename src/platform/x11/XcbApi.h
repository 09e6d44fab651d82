// libxcb and its SHM and RandR extensions, opened on first use rather than linked: every xcb_*
// function the backend calls, as one table filled from the three libraries.
//
// The backend's code calls the functions by their own names (see TableCall.h). A function that
// is not listed fails the library's link: add it to the list of its library.
#pragma once

#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include "platform/TableCall.h"

// One name per line, unaligned, so that adding a function is a one-line change.
// clang-format off
#define OVRA_XCB_FUNCTIONS(X) \
    X(xcb_connect) \
    X(xcb_connection_has_error) \
    X(xcb_depth_next) \
    X(xcb_depth_visuals_iterator) \
    X(xcb_discard_reply) \
    X(xcb_disconnect) \
    X(xcb_flush) \
    X(xcb_format_next) \
    X(xcb_generate_id) \
    X(xcb_get_extension_data) \
    X(xcb_get_geometry) \
    X(xcb_get_geometry_reply) \
    X(xcb_get_image) \
    X(xcb_get_image_data) \
    X(xcb_get_image_data_length) \
    X(xcb_get_image_reply) \
    X(xcb_get_setup) \
    X(xcb_request_check) \
    X(xcb_screen_allowed_depths_iterator) \
    X(xcb_screen_next) \
    X(xcb_setup_pixmap_formats_iterator) \
    X(xcb_setup_roots_iterator) \
    X(xcb_visualtype_next)

#define OVRA_XCB_SHM_FUNCTIONS(X) \
    X(xcb_shm_attach_checked) \
    X(xcb_shm_detach) \
    X(xcb_shm_get_image) \
    X(xcb_shm_get_image_reply) \
    X(xcb_shm_query_version) \
    X(xcb_shm_query_version_reply)

#define OVRA_XCB_RANDR_FUNCTIONS(X) \
    X(xcb_randr_get_crtc_info) \
    X(xcb_randr_get_crtc_info_reply) \
    X(xcb_randr_get_output_info) \
    X(xcb_randr_get_output_info_reply) \
    X(xcb_randr_get_output_primary) \
    X(xcb_randr_get_output_primary_reply) \
    X(xcb_randr_get_output_info_name) \
    X(xcb_randr_get_output_info_name_length) \
    X(xcb_randr_get_screen_resources_current) \
    X(xcb_randr_get_screen_resources_current_outputs) \
    X(xcb_randr_get_screen_resources_current_outputs_length) \
    X(xcb_randr_get_screen_resources_current_reply) \
    X(xcb_randr_query_version) \
    X(xcb_randr_query_version_reply)
// clang-format on

namespace ovra::x11 {

struct XcbApi {
#define OVRA_XCB_SLOT(name) decltype(&::name) name = nullptr;
    OVRA_XCB_FUNCTIONS(OVRA_XCB_SLOT)
    OVRA_XCB_SHM_FUNCTIONS(OVRA_XCB_SLOT)
    OVRA_XCB_RANDR_FUNCTIONS(OVRA_XCB_SLOT)
#undef OVRA_XCB_SLOT
    // The extensions' ids, for xcb_get_extension_data.
    xcb_extension_t* shmId = nullptr;
    xcb_extension_t* randrId = nullptr;
};

// The table, opening the libraries on the first call. Every entry is null when any of them
// could not be opened: callers check `xcbLoaded` before their first call.
const XcbApi& xcbApi();

// True when the three libraries are there. Otherwise writes `prefix` and the reason, which names
// the missing library, as one log line.
bool xcbLoaded(const char* prefix);

#define OVRA_XCB_CALL(name) \
    inline constexpr TableCall<XcbApi, xcbApi, &XcbApi::name, decltype(&::name)> name{};
OVRA_XCB_FUNCTIONS(OVRA_XCB_CALL)
OVRA_XCB_SHM_FUNCTIONS(OVRA_XCB_CALL)
OVRA_XCB_RANDR_FUNCTIONS(OVRA_XCB_CALL)
#undef OVRA_XCB_CALL

}  // namespace ovra::x11
