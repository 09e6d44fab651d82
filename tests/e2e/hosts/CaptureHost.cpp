// A host of its own for the tests of how a host ends: runs both captures until each delivered,
// then either ("unload") stops both, unloads the library and lives on for a few seconds, or
// ("exit") calls exit(0) with both running. Any crash shows as a missing exit code 0.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Library.h"

namespace {

std::atomic<int> systemChunks{0}, micChunks{0}, started{0};

void onData(const uint8_t*, int32_t, void* user) {
    ++*static_cast<std::atomic<int>*>(user);
}
void onStatus(int32_t status, void*) {
    if (status == 0) ++started;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // the test reads the log while this runs
    ovra::Library lib(OVRA_LIBRARY_PATH);
    lib.startSystemAudio(onData, &systemChunks, onStatus, nullptr);
    lib.startMic(onData, &micChunks, onStatus, nullptr);
    for (int i = 0; i < 1000 && (systemChunks == 0 || micChunks == 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (started != 2 || systemChunks == 0 || micChunks == 0) {
        std::printf("no capture\n");
        return 3;
    }
    std::printf("capturing\n");
    if (std::strcmp(argv[1], "exit") == 0) std::exit(0);

    lib.stopSystemAudio();
    lib.stopMic();
    dlclose(lib.handle);
    std::printf("unloaded\n");
    // Whatever the sound server does now must not reach this process.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    std::printf("done\n");
    return 0;
}
