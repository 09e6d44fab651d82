// Counts the heap allocations that the calling thread makes while a counter is alive: every
// operator new, and in builds without a sanitizer also every malloc-family call (C libraries
// such as libsoxr allocate with malloc). Sanitizers own malloc, so there only operator new is
// counted.
#pragma once

namespace ovra::test {

class AllocationCounter {
  public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    long count() const;
    static bool countsMalloc();
};

// While alive, the calling thread's allocation number `nth` (0 for the next one, counted as
// AllocationCounter counts) is refused: operator new throws std::bad_alloc, malloc returns null.
class AllocationRefusal {
  public:
    explicit AllocationRefusal(long nth);
    ~AllocationRefusal();
    AllocationRefusal(const AllocationRefusal&) = delete;
    AllocationRefusal& operator=(const AllocationRefusal&) = delete;

    bool refused() const;
};

}  // namespace ovra::test
