// Ordered reads and writes of words that threads share without a lock, in the
// kernel's terms. An acquire read that sees a release write also sees every
// write made before it; a no-fence access is only whole (never torn), for a
// word whose ordering comes from a lock or from another acquire and release.
// The pointer forms keep the pointer's type; a word of another width is read
// through the form of its own width.
#pragma once

#include <type_traits>

#include "nt_types.h"

inline LONG ReadAcquire(const volatile LONG* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline LONG ReadNoFence(const volatile LONG* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline void WriteRelease(volatile LONG* destination, LONG value) {
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
inline void WriteNoFence(volatile LONG* destination, LONG value) {
    __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}

inline ULONG ReadULongAcquire(const volatile ULONG* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline ULONG ReadULongNoFence(const volatile ULONG* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline void WriteULongRelease(volatile ULONG* destination, ULONG value) {
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
inline void WriteULongNoFence(volatile ULONG* destination, ULONG value) {
    __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}

// A 64-bit word (a position or a time another side publishes).
inline ULONG64 ReadULong64Acquire(const volatile ULONG64* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline void WriteULong64Release(volatile ULONG64* destination, ULONG64 value) {
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}

template <typename T>
T* ReadPointerAcquire(T* const volatile* source) {
    return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
template <typename T>
void WritePointerRelease(T* volatile* destination, std::type_identity_t<T>* value) {
    __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}
