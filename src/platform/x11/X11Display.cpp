#include "platform/x11/X11Display.h"

#include <cstdlib>
#include <mutex>

#include "platform/x11/SegmentFit.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/XcbApi.h"
#include "platform/x11/X11ShmSegment.h"
#include "platform/x11/XWayland.h"

namespace ovra::x11 {
namespace {

constexpr DisplayID kMainDisplay = 1;

// The connection and the one spare segment, shared with the images that are still out: an image
// gives its segment back when the pipeline lets go of it, so the next grab reuses memory that is
// already mapped on both sides instead of faulting in a fresh frame. Only a segment that fits
// the latest grab is kept.
struct State {
    std::mutex mutex;
    std::unique_ptr<X11Connection> connection;
    uint64_t generation = 0;  // which connection the segments were attached on
    std::unique_ptr<X11ShmSegment> spare;
    uint64_t spareGeneration = 0;
    size_t wanted = 0;  // bytes the latest grab needed: the spare kept is sized for it

    void dropConnection() {
        spare.reset();
        connection.reset();
        ++generation;
    }

    void giveBack(std::unique_ptr<X11ShmSegment> segment, uint64_t segmentGeneration) {
        // An image can die on the grabbing thread while it holds the lock (an allocation failing
        // half-way): the lock is already ours then.
        if (lockedHere == this) return giveBackLocked(std::move(segment), segmentGeneration);
        std::lock_guard lock(mutex);
        giveBackLocked(std::move(segment), segmentGeneration);
    }

    void giveBackLocked(std::unique_ptr<X11ShmSegment> segment, uint64_t segmentGeneration) {
        const bool current = connection && segmentGeneration == generation && !connection->broken();
        if (!current) return;
        if (segmentFits(segment->size(), wanted) &&
            (!spare || !segmentFits(spare->size(), wanted))) {
            if (spare) spare->detachFrom(connection->get());
            spare = std::move(segment);
            spareGeneration = segmentGeneration;
        } else {
            segment->detachFrom(connection->get());
        }
    }

    static thread_local State* lockedHere;
};

thread_local State* State::lockedHere = nullptr;

// Holds the state's lock and marks it as held by this thread.
class StateLock {
  public:
    explicit StateLock(State& s) : lock_(s.mutex) { State::lockedHere = &s; }
    ~StateLock() { State::lockedHere = nullptr; }

  private:
    std::lock_guard<std::mutex> lock_;
};

class X11Grabber : public X11Display {
  public:
    DisplayID mainDisplayID() override { return kMainDisplay; }

    XServerKind serverKind() override {
        // Without libxcb no X server can be reached; the grab itself says which library is missing.
        if (!xcbApi().xcb_connect) return XServerKind::unreachable;
        StateLock lock(*state_);
        if (state_->connection && state_->connection->broken()) state_->dropConnection();
        if (!state_->connection) state_->connection = X11Connection::open();
        if (!state_->connection) return XServerKind::unreachable;
        return isXWayland(*state_->connection) ? XServerKind::xwayland : XServerKind::x11;
    }

    std::shared_ptr<Image> createDisplayImage(DisplayID display) override {
        if (display != kMainDisplay) return nullptr;
        // Without libxcb there is no image, as without a server; the line says why.
        if (!xcbLoaded("Error: ")) return nullptr;
        StateLock lock(*state_);
        // A connection whose server went away is found out on first use: then one fresh
        // connection is tried, so a server that came back serves this very call.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (state_->connection && state_->connection->broken()) state_->dropConnection();
            if (!state_->connection) {
                state_->connection = X11Connection::open();
                if (!state_->connection) return nullptr;
            }
            if (auto image = grab()) return image;
            if (!state_->connection->broken()) return nullptr;
        }
        return nullptr;
    }

  private:
    std::shared_ptr<Image> grab() {
        X11Connection& c = *state_->connection;
        const auto area = c.mainArea();
        if (!area) return nullptr;
        if (c.hasShm())
            if (auto image = grabShared(c, *area)) return image;
        return grabPlain(c, *area);
    }

    std::shared_ptr<Image> grabShared(X11Connection& c, Area area) {
        const size_t stride = c.bytesPerRow(area.width);
        const size_t size = stride * area.height;
        std::unique_ptr<X11ShmSegment> segment;
        state_->wanted = size;
        if (state_->spare && state_->spareGeneration == state_->generation &&
            segmentFits(state_->spare->size(), size)) {
            segment = std::move(state_->spare);
        } else {
            // A spare sized for another display is let go before a new segment is mapped.
            if (state_->spare && state_->spareGeneration == state_->generation)
                state_->spare->detachFrom(c.get());
            state_->spare.reset();
            segment = X11ShmSegment::attach(c.get(), size);
        }
        if (!segment) {
            if (!c.broken()) c.disableShm();
            return nullptr;
        }
        xcb_generic_error_t* error = nullptr;
        auto* reply = xcb_shm_get_image_reply(
            c.get(),
            xcb_shm_get_image(c.get(), c.root(), area.x, area.y, area.width, area.height, ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, segment->id(), 0),
            &error);
        const bool ok = reply && !error && reply->size >= size;
        std::free(reply);
        std::free(error);
        if (!ok) {
            if (!c.broken()) segment->detachFrom(c.get());
            return nullptr;
        }
        // The image reads the segment in place; when it goes, the segment goes back to the pool.
        const ImagePlane plane{segment->data(), stride};
        auto keeper = std::shared_ptr<X11ShmSegment>(
            segment.release(), [state = state_, generation = state_->generation](X11ShmSegment* s) {
                state->giveBack(std::unique_ptr<X11ShmSegment>(s), generation);
            });
        return std::make_shared<Image>(area.width, area.height, c.pixelFormat(),
                                       std::array<ImagePlane, 3>{plane, {}, {}}, srgb(),
                                       std::move(keeper));
    }

    std::shared_ptr<Image> grabPlain(X11Connection& c, Area area) {
        auto* reply =
            xcb_get_image_reply(c.get(),
                                xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, c.root(), area.x,
                                              area.y, area.width, area.height, ~0u),
                                nullptr);
        if (!reply) return nullptr;
        const size_t stride = c.bytesPerRow(area.width);
        if (size_t(xcb_get_image_data_length(reply)) < stride * area.height) {
            std::free(reply);
            return nullptr;
        }
        // The pixels stay in the reply, which the image owns.
        const ImagePlane plane{xcb_get_image_data(reply), stride};
        std::shared_ptr<void> keeper(reply, std::free);
        return std::make_shared<Image>(area.width, area.height, c.pixelFormat(),
                                       std::array<ImagePlane, 3>{plane, {}, {}}, srgb(),
                                       std::move(keeper));
    }

    static std::shared_ptr<ColorSpace> srgb() {
        return std::make_shared<ColorSpace>(ColorSpace::sRGBName);
    }

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace

std::unique_ptr<X11Display> makeX11Display() {
    return std::make_unique<X11Grabber>();
}

}  // namespace ovra::x11
