// libOvraHelper opened with dlopen, so that the addon loads even where the library is missing and
// the host gets a clear error naming where it was looked for instead of a loader failure.
#pragma once

#include <string>
#include <vector>

#include "OvraHelper.h"

namespace ovra::node {

struct Library {
    decltype(&::ov_start_system_audio) startSystemAudio = nullptr;
    decltype(&::ov_stop_system_audio) stopSystemAudio = nullptr;
    decltype(&::ov_start_mic) startMic = nullptr;
    decltype(&::ov_stop_mic) stopMic = nullptr;
    decltype(&::ov_get_last_mic_error) getLastMicError = nullptr;
    decltype(&::ov_capture_screen) captureScreen = nullptr;
    decltype(&::ov_free_buffer) freeBuffer = nullptr;
};

// Opens the first of `paths` that loads and has the seven functions. On failure returns nullptr
// and stores one reason per path in `reasons`. The library is never closed: a capture of another
// addon instance (a worker thread) may still run, and it must not be unmapped with one running.
const Library* openLibrary(const std::vector<std::string>& paths,
                           std::vector<std::string>& reasons);
// The library opened by openLibrary, or nullptr.
const Library* library();

}  // namespace ovra::node
