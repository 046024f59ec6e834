#include "support/Allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_countAllocations{false};
std::atomic<std::size_t> g_allocations{0};
// Allocations of this thread to go before the one that fails; 0 when none is armed.
thread_local std::size_t t_allocationsBeforeFailure = 0;
thread_local bool t_failed = false;

}  // namespace

// Sanitizers replace the allocator themselves; the hooks are left to the plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTRIX_HOOK_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZENTRIX_HOOK_ALLOCATIONS 0
#endif
#endif
#ifndef ZENTRIX_HOOK_ALLOCATIONS
#define ZENTRIX_HOOK_ALLOCATIONS 1
#endif

#if ZENTRIX_HOOK_ALLOCATIONS
// GCC takes the malloc and free inside the replacements for a mismatched pair.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (g_countAllocations.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (t_allocationsBeforeFailure != 0 && --t_allocationsBeforeFailure == 0) {
        t_failed = true;
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t /*size*/) noexcept {
    std::free(memory);
}
#pragma GCC diagnostic pop
#endif

namespace zentrix::testing {

bool AllocationsAreHooked() {
    return ZENTRIX_HOOK_ALLOCATIONS != 0;
}

void CountAllocations(bool on) {
    g_countAllocations.store(on);
}

std::size_t CountedAllocations() {
    return g_allocations.load();
}

void ResetCountedAllocations() {
    g_allocations.store(0);
}

void FailAllocationOnThisThread(std::size_t n) {
    t_allocationsBeforeFailure = n;
    t_failed = false;
}

bool AllocationFailedOnThisThread() {
    return t_failed;
}

}  // namespace zentrix::testing
