// Poisoning of freed storage, for AddressSanitizer builds.
//
// Cells and class-page items are the project's own allocator, so the
// sanitizer cannot tell a freed cell from a live one by itself. In a
// sanitizer build the memory areas poison every cell and class slot they
// free and unpoison it when they hand it out again, and keep freed storage
// in a small quarantine before reuse (core/areas.cpp): any read of freed
// script data is then reported at once. In other builds all of this
// compiles to nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define KOVA_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVA_POISON 1
#endif
#endif
#ifndef KOVA_POISON
#define KOVA_POISON 0
#endif

#if KOVA_POISON
#include <sanitizer/asan_interface.h>
#endif

namespace kova {

#if KOVA_POISON
// On unless a unit test of the allocator's own bookkeeping turns it off
// (areas_set_poisoning): such a test reads freed cells on purpose.
extern bool g_poisoning;
#endif

inline void poison_storage(const void* address, size_t size) {
#if KOVA_POISON
    if (g_poisoning) __asan_poison_memory_region(address, size);
#else
    (void)address;
    (void)size;
#endif
}

inline void unpoison_storage(const void* address, size_t size) {
#if KOVA_POISON
    __asan_unpoison_memory_region(address, size);
#else
    (void)address;
    (void)size;
#endif
}

// A byte of the allocator's own bookkeeping that may lie in poisoned
// storage (the free mark of a freed cell or slot, read while looking for
// the next one to hand out).
#if KOVA_POISON
__attribute__((no_sanitize_address, noinline)) inline uint8_t read_bookkeeping_byte(const uint8_t* address) {
    return *address;
}
#else
inline uint8_t read_bookkeeping_byte(const uint8_t* address) { return *address; }
#endif

}  // namespace kova
