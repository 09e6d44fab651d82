// One private connection to the session bus and the portal's Screenshot request over it.
#pragma once

#include <time.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/portal/DBusLibrary.h"

namespace ovra::portal {

class DBusErrorHolder;

class ScreenshotRequest {
  public:
    ScreenshotRequest() = default;
    ~ScreenshotRequest();
    ScreenshotRequest(const ScreenshotRequest&) = delete;
    ScreenshotRequest& operator=(const ScreenshotRequest&) = delete;

    // Asks for a non-interactive screenshot and waits at most `bound` for the portal's answer;
    // `callStart` (pictureClockNow) judges a late answer's file.
    // The URI of the picture, or nothing with `why` set to one line. Not reentrant: the caller
    // serialises calls. The connection is kept between calls and opened again once it broke.
    std::optional<std::string> take(std::chrono::milliseconds bound, const timespec& callStart,
                                    std::string& why);

  private:
    bool connect(std::chrono::steady_clock::time_point deadline, std::string& why);
    void disconnect();
    // Handles what came in on the connection that is not this call's answer: a late answer to
    // a request given up on still gets its file cleaned up.
    void dropStale(DBusMessage* message);
    // Sends the request; its object path in `handle`, or false with `error` set.
    bool ask(std::chrono::steady_clock::time_point deadline, std::string& handle,
             DBusErrorHolder& error);
    // This request's answer: the picture's URI; nothing with `why` set, or with `why` empty when
    // the deadline passed.
    std::optional<std::string> await(const std::string& handle,
                                     std::chrono::steady_clock::time_point deadline,
                                     std::string& why);
    void abandon(const std::string& handle, const timespec& callStart);

    const DBusLibrary* dbus_ = nullptr;
    DBusConnection* connection_ = nullptr;
    std::string requestPrefix_;  // the request object paths of this connection, with a '/'
    unsigned long serial_ = 0;
    // The last request given up on while the portal still worked on it.
    std::string abandonedHandle_;
    timespec abandonedStart_{};
};

}  // namespace ovra::portal
