// Turns a deadlock into a failure with evidence: unless the watchdog is let go within its limit,
// it prints every thread's stack (gdb attached to this process) and ends the process with 1.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace ovra::test {

class Watchdog {
  public:
    Watchdog(std::chrono::seconds limit, std::string what)
        : stderr_(dup(2)), thread_([this, limit, what = std::move(what)] {
              std::unique_lock lock(mutex_);
              if (done_.wait_for(lock, limit, [this] { return released_; })) return;
              // Standard error as it was when the watchdog began, not a test's capture of it.
              if (stderr_ >= 0) dup2(stderr_, 2);
              std::fprintf(stderr, "Watchdog: %s still running after %lld s: deadlock\n",
                           what.c_str(), static_cast<long long>(limit.count()));
              const std::string command = "gdb -batch -nx -p " + std::to_string(getpid()) +
                                          " -ex 'thread apply all bt' 1>&2 2>/dev/null";
              std::fflush(stderr);
              if (std::system(command.c_str()) != 0) std::fputs("Watchdog: gdb failed\n", stderr);
              _exit(1);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        done_.notify_all();
        thread_.join();
        if (stderr_ >= 0) close(stderr_);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool released_ = false;
    const int stderr_;
    std::thread thread_;  // last: starts once the rest is built
};

}  // namespace ovra::test
