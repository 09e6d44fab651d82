// A System V shared memory segment that the X server writes a grabbed image into. The segment is
// marked for removal as soon as both sides have attached it, so nothing is left behind if the
// process dies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/x11/XcbApi.h"

namespace ovra::x11 {

class X11ShmSegment {
  public:
    // Null when the segment cannot be made or the server cannot attach it (a remote server).
    static std::unique_ptr<X11ShmSegment> attach(xcb_connection_t* connection, size_t size);
    ~X11ShmSegment();
    X11ShmSegment(const X11ShmSegment&) = delete;
    X11ShmSegment& operator=(const X11ShmSegment&) = delete;

    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    xcb_shm_seg_t id() const { return id_; }
    // Detaches it on the server too; without this call only our side lets go (for a connection
    // that has already gone).
    void detachFrom(xcb_connection_t* connection);

  private:
    X11ShmSegment(uint8_t* data, size_t size, xcb_shm_seg_t id)
        : data_(data), size_(size), id_(id) {}
    uint8_t* data_;
    size_t size_;
    xcb_shm_seg_t id_;
};

}  // namespace ovra::x11
