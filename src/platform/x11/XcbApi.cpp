#include "platform/x11/XcbApi.h"

#include <string>

#include "base/Log.h"
#include "platform/SharedLibrary.h"

namespace ovra::x11 {
namespace {

struct Loaded {
    XcbApi api;
    std::string error;  // empty when all three libraries are there
};

const Loaded& loaded() {
    // Leaked on purpose, like the libraries it describes, which are never closed.
    static const Loaded* l = [] {
        auto* l = new Loaded;
        XcbApi& t = l->api;
#define OVRA_XCB_SLOT(name) symbolSlot(#name, t.name),
        const bool ok =
            openSharedLibrary("libxcb.so.1", {OVRA_XCB_FUNCTIONS(OVRA_XCB_SLOT)}, l->error) &&
            openSharedLibrary(
                "libxcb-shm.so.0",
                {OVRA_XCB_SHM_FUNCTIONS(OVRA_XCB_SLOT) symbolSlot("xcb_shm_id", t.shmId)},
                l->error) &&
            openSharedLibrary(
                "libxcb-randr.so.0",
                {OVRA_XCB_RANDR_FUNCTIONS(OVRA_XCB_SLOT) symbolSlot("xcb_randr_id", t.randrId)},
                l->error);
#undef OVRA_XCB_SLOT
        if (!ok) t = XcbApi{};  // never half a table
        return l;
    }();
    return *l;
}

}  // namespace

const XcbApi& xcbApi() {
    return loaded().api;
}

bool xcbLoaded(const char* prefix) {
    const Loaded& l = loaded();
    if (l.error.empty()) return true;
    logLine(prefix + l.error + "\n");
    return false;
}

}  // namespace ovra::x11
