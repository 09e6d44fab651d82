#include "platform/Uuid.h"

#include <uuid/uuid.h>

#include <algorithm>

namespace ovra {

Uuid Uuid::generate() {
    Uuid u;
    uuid_generate_random(u.bytes_.data());
    return u;
}

std::string Uuid::text() const {
    char buf[37];
    uuid_unparse_upper(bytes_.data(), buf);
    return std::string(buf, 36);
}

bool Uuid::isNil() const {
    return std::all_of(bytes_.begin(), bytes_.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace ovra
