// Heap allocation counting for the benchmark programs. Included by exactly one source of
// a program: its malloc family and operators new/delete take the place of the C and C++
// libraries' for every caller in the process (libpcap included), count each allocation
// in g_allocations and hand on to the C library's allocator.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<uint64_t> g_allocations{0};
}

#define EC_EXPORT __attribute__((visibility("default")))

extern "C" EC_EXPORT void* malloc(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" EC_EXPORT void* calloc(size_t count, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" EC_EXPORT void* realloc(void* pointer, size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
extern "C" EC_EXPORT void free(void* pointer) { __libc_free(pointer); }

namespace {
void* CountedNew(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = __libc_malloc(size != 0 ? size : 1);
    if (p == nullptr) abort();  // the benchmark has no use for a recovery path
    return p;
}
}  // namespace

EC_EXPORT void* operator new(size_t size) { return CountedNew(size); }
EC_EXPORT void* operator new[](size_t size) { return CountedNew(size); }
EC_EXPORT void operator delete(void* p) noexcept { __libc_free(p); }
EC_EXPORT void operator delete[](void* p) noexcept { __libc_free(p); }
EC_EXPORT void operator delete(void* p, size_t) noexcept { __libc_free(p); }
EC_EXPORT void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
