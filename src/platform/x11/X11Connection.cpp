#include "platform/x11/X11Connection.h"

#include <algorithm>
#include <cstdlib>

#include "platform/graphics/PixelLayout.h"

namespace ovra::x11 {

namespace {

template <class Reply>
struct Owned {
    Reply* reply;
    ~Owned() { std::free(reply); }
    Reply* operator->() const { return reply; }
    explicit operator bool() const { return reply != nullptr; }
};

const xcb_visualtype_t* findVisual(const xcb_screen_t* screen, xcb_visualid_t id) {
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == id) return v.data;
    return nullptr;
}

}  // namespace

std::unique_ptr<X11Connection> X11Connection::open() {
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    std::unique_ptr<X11Connection> connection(new X11Connection(c));
    if (connection->broken() || !connection->describeScreen(0)) return nullptr;
    return connection;
}

X11Connection::~X11Connection() {
    xcb_disconnect(connection_);
}

bool X11Connection::describeScreen(int screenNumber) {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    auto it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) return false;
    const xcb_screen_t* screen = it.data;
    root_ = screen->root;

    const xcb_format_t* format = nullptr;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
        if (f.data->depth == screen->root_depth) format = f.data;
    const xcb_visualtype_t* visual = findVisual(screen, screen->root_visual);
    if (!format || !visual) return false;
    const auto layout =
        packedFormatFor(format->bits_per_pixel, visual->red_mask, visual->green_mask,
                        visual->blue_mask, setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST);
    if (!layout) return false;
    format_ = *layout;
    bitsPerPixel_ = format->bits_per_pixel;
    scanlinePad_ = std::max<unsigned>(format->scanline_pad, 8);

    // Ask for both extensions' versions at once: one round trip instead of two.
    const auto* shmData = xcb_get_extension_data(connection_, xcbApi().shmId);
    const auto* randrData = xcb_get_extension_data(connection_, xcbApi().randrId);
    const bool shmPresent = shmData && shmData->present;
    const bool randrPresent = randrData && randrData->present;
    xcb_shm_query_version_cookie_t shmCookie{};
    xcb_randr_query_version_cookie_t randrCookie{};
    if (shmPresent) shmCookie = xcb_shm_query_version(connection_);
    if (randrPresent) randrCookie = xcb_randr_query_version(connection_, 1, 3);
    if (shmPresent) {
        Owned<xcb_shm_query_version_reply_t> r{
            xcb_shm_query_version_reply(connection_, shmCookie, nullptr)};
        shm_ = bool(r);
    }
    if (randrPresent) {
        Owned<xcb_randr_query_version_reply_t> r{
            xcb_randr_query_version_reply(connection_, randrCookie, nullptr)};
        randr_ = r && (r->major_version > 1 || r->minor_version >= 3);
    }
    return !broken();
}

size_t X11Connection::bytesPerRow(uint16_t width) const {
    const size_t bits = size_t(width) * bitsPerPixel_;
    return (bits + scanlinePad_ - 1) / scanlinePad_ * scanlinePad_ / 8;
}

std::optional<Area> X11Connection::mainArea() {
    auto geometryCookie = xcb_get_geometry(connection_, root_);
    xcb_randr_get_output_primary_cookie_t primaryCookie{};
    if (randr_) primaryCookie = xcb_randr_get_output_primary(connection_, root_);
    Owned<xcb_get_geometry_reply_t> geometry{
        xcb_get_geometry_reply(connection_, geometryCookie, nullptr)};
    if (!geometry) {
        if (randr_) xcb_discard_reply(connection_, primaryCookie.sequence);
        return std::nullopt;
    }
    const Area whole{0, 0, geometry->width, geometry->height};
    if (!randr_) return whole;

    Owned<xcb_randr_get_output_primary_reply_t> primary{
        xcb_randr_get_output_primary_reply(connection_, primaryCookie, nullptr)};
    if (!primary || primary->output == XCB_NONE) return whole;
    Owned<xcb_randr_get_output_info_reply_t> output{xcb_randr_get_output_info_reply(
        connection_, xcb_randr_get_output_info(connection_, primary->output, XCB_CURRENT_TIME),
        nullptr)};
    if (!output || output->crtc == XCB_NONE) return whole;
    Owned<xcb_randr_get_crtc_info_reply_t> crtc{xcb_randr_get_crtc_info_reply(
        connection_, xcb_randr_get_crtc_info(connection_, output->crtc, XCB_CURRENT_TIME),
        nullptr)};
    if (!crtc || crtc->width == 0 || crtc->height == 0) return whole;

    // A CRTC can reach past the root window while the screen is being resized: keep to what
    // GetImage can read.
    const int x0 = std::clamp<int>(crtc->x, 0, whole.width);
    const int y0 = std::clamp<int>(crtc->y, 0, whole.height);
    const int x1 = std::clamp<int>(crtc->x + crtc->width, 0, whole.width);
    const int y1 = std::clamp<int>(crtc->y + crtc->height, 0, whole.height);
    if (x1 <= x0 || y1 <= y0) return whole;
    return Area{int16_t(x0), int16_t(y0), uint16_t(x1 - x0), uint16_t(y1 - y0)};
}

}  // namespace ovra::x11
