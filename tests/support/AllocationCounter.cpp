// Replaces the global allocation functions of the test programs with counting ones that forward
// to the C library's allocator, so that a test can prove a path allocates nothing, or refuse one
// chosen allocation to walk a path's every failure.
#include "support/AllocationCounter.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OVRA_COUNT_MALLOC 0
#else
#define OVRA_COUNT_MALLOC 1
#endif

namespace {
// Plain thread-locals: reading them never allocates.
thread_local bool counting = false;
thread_local long allocations = 0;
thread_local long untilRefusal = -1;  // allocations left before the refused one; -1: none
thread_local bool hasRefused = false;

// Counts the allocation; false when it is the one to refuse.
inline bool noteAllocation() {
    if (counting) ++allocations;
    if (untilRefusal < 0 || untilRefusal-- > 0) return true;
    hasRefused = true;
    errno = ENOMEM;  // as the C library's allocator does (glibc asserts it in places)
    return false;
}
}  // namespace

namespace ovra::test {

AllocationCounter::AllocationCounter() {
    allocations = 0;
    counting = true;
}

AllocationCounter::~AllocationCounter() {
    counting = false;
}

long AllocationCounter::count() const {
    return allocations;
}

bool AllocationCounter::countsMalloc() {
    return OVRA_COUNT_MALLOC;
}

AllocationRefusal::AllocationRefusal(long nth) {
    hasRefused = false;
    untilRefusal = nth;
}

AllocationRefusal::~AllocationRefusal() {
    untilRefusal = -1;
}

bool AllocationRefusal::refused() const {
    return hasRefused;
}

}  // namespace ovra::test

#if OVRA_COUNT_MALLOC
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
    return noteAllocation() ? __libc_malloc(size) : nullptr;
}
void* calloc(size_t count, size_t size) {
    return noteAllocation() ? __libc_calloc(count, size) : nullptr;
}
void* realloc(void* pointer, size_t size) {
    return noteAllocation() ? __libc_realloc(pointer, size) : nullptr;
}
void* memalign(size_t alignment, size_t size) {
    return noteAllocation() ? __libc_memalign(alignment, size) : nullptr;
}
void* aligned_alloc(size_t alignment, size_t size) {
    return noteAllocation() ? __libc_memalign(alignment, size) : nullptr;
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    if (!noteAllocation()) return 12;                                                     // ENOMEM
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
    void* p = __libc_memalign(alignment, size);
    if (!p && size != 0) return 12;  // ENOMEM
    *out = p;
    return 0;
}
}
#endif

// operator new is counted directly: with malloc counted too, each new would count once more,
// so it goes to the C library's allocator under its own name.
void* operator new(std::size_t size) {
    if (!noteAllocation()) throw std::bad_alloc();
#if OVRA_COUNT_MALLOC
    void* p = __libc_malloc(size ? size : 1);
#else
    void* p = std::malloc(size ? size : 1);
#endif
    if (!p) throw std::bad_alloc();
    return p;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* pointer) noexcept {
    std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    std::free(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
    std::free(pointer);
}
