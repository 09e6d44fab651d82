#include "platform/portal/ScreenshotRequest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/portal/PictureFile.h"

namespace ovra::portal {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kRequest = "org.freedesktop.portal.Request";

// The session bus's address. Never libdbus's fallback "autolaunch:", which would start a bus
// daemon from the host's process.
std::optional<std::string> sessionBusAddress() {
    if (const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS"); a && *a) return a;
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    if (!run || !*run) return std::nullopt;
    const std::string path = std::string(run) + "/bus";
    // Characters that an address would need escaped are not expected in a runtime folder.
    if (path.find_first_of(",;=%'\\ ") != std::string::npos) return std::nullopt;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
    return "unix:path=" + path;
}

int millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// Appends {key: variant} to an a{sv} being built.
bool appendOption(const DBusLibrary& d, DBusMessageIter* dict, const char* key, int type,
                  const char* signature, const void* value) {
    DBusMessageIter entry, variant;
    return d.iterOpenContainer(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) &&
           d.iterAppendBasic(&entry, DBUS_TYPE_STRING, &key) &&
           d.iterOpenContainer(&entry, DBUS_TYPE_VARIANT, signature, &variant) &&
           d.iterAppendBasic(&variant, type, value) && d.iterCloseContainer(&entry, &variant) &&
           d.iterCloseContainer(dict, &entry);
}

// The "uri" of a Response signal's results, or nothing with `why` set.
std::optional<std::string> pictureUri(const DBusLibrary& d, DBusMessage* response,
                                      std::string& why) {
    DBusMessageIter args;
    dbus_uint32_t code = 0;
    if (!d.iterInit(response, &args) || d.iterArgType(&args) != DBUS_TYPE_UINT32) {
        why = "unreadable answer from the portal";
        return std::nullopt;
    }
    d.iterGetBasic(&args, &code);
    if (code == 1) {
        why = "the screenshot was cancelled (response 1)";
        return std::nullopt;
    }
    if (code != 0) {
        why = "refused the screenshot (response " + std::to_string(code) + ")";
        return std::nullopt;
    }
    if (d.iterNext(&args) && d.iterArgType(&args) == DBUS_TYPE_ARRAY) {
        DBusMessageIter results;
        d.iterRecurse(&args, &results);
        for (; d.iterArgType(&results) == DBUS_TYPE_DICT_ENTRY; d.iterNext(&results)) {
            DBusMessageIter entry, value;
            const char* key = nullptr;
            d.iterRecurse(&results, &entry);
            if (d.iterArgType(&entry) != DBUS_TYPE_STRING) continue;
            d.iterGetBasic(&entry, &key);
            if (std::strcmp(key, "uri") != 0 || !d.iterNext(&entry) ||
                d.iterArgType(&entry) != DBUS_TYPE_VARIANT)
                continue;
            d.iterRecurse(&entry, &value);
            if (d.iterArgType(&value) != DBUS_TYPE_STRING) continue;
            const char* uri = nullptr;
            d.iterGetBasic(&value, &uri);
            return std::string(uri);
        }
    }
    why = "answered without a picture";
    return std::nullopt;
}

}  // namespace

// A DBusError that frees itself.
class DBusErrorHolder {
  public:
    explicit DBusErrorHolder(const DBusLibrary& d) : d_(d) { d_.errorInit(&e_); }
    ~DBusErrorHolder() { d_.errorFree(&e_); }
    DBusError* get() { return &e_; }
    bool is(const char* name) const { return e_.name && std::strcmp(e_.name, name) == 0; }
    std::string text() const {
        return std::string(e_.name ? e_.name : "unknown error") + ": " +
               (e_.message ? e_.message : "");
    }

  private:
    const DBusLibrary& d_;
    DBusError e_;
};

ScreenshotRequest::~ScreenshotRequest() {
    disconnect();
}

std::optional<std::string> ScreenshotRequest::take(std::chrono::milliseconds bound,
                                                   const timespec& callStart, std::string& why) {
    const auto deadline = Clock::now() + bound;
    const std::string noAnswer = "no answer within " + std::to_string(bound.count()) + " ms";
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A bus that went away shows as a hang-up waiting to be read.
        if (connection_ && (dbus_->readWrite(connection_, 0), !dbus_->isConnected(connection_)))
            disconnect();
        const bool fresh = !connection_;
        if (!connection_ && !connect(deadline, why)) return std::nullopt;
        while (DBusMessage* m = dbus_->popMessage(connection_)) dropStale(m);

        DBusErrorHolder error(*dbus_);
        std::string handle;
        if (ask(deadline, handle, error)) {
            if (auto uri = await(handle, deadline, why)) return uri;
            if (why.empty()) {
                why = noAnswer;
                abandon(handle, callStart);
            }
            return std::nullopt;
        }
        // One that went away during the call: one fresh connection is tried.
        if (!fresh && !dbus_->isConnected(connection_)) {
            disconnect();
            continue;
        }
        if (error.is(DBUS_ERROR_SERVICE_UNKNOWN) || error.is(DBUS_ERROR_NAME_HAS_NO_OWNER))
            why = "no desktop portal on the session bus (" + error.text() + ")";
        else if (error.is(DBUS_ERROR_UNKNOWN_METHOD) || error.is(DBUS_ERROR_UNKNOWN_INTERFACE) ||
                 error.is(DBUS_ERROR_UNKNOWN_OBJECT))
            why = "the desktop portal has no Screenshot interface (" + error.text() + ")";
        else if (millisecondsLeft(deadline) == 0)
            why = noAnswer;
        else
            why = "the request failed (" + error.text() + ")";
        return std::nullopt;
    }
    why = "the session bus closed the connection";
    return std::nullopt;
}

bool ScreenshotRequest::ask(std::chrono::steady_clock::time_point deadline, std::string& handle,
                            DBusErrorHolder& error) {
    // The token names the request object, so the answer can be told apart from a late one.
    const std::string token = "ovra" + std::to_string(getpid()) + "_" + std::to_string(++serial_);
    handle = requestPrefix_ + token;
    DBusMessage* message = dbus_->newMethodCall(kPortal, kPortalPath,
                                                "org.freedesktop.portal.Screenshot", "Screenshot");
    if (!message) return false;
    DBusMessageIter args, options;
    const char* parent = "";
    const char* tokenText = token.c_str();
    const dbus_bool_t interactive = FALSE;
    dbus_->iterInitAppend(message, &args);
    const bool built =
        dbus_->iterAppendBasic(&args, DBUS_TYPE_STRING, &parent) &&
        dbus_->iterOpenContainer(&args, DBUS_TYPE_ARRAY, "{sv}", &options) &&
        appendOption(*dbus_, &options, "handle_token", DBUS_TYPE_STRING, "s", &tokenText) &&
        appendOption(*dbus_, &options, "interactive", DBUS_TYPE_BOOLEAN, "b", &interactive) &&
        dbus_->iterCloseContainer(&args, &options);
    DBusMessage* reply =
        built ? dbus_->sendAndBlock(connection_, message, std::max(1, millisecondsLeft(deadline)),
                                    error.get())
              : nullptr;
    dbus_->unrefMessage(message);
    if (!reply) return false;
    DBusMessageIter replyArgs;
    if (dbus_->iterInit(reply, &replyArgs) &&
        dbus_->iterArgType(&replyArgs) == DBUS_TYPE_OBJECT_PATH) {
        // Portals older than the token scheme chose their own path.
        const char* path = nullptr;
        dbus_->iterGetBasic(&replyArgs, &path);
        handle = path;
    }
    dbus_->unrefMessage(reply);
    return true;
}

std::optional<std::string> ScreenshotRequest::await(const std::string& handle,
                                                    std::chrono::steady_clock::time_point deadline,
                                                    std::string& why) {
    why.clear();
    for (;;) {
        while (DBusMessage* m = dbus_->popMessage(connection_)) {
            const char* path = dbus_->path(m);
            if (dbus_->isSignal(m, kRequest, "Response") && path && handle == path) {
                auto uri = pictureUri(*dbus_, m, why);
                dbus_->unrefMessage(m);
                return uri;
            }
            dropStale(m);
        }
        const int left = millisecondsLeft(deadline);
        if (left == 0) return std::nullopt;
        if (!dbus_->readWrite(connection_, left)) {
            why = "the session bus closed the connection";
            disconnect();
            return std::nullopt;
        }
    }
}

void ScreenshotRequest::abandon(const std::string& handle, const timespec& callStart) {
    // The portal is asked to drop the request, and should its answer still come, the file it
    // names is cleaned up on a later call by the same rule as any other.
    if (DBusMessage* close = dbus_->newMethodCall(kPortal, handle.c_str(), kRequest, "Close")) {
        dbus_->setNoReply(close, TRUE);
        dbus_->send(connection_, close, nullptr);
        dbus_->flush(connection_);
        dbus_->unrefMessage(close);
    }
    abandonedHandle_ = handle;
    abandonedStart_ = callStart;
}

bool ScreenshotRequest::connect(std::chrono::steady_clock::time_point deadline, std::string& why) {
    dbus_ = dbusLibrary(why);
    if (!dbus_) return false;
    const auto address = sessionBusAddress();
    if (!address) {
        why = "no session bus (DBUS_SESSION_BUS_ADDRESS is not set and no $XDG_RUNTIME_DIR/bus)";
        return false;
    }
    DBusErrorHolder error(*dbus_);
    // A private connection: the host's own use of libdbus keeps its shared one to itself.
    connection_ = dbus_->openPrivate(address->c_str(), error.get());
    if (!connection_) {
        why = "cannot reach the session bus (" + error.text() + ")";
        return false;
    }
    // libdbus would otherwise end the whole process when the bus goes away.
    dbus_->setExitOnDisconnect(connection_, FALSE);
    // Hello sent by hand rather than with dbus_bus_register, which waits up to 25 s: the whole
    // call stays within its bound even on a bus that does not answer.
    DBusMessage* hello = dbus_->newMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "Hello");
    DBusMessage* welcome =
        hello ? dbus_->sendAndBlock(connection_, hello, std::max(1, millisecondsLeft(deadline)),
                                    error.get())
              : nullptr;
    if (hello) dbus_->unrefMessage(hello);
    const char* name = nullptr;
    DBusMessageIter helloArgs;
    if (welcome && dbus_->iterInit(welcome, &helloArgs) &&
        dbus_->iterArgType(&helloArgs) == DBUS_TYPE_STRING)
        dbus_->iterGetBasic(&helloArgs, &name);
    if (!name || !dbus_->setUniqueName(connection_, name)) {
        why = "the session bus did not accept the connection (" + error.text() + ")";
        if (welcome) dbus_->unrefMessage(welcome);
        disconnect();
        return false;
    }
    dbus_->unrefMessage(welcome);
    // Request objects live under the caller's unique name, ":1.42" becoming "1_42".
    std::string sender = dbus_->uniqueName(connection_);
    if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
    for (char& c : sender)
        if (c == '.') c = '_';
    const std::string requests = std::string(kPortalPath) + "/request/" + sender;
    requestPrefix_ = requests + "/";

    // One match for every answer this connection will get, so a call costs no extra round trip.
    const std::string rule = "type='signal',interface='" + std::string(kRequest) +
                             "',member='Response',path_namespace='" + requests + "'";
    DBusMessage* add = dbus_->newMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus", "AddMatch");
    const char* ruleText = rule.c_str();
    DBusMessageIter args;
    if (add) dbus_->iterInitAppend(add, &args);
    if (!add || !dbus_->iterAppendBasic(&args, DBUS_TYPE_STRING, &ruleText)) {
        if (add) dbus_->unrefMessage(add);
        why = "out of memory";
        disconnect();
        return false;
    }
    DBusMessage* reply =
        dbus_->sendAndBlock(connection_, add, std::max(1, millisecondsLeft(deadline)), error.get());
    dbus_->unrefMessage(add);
    if (!reply) {
        why = "the session bus refused to deliver the portal's answers (" + error.text() + ")";
        disconnect();
        return false;
    }
    dbus_->unrefMessage(reply);
    return true;
}

void ScreenshotRequest::disconnect() {
    if (!connection_) return;
    dbus_->close(connection_);
    dbus_->unrefConnection(connection_);
    connection_ = nullptr;
    abandonedHandle_.clear();
}

void ScreenshotRequest::dropStale(DBusMessage* message) {
    const char* path = dbus_->path(message);
    if (!abandonedHandle_.empty() && path && abandonedHandle_ == path &&
        dbus_->isSignal(message, kRequest, "Response")) {
        std::string ignored;
        if (const auto uri = pictureUri(*dbus_, message, ignored))
            if (const auto file = pathOfFileUri(*uri)) removeIfMadeForCall(*file, abandonedStart_);
        abandonedHandle_.clear();
    }
    dbus_->unrefMessage(message);
}

}  // namespace ovra::portal
