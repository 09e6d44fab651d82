#include "platform/x11/X11ShmSegment.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <new>

namespace ovra::x11 {

std::unique_ptr<X11ShmSegment> X11ShmSegment::attach(xcb_connection_t* connection, size_t size) {
    const int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (shmid < 0) return nullptr;
    void* address = shmat(shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(shmid, IPC_RMID, nullptr);
        return nullptr;
    }
    const xcb_shm_seg_t id = xcb_generate_id(connection);
    xcb_generic_error_t* error =
        xcb_request_check(connection, xcb_shm_attach_checked(connection, id, uint32_t(shmid), 0));
    // Both sides are attached now (or the server never will be): the segment lives on until
    // both let go, and no one else can find it.
    shmctl(shmid, IPC_RMID, nullptr);
    if (error || xcb_connection_has_error(connection)) {
        std::free(error);
        shmdt(address);
        return nullptr;
    }
    auto* segment = new (std::nothrow) X11ShmSegment(static_cast<uint8_t*>(address), size, id);
    if (!segment) {
        xcb_shm_detach(connection, id);
        xcb_flush(connection);
        shmdt(address);
    }
    return std::unique_ptr<X11ShmSegment>(segment);
}

X11ShmSegment::~X11ShmSegment() {
    shmdt(data_);
}

void X11ShmSegment::detachFrom(xcb_connection_t* connection) {
    xcb_shm_detach(connection, id_);
    xcb_flush(connection);
}

}  // namespace ovra::x11
