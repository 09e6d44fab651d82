#include "platform/wayland/ScreenCopyConnection.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/wayland/ShmPixels.h"
#include "platform/wayland/WaylandProtocols.h"

namespace ovra::wayland {

// Memory the compositor copies a frame into, shared with the images that still read it.
class ShmMapping {
  public:
    static std::shared_ptr<ShmMapping> create(size_t size) {
        const int fd = memfd_create("ovra-screencopy", MFD_CLOEXEC);
        if (fd < 0) return nullptr;
        if (ftruncate(fd, off_t(size)) != 0) {
            close(fd);
            return nullptr;
        }
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (data == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        return std::shared_ptr<ShmMapping>(new ShmMapping(fd, static_cast<uint8_t*>(data), size));
    }
    ~ShmMapping() {
        munmap(data_, size_);
        close(fd_);
    }
    int fd() const { return fd_; }
    uint8_t* data() const { return data_; }

  private:
    ShmMapping(int fd, uint8_t* data, size_t size) : fd_(fd), data_(data), size_(size) {}
    int fd_;
    uint8_t* data_;
    size_t size_;
};

namespace {

// A compositor that stops answering must not hold the host's thread for ever. One copy of a
// 2880x1800 output takes about 0.1 s on a loaded software-rendered desktop.
constexpr auto kAnswerWait = std::chrono::seconds(5);

constexpr uint32_t kManagerVersion = 3;
constexpr uint32_t kOutputVersion = 2;

void onGlobal(void* data, wl_registry*, uint32_t name, const char* interface, uint32_t version) {
    static_cast<ScreenCopyConnection*>(data)->globalAdded(name, interface, version);
}
void onGlobalRemove(void* data, wl_registry*, uint32_t name) {
    static_cast<ScreenCopyConnection*>(data)->globalRemoved(name);
}
const wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

void onGeometry(void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t,
                const char*, const char*, int32_t) {
    auto* position = static_cast<int32_t*>(data);
    position[0] = x;
    position[1] = y;
}
void onMode(void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {}
void onOutputDone(void*, wl_output*) {}
void onScale(void*, wl_output*, int32_t) {}
void onName(void*, wl_output*, const char*) {}
void onDescription(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener{onGeometry, onMode, onOutputDone,
                                         onScale,    onName, onDescription};

void onSyncDone(void* data, wl_callback*, uint32_t) {
    *static_cast<bool*>(data) = true;
}
const wl_callback_listener kSyncListener{onSyncDone};

// What the compositor says about one frame.
struct Frame {
    struct Offer {
        uint32_t format, width, height, stride;
    };
    std::vector<Offer> offers;
    uint32_t version = 1;
    bool buffersAnnounced = false;
    bool yInvert = false;
    bool ready = false;
    bool failed = false;
};

void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width,
              uint32_t height, uint32_t stride) {
    auto* f = static_cast<Frame*>(data);
    f->offers.push_back({format, width, height, stride});
    // Before version 3 the first buffer type is the only one, and no buffer_done follows.
    if (f->version < 3) f->buffersAnnounced = true;
}
void onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
    static_cast<Frame*>(data)->yInvert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}
void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
    static_cast<Frame*>(data)->ready = true;
}
void onFailed(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<Frame*>(data)->failed = true;
}
void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void onBufferDone(void* data, zwlr_screencopy_frame_v1*) {
    static_cast<Frame*>(data)->buffersAnnounced = true;
}
const zwlr_screencopy_frame_v1_listener kFrameListener{onBuffer, onFlags,  onReady,     onFailed,
                                                       onDamage, onDmabuf, onBufferDone};

std::string compositorName() {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    return name && *name ? name : "wayland-0";
}

}  // namespace

std::unique_ptr<ScreenCopyConnection> ScreenCopyConnection::open(std::string& why) {
    if (!openWaylandClient(why)) return nullptr;
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        why = "no Wayland compositor answers at " + compositorName() + " (" + std::strerror(errno) +
              ")";
        return nullptr;
    }
    std::unique_ptr<ScreenCopyConnection> c(new ScreenCopyConnection(display));
    c->registry_ = wl_display_get_registry(display);
    wl_registry_add_listener(c->registry_, &kRegistryListener, c.get());
    // One round trip for the globals, one for the outputs' positions.
    if (!c->roundtrip() || !c->roundtrip()) {
        why = "the compositor at " + compositorName() + " did not answer";
        return nullptr;
    }
    return c;
}

ScreenCopyConnection::~ScreenCopyConnection() {
    dropBuffer();
    for (auto& o : outputs_) wl_output_destroy(o->proxy);
    if (manager_) zwlr_screencopy_manager_v1_destroy(manager_);
    if (shm_) wl_shm_destroy(shm_);
    if (registry_) wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
}

bool ScreenCopyConnection::broken() const {
    return lost_ || wl_display_get_error(display_) != 0;
}

void ScreenCopyConnection::globalAdded(uint32_t name, const char* interface, uint32_t version) {
    const std::string_view kind(interface);
    if (kind == "wl_shm" && !shm_) {
        shm_ = static_cast<wl_shm*>(wl_registry_bind(registry_, name, &wl_shm_interface, 1));
    } else if (kind == "zwlr_screencopy_manager_v1" && !manager_) {
        manager_ = static_cast<zwlr_screencopy_manager_v1*>(
            wl_registry_bind(registry_, name, &zwlr_screencopy_manager_v1_interface,
                             std::min(version, kManagerVersion)));
    } else if (kind == "wl_output") {
        auto output = std::make_unique<Output>();
        output->name = name;
        output->proxy = static_cast<wl_output*>(wl_registry_bind(
            registry_, name, &wl_output_interface, std::min(version, kOutputVersion)));
        // x and y are next to each other in Output: the listener writes both through one pointer.
        static_assert(offsetof(Output, y) == offsetof(Output, x) + sizeof(int32_t));
        wl_output_add_listener(output->proxy, &kOutputListener, &output->x);
        outputs_.push_back(std::move(output));
    }
}

void ScreenCopyConnection::globalRemoved(uint32_t name) {
    auto it = std::find_if(outputs_.begin(), outputs_.end(),
                           [&](const auto& o) { return o->name == name; });
    if (it == outputs_.end()) return;
    wl_output_destroy((*it)->proxy);
    outputs_.erase(it);
}

ScreenCopyConnection::Output* ScreenCopyConnection::mainOutput() {
    for (auto& o : outputs_)
        if (o->x == 0 && o->y == 0) return o.get();
    return outputs_.empty() ? nullptr : outputs_.front().get();
}

bool ScreenCopyConnection::dispatchUntil(const std::function<bool()>& done) {
    if (lost_) return false;
    const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
    const int fd = wl_display_get_fd(display_);
    // Any way out but `done` leaves the connection unusable: a flush that met a closed socket
    // (EPIPE) does not count as an error for libwayland, so this keeps its own note.
    const auto lose = [&](bool prepared) {
        if (prepared) wl_display_cancel_read(display_);
        lost_ = true;
        return false;
    };
    for (;;) {
        if (wl_display_dispatch_pending(display_) < 0) return lose(false);
        if (done()) return true;
        if (wl_display_prepare_read(display_) != 0) continue;  // more events queued meanwhile
        if (wl_display_flush(display_) < 0 && errno != EAGAIN) return lose(true);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut_ = true;
            return lose(true);
        }
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, int(left.count()) + 1);
        if (n <= 0) {
            if (n < 0 && errno != EINTR) return lose(true);
            wl_display_cancel_read(display_);
            continue;
        }
        if (wl_display_read_events(display_) < 0) return lose(false);
    }
}

bool ScreenCopyConnection::roundtrip() {
    bool done = false;
    wl_callback* callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &kSyncListener, &done);
    const bool ok = dispatchUntil([&] { return done; });
    wl_callback_destroy(callback);
    return ok;
}

bool ScreenCopyConnection::ensureBuffer(uint32_t format, uint32_t width, uint32_t height,
                                        uint32_t stride, std::string& why) {
    const Buffer& b = buffer_;
    // Reused while no image still reads it: its pages are already mapped on both sides.
    if (b.buffer && b.format == format && b.width == width && b.height == height &&
        b.stride == stride && b.mapping.use_count() == 1)
        return true;
    dropBuffer();
    const size_t size = size_t(stride) * height;
    auto mapping = ShmMapping::create(size);
    if (!mapping) {
        why = std::string("no shared memory for a frame (") + std::strerror(errno) + ")";
        return false;
    }
    buffer_.pool = wl_shm_create_pool(shm_, mapping->fd(), int32_t(size));
    buffer_.buffer = wl_shm_pool_create_buffer(buffer_.pool, 0, int32_t(width), int32_t(height),
                                               int32_t(stride), format);
    buffer_.mapping = std::move(mapping);
    buffer_.format = format;
    buffer_.width = width;
    buffer_.height = height;
    buffer_.stride = stride;
    return true;
}

void ScreenCopyConnection::dropBuffer() {
    if (buffer_.buffer) wl_buffer_destroy(buffer_.buffer);
    if (buffer_.pool) wl_shm_pool_destroy(buffer_.pool);
    buffer_ = Buffer{};
}

std::shared_ptr<Image> ScreenCopyConnection::capture(std::string& why) {
    if (!offersScreenCopy()) {
        why = "the compositor does not offer zwlr_screencopy_manager_v1";
        return nullptr;
    }
    Output* output = mainOutput();
    if (!output) {
        why = "the compositor announces no output";
        return nullptr;
    }
    Frame frame;
    zwlr_screencopy_frame_v1* proxy =
        zwlr_screencopy_manager_v1_capture_output(manager_, 0, output->proxy);
    frame.version = zwlr_screencopy_frame_v1_get_version(proxy);
    zwlr_screencopy_frame_v1_add_listener(proxy, &kFrameListener, &frame);
    struct Destroy {
        zwlr_screencopy_frame_v1* p;
        ~Destroy() { zwlr_screencopy_frame_v1_destroy(p); }
    } destroy{proxy};

    const auto wentAway = [&] {
        why = timedOut_ ? "no answer from the compositor within 5 s" : "the compositor went away";
        return nullptr;
    };
    if (!dispatchUntil([&] { return frame.buffersAnnounced || frame.failed; })) return wentAway();
    const Frame::Offer* chosen = nullptr;
    std::optional<PixelFormat> layout;
    for (const auto& offer : frame.offers)
        if ((layout = pixelFormatForShm(offer.format))) {
            chosen = &offer;
            break;
        }
    if (frame.failed || !chosen) {
        why = frame.failed           ? "the compositor could not copy the output"
              : frame.offers.empty() ? "the compositor offers no shared-memory frame"
                                     : describeUnreadableShm(frame.offers.front().format);
        return nullptr;
    }
    if (chosen->stride < chosen->width * bytesPerPixel(*layout) || chosen->height == 0) {
        why = "the compositor announced an impossible frame";
        return nullptr;
    }
    if (!ensureBuffer(chosen->format, chosen->width, chosen->height, chosen->stride, why))
        return nullptr;
    zwlr_screencopy_frame_v1_copy(proxy, buffer_.buffer);
    if (!dispatchUntil([&] { return frame.ready || frame.failed; })) return wentAway();
    if (frame.failed) {
        why = "the compositor could not copy the output";
        return nullptr;
    }
    uint8_t* pixels = buffer_.mapping->data();
    if (frame.yInvert) flipRows(pixels, chosen->stride, chosen->height);
    return std::make_shared<Image>(chosen->width, chosen->height, *layout,
                                   std::array<ImagePlane, 3>{ImagePlane{pixels, chosen->stride}},
                                   std::make_shared<ColorSpace>(ColorSpace::sRGBName),
                                   buffer_.mapping);
}

}  // namespace ovra::wayland
