#include "platform/portal/DBusLibrary.h"

#include <mutex>

#include "platform/SharedLibrary.h"

namespace ovra::portal {

const DBusLibrary* dbusLibrary(std::string& error) {
    // Tried once: a library that is missing now stays missing for the life of the process.
    static std::once_flag once;
    static DBusLibrary* table = nullptr;
    static std::string* failure = new std::string;
    std::call_once(once, [] {
        auto* t = new DBusLibrary;
        if (!openSharedLibrary(
                "libdbus-1.so.3",
                {symbolSlot("dbus_threads_init_default", t->threadsInitDefault),
                 symbolSlot("dbus_error_init", t->errorInit),
                 symbolSlot("dbus_error_free", t->errorFree),
                 symbolSlot("dbus_connection_open_private", t->openPrivate),
                 symbolSlot("dbus_bus_set_unique_name", t->setUniqueName),
                 symbolSlot("dbus_bus_get_unique_name", t->uniqueName),
                 symbolSlot("dbus_connection_set_exit_on_disconnect", t->setExitOnDisconnect),
                 symbolSlot("dbus_connection_get_is_connected", t->isConnected),
                 symbolSlot("dbus_connection_close", t->close),
                 symbolSlot("dbus_connection_unref", t->unrefConnection),
                 symbolSlot("dbus_connection_send_with_reply_and_block", t->sendAndBlock),
                 symbolSlot("dbus_connection_send", t->send),
                 symbolSlot("dbus_connection_flush", t->flush),
                 symbolSlot("dbus_connection_read_write", t->readWrite),
                 symbolSlot("dbus_connection_pop_message", t->popMessage),
                 symbolSlot("dbus_message_new_method_call", t->newMethodCall),
                 symbolSlot("dbus_message_set_no_reply", t->setNoReply),
                 symbolSlot("dbus_message_unref", t->unrefMessage),
                 symbolSlot("dbus_message_is_signal", t->isSignal),
                 symbolSlot("dbus_message_get_path", t->path),
                 symbolSlot("dbus_message_iter_init", t->iterInit),
                 symbolSlot("dbus_message_iter_init_append", t->iterInitAppend),
                 symbolSlot("dbus_message_iter_append_basic", t->iterAppendBasic),
                 symbolSlot("dbus_message_iter_open_container", t->iterOpenContainer),
                 symbolSlot("dbus_message_iter_close_container", t->iterCloseContainer),
                 symbolSlot("dbus_message_iter_get_arg_type", t->iterArgType),
                 symbolSlot("dbus_message_iter_get_basic", t->iterGetBasic),
                 symbolSlot("dbus_message_iter_next", t->iterNext),
                 symbolSlot("dbus_message_iter_recurse", t->iterRecurse)},
                *failure)) {
            delete t;
            return;
        }
        // The host may use libdbus on other threads too; its locks must be on before any use.
        if (!t->threadsInitDefault()) {
            *failure = "libdbus-1.so.3: cannot set up its thread locks";
            delete t;
            return;
        }
        table = t;
    });
    if (!table) error = *failure;
    return table;
}

}  // namespace ovra::portal
