// One connection to the Wayland compositor named by WAYLAND_DISPLAY (libwayland's default
// otherwise), with the globals a screen copy needs, and the shared-memory buffer kept between
// copies.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/Image.h"

struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_shm_pool;
struct wl_buffer;
struct wl_output;
struct zwlr_screencopy_manager_v1;

namespace ovra::wayland {

class ShmMapping;

class ScreenCopyConnection {
  public:
    // Connected, with the globals announced; null with `why` set when no compositor answers.
    static std::unique_ptr<ScreenCopyConnection> open(std::string& why);
    ~ScreenCopyConnection();
    ScreenCopyConnection(const ScreenCopyConnection&) = delete;
    ScreenCopyConnection& operator=(const ScreenCopyConnection&) = delete;

    // The compositor closed the connection, or a wait for it ran out.
    bool broken() const;
    // The compositor stopped answering: waiting on a fresh connection would only wait again.
    bool timedOut() const { return timedOut_; }
    // Whether the compositor offers screen copies at all.
    bool offersScreenCopy() const { return manager_ != nullptr && shm_ != nullptr; }

    // A copy of the main output: the one at the origin, else the first announced. Null with
    // `why` set on failure.
    std::shared_ptr<Image> capture(std::string& why);

    // Called by the registry listener.
    void globalAdded(uint32_t name, const char* interface, uint32_t version);
    void globalRemoved(uint32_t name);

  private:
    struct Output {
        wl_output* proxy = nullptr;
        uint32_t name = 0;
        int32_t x = 0, y = 0;
    };
    struct Buffer {
        std::shared_ptr<ShmMapping> mapping;
        wl_shm_pool* pool = nullptr;
        wl_buffer* buffer = nullptr;
        uint32_t format = 0, width = 0, height = 0, stride = 0;
    };

    explicit ScreenCopyConnection(wl_display* display) : display_(display) {}
    // Dispatches events until `done` holds; false (and the connection lost) when it fails or
    // the wait runs out first.
    bool dispatchUntil(const std::function<bool()>& done);
    bool roundtrip();
    Output* mainOutput();
    bool ensureBuffer(uint32_t format, uint32_t width, uint32_t height, uint32_t stride,
                      std::string& why);
    void dropBuffer();

    wl_display* display_;
    wl_registry* registry_ = nullptr;
    wl_shm* shm_ = nullptr;
    zwlr_screencopy_manager_v1* manager_ = nullptr;
    std::vector<std::unique_ptr<Output>> outputs_;
    Buffer buffer_;
    bool lost_ = false;
    bool timedOut_ = false;
};

}  // namespace ovra::wayland
