// A private Xvfb for end-to-end tests: started on a display number it picks itself, drawn on
// with xcb, stopped by its PID.
#pragma once

#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../ScreenJpeg.h"
#include "ChildProcess.h"

namespace ovra::e2e {

class XvfbServer {
  public:
    // `display` empty: Xvfb picks a free number and reports it. `extraArgs` go to Xvfb as they
    // are (e.g. "-extension", "MIT-SHM" to run without shared memory).
    XvfbServer(int width, int height, const std::vector<std::string>& extraArgs = {},
               const std::string& display = "", int depth = 24)
        : width_(width), height_(height) {
        int fds[2];
        if (pipe(fds) != 0) return;
        std::vector<std::string> argv{"Xvfb"};
        if (!display.empty()) argv.push_back(display);
        argv.insert(
            argv.end(),
            {"-screen", "0",
             std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth),
             "-nolisten", "tcp", "-noreset", "-displayfd", std::to_string(fds[1])});
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        process_ = ChildProcess(argv);
        close(fds[1]);
        display_ = readDisplayNumber(fds[0]);
        close(fds[0]);
    }
    ~XvfbServer() { disconnect(); }

    bool ready() const { return !display_.empty(); }
    // ":N", for DISPLAY.
    const std::string& display() const { return display_; }
    void stop() {
        disconnect();
        process_.stop();
    }

    // Fills the blocks on the root window and waits until the server has done it.
    bool draw(test::Rgb background, const std::vector<test::Block>& blocks) {
        if (!connect()) return false;
        fill(background, 0, 0, width_, height_);
        for (const auto& b : blocks) fill(b.color, b.x, b.y, b.width, b.height);
        free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
        return !xcb_connection_has_error(connection_);
    }

  private:
    std::string readDisplayNumber(int fd) {
        std::string number;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 15000) <= 0) return "";
            char c;
            if (read(fd, &c, 1) != 1) return "";
            if (c == '\n') return number.empty() ? "" : ":" + number;
            number += c;
        }
    }

    bool connect() {
        if (connection_) return true;
        connection_ = xcb_connect(display_.c_str(), nullptr);
        if (xcb_connection_has_error(connection_)) {
            disconnect();
            return false;
        }
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        return true;
    }

    void disconnect() {
        if (connection_) xcb_disconnect(connection_);
        connection_ = nullptr;
    }

    void fill(test::Rgb c, int x, int y, int w, int h) {
        const xcb_rectangle_t r{int16_t(x), int16_t(y), uint16_t(w), uint16_t(h)};
        const xcb_gcontext_t gc = xcb_generate_id(connection_);
        const uint32_t pixel = uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
        xcb_create_gc(connection_, gc, screen_->root, XCB_GC_FOREGROUND, &pixel);
        xcb_poly_fill_rectangle(connection_, screen_->root, gc, 1, &r);
        xcb_free_gc(connection_, gc);
    }

    int width_, height_;
    ChildProcess process_;
    std::string display_;
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
};

}  // namespace ovra::e2e
