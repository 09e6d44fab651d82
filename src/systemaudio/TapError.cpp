#include "systemaudio/TapError.h"

namespace ovra {

std::string TapError::description() const {
    const std::string s = std::to_string(status);
    switch (kind) {
        case Case::tapCreationFailed:
            return "Failed to create process tap (OSStatus " + s + ")";
        case Case::aggregateCreationFailed:
            return "Failed to create aggregate device (OSStatus " + s + ")";
        case Case::formatReadFailed:
            return "Failed to read format (OSStatus " + s + ")";
        case Case::ioProcFailed:
            return "Failed to create IO proc (OSStatus " + s + ")";
        case Case::startFailed:
            return "Failed to start audio device (OSStatus " + s + ")";
        case Case::invalidFormat:
            return "Invalid audio format from tap";
        case Case::converterFailed:
            return "Failed to create audio converter";
    }
    return "Unknown tap error";
}

}  // namespace ovra
