#include "platform/pulse/PulseApi.h"

#include "base/Log.h"
#include "platform/SharedLibrary.h"

namespace ovra::pulse {
namespace {

struct Loaded {
    PulseApi api;
    std::string error;  // empty when libpulse is there
};

const Loaded& loaded() {
    // Leaked on purpose, like the library it describes, which is never closed.
    static const Loaded* l = [] {
        auto* l = new Loaded;
        PulseApi& t = l->api;
#define OVRA_PULSE_SLOT(name) symbolSlot(#name, t.name),
        if (!openSharedLibrary("libpulse.so.0", {OVRA_PULSE_FUNCTIONS(OVRA_PULSE_SLOT)}, l->error))
            t = PulseApi{};  // never half a table
#undef OVRA_PULSE_SLOT
        return l;
    }();
    return *l;
}

}  // namespace

const PulseApi& pulseApi() {
    return loaded().api;
}

bool pulseLoaded(const char* prefix) {
    const Loaded& l = loaded();
    if (l.error.empty()) return true;
    logLine(prefix + l.error + "\n");
    return false;
}

}  // namespace ovra::pulse
