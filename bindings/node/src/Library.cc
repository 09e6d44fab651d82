#include "Library.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace ovra::node {
namespace {

std::atomic<const Library*> opened{nullptr};

template <class F>
bool find(void* handle, F& f, const char* name) {
    f = reinterpret_cast<F>(dlsym(handle, name));
    return f != nullptr;
}

}  // namespace

const Library* openLibrary(const std::vector<std::string>& paths,
                           std::vector<std::string>& reasons) {
    static std::mutex* mutex = new std::mutex;
    std::lock_guard lock(*mutex);
    if (const Library* lib = opened.load()) return lib;
    for (const auto& path : paths) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            reasons.push_back(why ? why : "cannot be opened");
            continue;
        }
        auto* lib = new Library;  // kept for the life of the process, like the mapping
        if (find(handle, lib->startSystemAudio, "ov_start_system_audio") &&
            find(handle, lib->stopSystemAudio, "ov_stop_system_audio") &&
            find(handle, lib->startMic, "ov_start_mic") &&
            find(handle, lib->stopMic, "ov_stop_mic") &&
            find(handle, lib->getLastMicError, "ov_get_last_mic_error") &&
            find(handle, lib->captureScreen, "ov_capture_screen") &&
            find(handle, lib->freeBuffer, "ov_free_buffer")) {
            opened = lib;
            return lib;
        }
        delete lib;
        dlclose(handle);  // nothing of it ran
        reasons.push_back(path + ": lacks the OvraHelper functions");
    }
    return nullptr;
}

const Library* library() {
    return opened.load();
}

}  // namespace ovra::node
