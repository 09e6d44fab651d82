// libdbus-1, opened on first use. libdbus is the bus's own reference client: plain C, present on
// every desktop that runs a session bus, and usable without a main loop, so a blocking
// request-and-wait from the caller's thread needs nothing else. sd-bus would tie the route to
// libsystemd, and GDBus would bring GLib's threads and type system into the host's process.
#pragma once

#include <dbus/dbus.h>

#include <string>

namespace ovra::portal {

struct DBusLibrary {
    decltype(&dbus_threads_init_default) threadsInitDefault = nullptr;
    decltype(&dbus_error_init) errorInit = nullptr;
    decltype(&dbus_error_free) errorFree = nullptr;
    decltype(&dbus_connection_open_private) openPrivate = nullptr;
    decltype(&dbus_bus_set_unique_name) setUniqueName = nullptr;
    decltype(&dbus_bus_get_unique_name) uniqueName = nullptr;
    decltype(&dbus_connection_set_exit_on_disconnect) setExitOnDisconnect = nullptr;
    decltype(&dbus_connection_get_is_connected) isConnected = nullptr;
    decltype(&dbus_connection_close) close = nullptr;
    decltype(&dbus_connection_unref) unrefConnection = nullptr;
    decltype(&dbus_connection_send_with_reply_and_block) sendAndBlock = nullptr;
    decltype(&dbus_connection_send) send = nullptr;
    decltype(&dbus_connection_flush) flush = nullptr;
    decltype(&dbus_connection_read_write) readWrite = nullptr;
    decltype(&dbus_connection_pop_message) popMessage = nullptr;
    decltype(&dbus_message_new_method_call) newMethodCall = nullptr;
    decltype(&dbus_message_set_no_reply) setNoReply = nullptr;
    decltype(&dbus_message_unref) unrefMessage = nullptr;
    decltype(&dbus_message_is_signal) isSignal = nullptr;
    decltype(&dbus_message_get_path) path = nullptr;
    decltype(&dbus_message_iter_init) iterInit = nullptr;
    decltype(&dbus_message_iter_init_append) iterInitAppend = nullptr;
    decltype(&dbus_message_iter_append_basic) iterAppendBasic = nullptr;
    decltype(&dbus_message_iter_open_container) iterOpenContainer = nullptr;
    decltype(&dbus_message_iter_close_container) iterCloseContainer = nullptr;
    decltype(&dbus_message_iter_get_arg_type) iterArgType = nullptr;
    decltype(&dbus_message_iter_get_basic) iterGetBasic = nullptr;
    decltype(&dbus_message_iter_next) iterNext = nullptr;
    decltype(&dbus_message_iter_recurse) iterRecurse = nullptr;
};

// The table, opened once per process; null with `error` naming the library if it cannot be.
const DBusLibrary* dbusLibrary(std::string& error);

}  // namespace ovra::portal
