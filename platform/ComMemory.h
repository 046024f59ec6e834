// The task allocator for arrays that the plug-in hands to the host. It is the C heap, so a host
// may release them with CoTaskMemFree or free().
#ifndef ZENTRIX_PLATFORM_COMMEMORY_H
#define ZENTRIX_PLATFORM_COMMEMORY_H

#include <cstddef>

#define ZENTRIX_EXPORT __attribute__((visibility("default")))

extern "C" {
ZENTRIX_EXPORT void* CoTaskMemAlloc(std::size_t cb);
ZENTRIX_EXPORT void CoTaskMemFree(void* pv);
}

#endif
