// A private Xvfb on a display number it picks itself, drawn on with xcb, stopped by its PID.
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

    bool ready() const { return !display_.empty(); }
    const std::string& display() const { return display_; }
    void stop() { process_.stop(); }

    // Fills the blocks on the root window and waits until the server has done it. The picture
    // stays after the connection closes (-noreset).
    bool draw(test::Rgb background, const std::vector<test::Block>& blocks) {
        xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
        bool drawn = !xcb_connection_has_error(c);
        if (drawn) {
            const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
            fill(c, root, background, 0, 0, width_, height_);
            for (const auto& b : blocks) fill(c, root, b.color, b.x, b.y, b.width, b.height);
            free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            drawn = !xcb_connection_has_error(c);
        }
        xcb_disconnect(c);
        return drawn;
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

    static void fill(xcb_connection_t* c, xcb_window_t root, test::Rgb color, int x, int y, int w,
                     int h) {
        const xcb_rectangle_t r{int16_t(x), int16_t(y), uint16_t(w), uint16_t(h)};
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const uint32_t pixel = uint32_t(color.r) << 16 | uint32_t(color.g) << 8 | color.b;
        xcb_create_gc(c, gc, root, XCB_GC_FOREGROUND, &pixel);
        xcb_poly_fill_rectangle(c, root, gc, 1, &r);
        xcb_free_gc(c, gc);
    }

    int width_, height_;
    ChildProcess process_;
    std::string display_;
};

}  // namespace ovra::e2e
