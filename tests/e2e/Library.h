// libOvraHelper.so loaded with dlopen, as a host loads it.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "OvraHelper.h"

namespace ovra::e2e {

struct Library {
    void* handle = nullptr;
    decltype(&::ov_start_system_audio) startSystemAudio = nullptr;
    decltype(&::ov_stop_system_audio) stopSystemAudio = nullptr;
    decltype(&::ov_start_mic) startMic = nullptr;
    decltype(&::ov_stop_mic) stopMic = nullptr;
    decltype(&::ov_get_last_mic_error) getLastMicError = nullptr;
    decltype(&::ov_capture_screen) captureScreen = nullptr;
    decltype(&::ov_free_buffer) freeBuffer = nullptr;

    // The library stays loaded for the life of the process, as in a host: sessions may still be
    // running at exit.
    static Library& get() {
        static Library* lib = new Library(OVRA_LIBRARY_PATH);
        return *lib;
    }

    explicit Library(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        load(startSystemAudio, "ov_start_system_audio");
        load(stopSystemAudio, "ov_stop_system_audio");
        load(startMic, "ov_start_mic");
        load(stopMic, "ov_stop_mic");
        load(getLastMicError, "ov_get_last_mic_error");
        load(captureScreen, "ov_capture_screen");
        load(freeBuffer, "ov_free_buffer");
    }

  private:
    template <class F>
    void load(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(handle, name));
        if (!f) throw std::runtime_error(std::string("missing export ") + name);
    }
};

}  // namespace ovra::e2e
