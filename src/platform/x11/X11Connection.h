// One connection to the X server named by DISPLAY, with what a grab of screen 0 needs to know:
// the root window, the pixel layout of its images, and which extensions can be used.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/graphics/Image.h"
#include "platform/x11/XcbApi.h"

namespace ovra::x11 {

struct Area {
    int16_t x = 0;
    int16_t y = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};

class X11Connection {
  public:
    // Null when no server can be reached or screen 0 has a layout we cannot read.
    static std::unique_ptr<X11Connection> open();
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    bool broken() const { return xcb_connection_has_error(connection_) != 0; }
    xcb_window_t root() const { return root_; }
    PixelFormat pixelFormat() const { return format_; }
    unsigned bitsPerPixel() const { return bitsPerPixel_; }
    size_t bytesPerRow(uint16_t width) const;

    bool hasShm() const { return shm_; }
    // After a segment could not be attached (the server is on another machine): plain
    // GetImage from then on.
    void disableShm() { shm_ = false; }

    // The RandR primary output's area on screen 0, else the whole root window; nothing when the
    // server does not answer.
    std::optional<Area> mainArea();

  private:
    X11Connection(xcb_connection_t* c) : connection_(c) {}
    bool describeScreen(int screenNumber);

    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
    PixelFormat format_ = PixelFormat::bgrx;
    unsigned bitsPerPixel_ = 32;
    unsigned scanlinePad_ = 32;
    bool shm_ = false;
    bool randr_ = false;
};

}  // namespace ovra::x11
