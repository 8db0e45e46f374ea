// Interlocked operations (sequentially consistent), as the kernel and user
// mode both have them: Windows gives user mode the same forms through
// windows.h. Inline, as the compiler's intrinsics are on Windows: drivers use
// them on every packet, and a call into the layer would cost more than the
// operation.
#pragma once

#include "nt_types.h"

inline LONG InterlockedIncrement(volatile LONG* t) { return __atomic_add_fetch(t, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* t) { return __atomic_sub_fetch(t, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* t, LONG v) { return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(volatile LONG* t, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(t, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG InterlockedExchangeAdd(volatile LONG* t, LONG v) { return __atomic_fetch_add(t, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(volatile LONG* t, LONG v) { return __atomic_fetch_or(t, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(volatile LONG* t, LONG v) { return __atomic_fetch_and(t, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedXor(volatile LONG* t, LONG v) { return __atomic_fetch_xor(t, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedIncrement64(volatile LONG64* t) { return __atomic_add_fetch(t, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedCompareExchange64(volatile LONG64* t, LONG64 exchange, LONG64 comparand) {
    __atomic_compare_exchange_n(t, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* t, PVOID v) {
    return __atomic_exchange_n(t, v, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* t, PVOID exchange, PVOID comparand) {
    __atomic_compare_exchange_n(t, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
