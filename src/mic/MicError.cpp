#include "mic/MicError.h"

namespace ovra {

std::string MicError::description() const {
    switch (kind) {
        case Case::converterFailed:
            return "Failed to create audio converter (" + text + ")";
        case Case::engineStartFailed:
            return "AVAudioEngine failed to start: " + text;
        case Case::noInputDevice:
            return "No input device available (AVAudioEngine returned 0Hz/0ch)";
    }
    return "Unknown microphone error";
}

}  // namespace ovra
