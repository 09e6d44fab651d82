#include "interface/Locks.h"

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

}  // namespace ovra
