// Follows the library's microphone log lines, as a host that keeps the library's standard error
// would, to tell the user when the capture moved to another input device or lost it. The lines
// themselves still reach the terminal unchanged.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ovra::tool {

class MicDeviceWatch {
  public:
    // Puts a pipe in place of standard error; the lines go on to the original one.
    MicDeviceWatch() {
        int fds[2];
        if (pipe(fds) != 0) return;
        original_ = dup(STDERR_FILENO);
        std::fflush(stderr);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        reader_ = std::thread([this, in = fds[0]] { read(in); });
    }
    // Puts standard error back; the lines written so far are all forwarded first.
    ~MicDeviceWatch() {
        if (original_ < 0) return;
        std::fflush(stderr);
        dup2(original_, STDERR_FILENO);  // closes the pipe's last write end: the reader ends
        reader_.join();
        close(original_);
    }
    MicDeviceWatch(const MicDeviceWatch&) = delete;
    MicDeviceWatch& operator=(const MicDeviceWatch&) = delete;

    // Device events seen since the last call, as lines for the user.
    std::vector<std::string> takeEvents() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }
    // Writes to the terminal's standard error, past the pipe.
    void print(const std::string& text) {
        if (original_ >= 0 && ::write(original_, text.data(), text.size()) < 0) return;
    }

  private:
    void read(int in) {
        std::string pending;
        char buffer[4096];
        // On a terminal each line first clears the meter line it would otherwise run into.
        const std::string clear = isatty(original_) ? "\r\033[K" : "";
        for (ssize_t n; (n = ::read(in, buffer, sizeof buffer)) > 0;) {
            pending.append(buffer, size_t(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, nl);
                print(clear + line + "\n");
                onLine(line);
                pending.erase(0, nl + 1);
            }
        }
        if (!pending.empty()) print(pending);
        close(in);
    }
    void onLine(const std::string& line) {
        static const std::string format = "[mic] AVAudioEngine input format: ";
        if (line.rfind(format, 0) == 0) lastFormat_ = line.substr(format.size());
        std::string event;
        if (line == "[mic] Restarted on new device")
            event = "microphone changed: now recording from an input at " + lastFormat_;
        else if (line.rfind("[mic] Failed to restart: ", 0) == 0)
            event = "microphone lost: the capture stays silent until it is stopped";
        if (event.empty()) return;
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }

    int original_ = -1;
    std::thread reader_;
    std::string lastFormat_;
    std::mutex mutex_;
    std::vector<std::string> events_;
};

}  // namespace ovra::tool
