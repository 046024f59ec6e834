#include "platform/ComMemory.h"

#include <cstdlib>

extern "C" {

void* CoTaskMemAlloc(std::size_t cb) {
    // A zero-byte request still yields a pointer that CoTaskMemFree accepts.
    return std::malloc(cb == 0 ? 1 : cb);
}

void CoTaskMemFree(void* pv) {
    std::free(pv);
}
}
