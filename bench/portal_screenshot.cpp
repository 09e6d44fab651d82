// The desktop-portal screenshot route against the portal's own round trip, side by side in one
// run, on a headless sway showing a 2880x1800 picture with the real xdg-desktop-portal (wlr
// backend) on a private bus:
//   - whole call: ov_capture_screen with the portal route as the display (request, the portal's
//     capture and PNG file, our PNG read, downscale to 1920, JPEG, Base64, file removal);
//   - round trip: the same Screenshot request over libdbus until its Response, nothing else;
//   - PNG read: our read of the portal's file alone.
// The first calls of the portal and of the process are reported apart. Rounds alternate the two so
// the machine's load falls on both alike.
//   build/bench/portal_screenshot [ROUNDS]      (default 15)
#include <dbus/dbus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "OvraHelper.h"
#include "e2e/PortalDesktop.h"
#include "e2e/SwayDesktop.h"
#include "platform/portal/PngPicture.h"
#include "platform/portal/PortalDisplay.h"
#include "platform/sim/SimPlatform.h"
#include "portal/PortalHost.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// One Screenshot request over a connection kept open, waited on until its Response; false if
// no answer came within 5 s.
bool portalRoundTrip(DBusConnection* c, int serial) {
    const std::string token = "bench" + std::to_string(serial);
    std::string sender = dbus_bus_get_unique_name(c) + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    const std::string handle = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    DBusMessage* m = dbus_message_new_method_call(
        "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
        "org.freedesktop.portal.Screenshot", "Screenshot");
    DBusMessageIter args, dict, entry, variant;
    const char* parent = "";
    const char* keys[] = {"handle_token", "interactive"};
    const char* tokenText = token.c_str();
    dbus_bool_t no = FALSE;
    dbus_message_iter_init_append(m, &args);
    dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &parent);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &dict);
    for (int i = 0; i < 2; ++i) {
        dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &keys[i]);
        dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, i ? "b" : "s", &variant);
        if (i)
            dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &no);
        else
            dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &tokenText);
        dbus_message_iter_close_container(&entry, &variant);
        dbus_message_iter_close_container(&dict, &entry);
    }
    dbus_message_iter_close_container(&args, &dict);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, m, 5000, nullptr);
    dbus_message_unref(m);
    if (!reply) return false;
    dbus_message_unref(reply);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        while (DBusMessage* s = dbus_connection_pop_message(c)) {
            const bool done =
                dbus_message_is_signal(s, "org.freedesktop.portal.Request", "Response") &&
                handle == dbus_message_get_path(s);
            dbus_message_unref(s);
            if (done) return true;
        }
        dbus_connection_read_write(c, 100);
    }
    return false;
}

struct Figures {
    std::vector<double> ms;
    void report(const char* name) {
        std::sort(ms.begin(), ms.end());
        std::printf("%-34s median %7.1f ms   p90 %7.1f ms   min %7.1f ms   (n=%zu)\n", name,
                    ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.front(), ms.size());
    }
};

}  // namespace

int main(int argc, char** argv) {
    using namespace ovra;
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    e2e::TempFolder folder;
    e2e::SwayDesktop sway(2880, 1800);
    e2e::SessionBus bus(folder.path());
    if (!sway.ready() || !bus.ready() ||
        !e2e::startDesktopPortals(bus, folder.path(), sway.waylandSocketPath())) {
        std::fprintf(stderr, "the desktop did not start; see %s\n", folder.path().c_str());
        return 1;
    }
    sway.showPicture({40, 40, 40}, test::quarterBlocks(2880, 1800));
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    unsetenv("TMPDIR");
    installPlatform(std::make_shared<test::PortalPlatform>());

    auto capture = [] {
        uint8_t* buffer = nullptr;
        int32_t length = 0;
        const auto t = Clock::now();
        const int32_t result = ov_capture_screen(&buffer, &length);
        const double ms = msSince(t);
        if (result != 0) return -1.0;
        ov_free_buffer(buffer);
        return ms;
    };
    // The first call's extra cost: the portal's own first capture (taken by the plain client),
    // then our first call on a warm portal (bus connection and match rule made). libdbus and
    // libpng are already mapped here (this program links them), so their opening is not seen.
    DBusConnection* c = dbus_connection_open_private(bus.address().c_str(), nullptr);
    dbus_bus_register(c, nullptr);
    dbus_bus_add_match(c, "type='signal',interface='org.freedesktop.portal.Request'", nullptr);
    auto t = Clock::now();
    portalRoundTrip(c, 1000);
    const double firstTrip = msSince(t);
    const double first = capture();
    std::printf("portal's first round trip in its life: %.1f ms\n", firstTrip);
    std::printf("first ov_capture_screen of the process (portal warm): %.1f ms\n", first);

    Figures whole, trip, png;
    for (int i = 0; i < rounds; ++i) {
        const double w = capture();
        t = Clock::now();
        const bool answered = portalRoundTrip(c, i);
        const double r = msSince(t);
        if (w < 0 || !answered) {
            std::fprintf(stderr, "round %d failed\n", i);
            return 1;
        }
        whole.ms.push_back(w);
        trip.ms.push_back(r);
        // The round trip left the portal's file in place: our read of it alone.
        std::string why;
        t = Clock::now();
        if (!portal::readPngPicture("/tmp/out.png", why)) return 1;
        png.ms.push_back(msSince(t));
    }
    std::filesystem::remove("/tmp/out.png");
    whole.report("whole call (ov_capture_screen)");
    trip.report("portal round trip (libdbus alone)");
    png.report("PNG read of the portal's file");
    dbus_connection_close(c);
    dbus_connection_unref(c);
    installPlatform(nullptr);
    return 0;
}
