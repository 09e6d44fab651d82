// A private session bus and the desktop portal's services, each started and stopped by its PID.
// The bus has no service folders, so nothing is started on demand behind the test's back.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "SwayDesktop.h"

namespace ovra::e2e {

class SessionBus {
  public:
    explicit SessionBus(const std::string& folder) : socket_(folder + "/bus") {
        const std::string config = folder + "/bus.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << socket_
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        daemon_ = ChildProcess({"dbus-daemon", "--config-file=" + config, "--nofork"}, {},
                               folder + "/bus.log");
        ready_ = waitUntil([&] {
            return std::filesystem::exists(socket_) && nameHasOwner("org.freedesktop.DBus");
        });
    }
    ~SessionBus() {
        for (auto s = services_.rbegin(); s != services_.rend(); ++s) s->stop();
        daemon_.stop();
    }

    bool ready() const { return ready_; }
    std::string address() const { return "unix:path=" + socket_; }
    bool nameHasOwner(const std::string& name) const {
        std::string reply;
        return runToEnd({"dbus-send", "--bus=" + address(), "--print-reply",
                         "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                        {}, socket_ + ".ask", &reply) == 0 &&
               reply.find("boolean true") != std::string::npos;
    }

    // Starts `argv` with this bus in its environment and waits until it owns `name` (or, with
    // `name` empty, until `readyFile` exists).
    bool startService(const std::vector<std::string>& argv, std::vector<std::string> env,
                      const std::string& name, const std::string& log,
                      const std::string& readyFile = "") {
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address());
        services_.emplace_back(argv, env, log);
        auto& service = services_.back();
        return waitUntil([&] {
            if (!service.running()) return false;
            return name.empty() ? std::filesystem::exists(readyFile) : nameHasOwner(name);
        });
    }

  private:
    std::string socket_;
    ChildProcess daemon_;
    std::vector<ChildProcess> services_;
    bool ready_ = false;
};

// The real portal for a wlroots desktop: PipeWire (which xdg-desktop-portal-wlr needs to start
// at all), the wlr backend for Screenshot, the gtk backend for Access (without which the
// Screenshot interface is not offered), and xdg-desktop-portal itself. They run as the test's own
// user, as the portal refuses callers of another user.
inline bool startDesktopPortals(SessionBus& bus, const std::string& folder,
                                const std::string& waylandDisplay) {
    const std::string run = folder + "/portal-run";
    mkdir(run.c_str(), 0700);
    const std::vector<std::string> env{
        "XDG_RUNTIME_DIR=" + run,   "WAYLAND_DISPLAY=" + waylandDisplay,
        "XDG_CURRENT_DESKTOP=sway", "GDK_BACKEND=wayland",
        "NO_AT_BRIDGE=1",           "GTK_A11Y=none"};
    return bus.startService({"pipewire"}, env, "", folder + "/pipewire.log", run + "/pipewire-0") &&
           bus.startService({"/usr/libexec/xdg-desktop-portal-wlr"}, env,
                            "org.freedesktop.impl.portal.desktop.wlr", folder + "/wlr.log") &&
           bus.startService({"/usr/libexec/xdg-desktop-portal-gtk"}, env,
                            "org.freedesktop.impl.portal.desktop.gtk", folder + "/gtk.log") &&
           bus.startService({"/usr/libexec/xdg-desktop-portal"}, env,
                            "org.freedesktop.portal.Desktop", folder + "/portal.log");
}

}  // namespace ovra::e2e
