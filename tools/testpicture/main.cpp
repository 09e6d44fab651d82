// ovra-test-picture: shows the demo's built-in test picture as the root window's background of
// the X display named by DISPLAY, so that a screenshot of a private Xvfb has something to show:
// a photo-like landscape, colour bars, one-pixel stripes that reveal aliasing, and text.
//   ovra-test-picture          draw it (it stays after this program exits)
//   ovra-test-picture --check  only tell, by the exit code, whether the display can be reached
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TestPicture.h"

namespace {

using ovra::testpicture::pictureAt;

// The text panel: a white box with lines in the core "fixed" font.
void drawText(xcb_connection_t* c, xcb_drawable_t target, int w, int h) {
    const auto& panel = ovra::testpicture::kTextPanel;
    const int x0 = int(w * panel[0]), y0 = int(h * panel[1]), x1 = int(w * panel[2]),
              y1 = int(h * panel[3]);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const xcb_font_t font = xcb_generate_id(c);
    xcb_open_font(c, font, 5, "fixed");
    const uint32_t values[] = {0xffffff, 0xffffff, font};
    xcb_create_gc(c, gc, target, XCB_GC_FOREGROUND | XCB_GC_BACKGROUND | XCB_GC_FONT, values);
    const xcb_rectangle_t box{int16_t(x0), int16_t(y0), uint16_t(x1 - x0), uint16_t(y1 - y0)};
    xcb_poly_fill_rectangle(c, target, gc, 1, &box);
    const uint32_t black = 0x202020;
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &black);
    const char* lines[] = {
        "OvraHelper test picture",
        "",
        "This is what ovra-capture sees on a private Xvfb when no display of yours can be reached.",
        "The landscape stands for a photograph; the stripes on the left are one pixel wide, so a",
        "good downscale shows them as even grey, a poor one as coarse bars. This text is the core",
        "X font 'fixed', six pixels wide: it should stay readable after the reduction to 1920.",
        "",
        "ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz 0123456789 ()[]{}<>=+-*/%&|!?",
    };
    int y = y0 + 24;
    for (const char* line : lines) {
        if (*line)
            xcb_image_text_8(c, uint8_t(std::strlen(line)), target, gc, int16_t(x0 + 16),
                             int16_t(y), line);
        y += 16;
    }
    xcb_free_gc(c, gc);
    xcb_close_font(c, font);
}

}  // namespace

int main(int argc, char** argv) {
    const bool checkOnly = argc > 1 && std::strcmp(argv[1], "--check") == 0;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        if (!checkOnly) std::fprintf(stderr, "ovra-test-picture: cannot reach the X display\n");
        xcb_disconnect(c);
        return 1;
    }
    if (checkOnly) {
        xcb_disconnect(c);
        return 0;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    if (screen->root_depth != 24) {
        std::fprintf(stderr, "ovra-test-picture: needs a 24-bit display\n");
        xcb_disconnect(c);
        return 1;
    }
    const int w = screen->width_in_pixels, h = screen->height_in_pixels;

    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, 24, pixmap, screen->root, uint16_t(w), uint16_t(h));
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    // Rows in bands that stay well inside the core protocol's request size.
    const int rowsPerBand = std::max(1, 60000 / w);
    std::vector<uint32_t> band(size_t(w) * size_t(rowsPerBand));
    for (int y0 = 0; y0 < h; y0 += rowsPerBand) {
        const int rows = std::min(rowsPerBand, h - y0);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < w; ++x)
                band[size_t(y) * size_t(w) + size_t(x)] = pictureAt(x, y0 + y, w, h);
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, uint16_t(w), uint16_t(rows), 0,
                      int16_t(y0), 0, 24, uint32_t(size_t(w) * size_t(rows) * 4),
                      reinterpret_cast<const uint8_t*>(band.data()));
    }
    drawText(c, pixmap, w, h);
    // The root keeps the pixmap as its background after this client has gone.
    xcb_change_window_attributes(c, screen->root, XCB_CW_BACK_PIXMAP, &pixmap);
    xcb_clear_area(c, 0, screen->root, 0, 0, 0, 0);
    xcb_free_gc(c, gc);
    xcb_free_pixmap(c, pixmap);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok ? 0 : 1;
}
