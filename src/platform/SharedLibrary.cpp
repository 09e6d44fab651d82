#include "platform/SharedLibrary.h"

#include <dlfcn.h>

namespace ovra {

void* openSharedLibrary(const char* soname, std::initializer_list<SymbolSlot> symbols,
                        std::string& error) {
    void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = why ? why : std::string(soname) + ": cannot be opened";
        return nullptr;
    }
    for (const SymbolSlot& slot : symbols) {
        dlerror();
        void* address = dlsym(handle, slot.name);
        if (!address) {
            const char* why = dlerror();
            error = std::string(soname) + ": " + (why ? why : std::string("no symbol ") + slot.name);
            // Left open on purpose: closing a client library is never safe (see the header).
            return nullptr;
        }
        *slot.address = address;
    }
    return handle;
}

}  // namespace ovra
