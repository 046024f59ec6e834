// The test program's replacement of operator new: counts allocations, and makes a chosen one fail
// as if memory had run out. Sanitizer builds keep their own allocator, so there both do nothing.
#ifndef ZENTRIX_TESTS_SUPPORT_ALLOCATIONS_H
#define ZENTRIX_TESTS_SUPPORT_ALLOCATIONS_H

#include <cstddef>

namespace zentrix::testing {

// Whether this build replaces operator new, so that the functions below take effect.
bool AllocationsAreHooked();

// Counts the allocations of every thread while on.
void CountAllocations(bool on);
std::size_t CountedAllocations();
void ResetCountedAllocations();

// Makes the n-th allocation of the calling thread from now on (1: the next) throw
// std::bad_alloc, once; 0 disarms.
void FailAllocationOnThisThread(std::size_t n);
// Whether the armed failure has happened since it was armed.
bool AllocationFailedOnThisThread();

// Arms a failure for its lifetime and disarms it when it goes.
class FailingAllocation {
public:
    explicit FailingAllocation(std::size_t n) { FailAllocationOnThisThread(n); }
    ~FailingAllocation() { FailAllocationOnThisThread(0); }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;
};

}  // namespace zentrix::testing

#endif
