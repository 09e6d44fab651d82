// The callbacks a start is given, checked before anything else happens.
#include <cxxabi.h>

#include <string>

#include "base/Log.h"
#include "interface/StartStop.h"

namespace ovra {

bool callbacksUsable(const char* function, const char* prefix, ov_data_callback onData,
                     ov_status_callback onStatus, void* statusUser) {
    try {
        if (!onStatus) {
            logLine(std::string("Error: ") + function + " called without a status callback\n");
            return false;
        }
        if (!onData) logLine(std::string(prefix) + "Failed to start capture: no data callback\n");
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    if (onData) return true;
    onStatus(-3, statusUser);
    return false;
}

}  // namespace ovra
