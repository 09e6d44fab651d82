// The library's two locks, each created on its first use and never destroyed.
#pragma once

#include <mutex>

namespace ovra {

// Guards both registry slots; held through a session's construction and start.
std::mutex& globalLock();
// Guards the last microphone error text. Never held together with globalLock.
std::mutex& errorLock();

}  // namespace ovra
