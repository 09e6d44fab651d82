// libOvraHelper loaded with dlopen, as a host application loads it: only the public header's
// functions, looked up by name. ovra-capture and the end-to-end tests share it.
#pragma once

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "OvraHelper.h"

namespace ovra {

struct Library {
    void* handle = nullptr;  // for dlclose, by a host that unloads it
    decltype(&::ov_start_system_audio) startSystemAudio = nullptr;
    decltype(&::ov_stop_system_audio) stopSystemAudio = nullptr;
    decltype(&::ov_start_mic) startMic = nullptr;
    decltype(&::ov_stop_mic) stopMic = nullptr;
    decltype(&::ov_get_last_mic_error) getLastMicError = nullptr;
    decltype(&::ov_capture_screen) captureScreen = nullptr;
    decltype(&::ov_free_buffer) freeBuffer = nullptr;

    // `path` empty: the library next to this program, else the one the dynamic loader finds.
    // Throws std::runtime_error with the loader's message when it cannot be loaded.
    explicit Library(const std::string& path = "") {
        for (const auto& candidate : path.empty() ? defaultCandidates() : std::vector{path}) {
            handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle) break;
            error_ = dlerror();
        }
        if (!handle) throw std::runtime_error("cannot load libOvraHelper: " + error_);
        load(startSystemAudio, "ov_start_system_audio");
        load(stopSystemAudio, "ov_stop_system_audio");
        load(startMic, "ov_start_mic");
        load(stopMic, "ov_stop_mic");
        load(getLastMicError, "ov_get_last_mic_error");
        load(captureScreen, "ov_capture_screen");
        load(freeBuffer, "ov_free_buffer");
    }
    // Stays loaded until the process ends, as in a host: a capture may still be running.
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

#ifdef OVRA_LIBRARY_PATH
    // The tests' one copy, the library of this build, loaded for the life of the process.
    static Library& get() {
        static Library* lib = new Library(OVRA_LIBRARY_PATH);
        return *lib;
    }
#endif

  private:
    static std::vector<std::string> defaultCandidates() {
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::vector<std::string> out;
        if (n > 0) {
            std::string dir(self, size_t(n));
            dir.resize(dir.rfind('/') + 1);
            out.push_back(dir + "libOvraHelper.so.1");
        }
        out.push_back("libOvraHelper.so.1");
        return out;
    }

    template <class F>
    void load(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(handle, name));
        if (!f) throw std::runtime_error(std::string("libOvraHelper lacks ") + name);
    }

    std::string error_;
};

}  // namespace ovra
