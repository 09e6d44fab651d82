// The servers' client libraries (libpulse, libxcb and its extensions, libwayland-client) are
// opened on first use instead of being linked: a host pays at load time only for the library
// itself, and a machine that lacks one of them can still load it and use the other captures.
//
// A library opened here is never closed. Client libraries keep threads and callbacks of their
// own (libpulse's main loop, for one) that may outlive any session, so unmapping them would be
// unsafe; the library itself is linked with -z nodelete for the same reason.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

namespace ovra {

// A symbol to resolve: its name and where to store its address.
struct SymbolSlot {
    const char* name;
    void** address;
};

// Opens `soname` (RTLD_NOW | RTLD_LOCAL) and resolves every symbol of `symbols`. Returns the
// handle, or nullptr with `error` set to a one-line reason naming the library (dlerror's text).
// Safe to call from several threads; callers cache the result themselves.
void* openSharedLibrary(const char* soname, std::initializer_list<SymbolSlot> symbols,
                        std::string& error);

// Typed form of a slot: `symbolSlot("pa_context_new", table.contextNew)`.
template <class T>
SymbolSlot symbolSlot(const char* name, T*& address) {
    return SymbolSlot{name, reinterpret_cast<void**>(&address)};
}

}  // namespace ovra
