#include "interface/Locks.h"

#include "interface/StartStop.h"

namespace ovra {

// Leaked on purpose: a lock must outlive every thread that might still use it at exit.
std::mutex& globalLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::mutex& errorLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::condition_variable& teardownEnded() {
    static auto* ended = new std::condition_variable;
    return *ended;
}

}  // namespace ovra
