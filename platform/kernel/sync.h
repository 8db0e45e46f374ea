// Spin locks, dispatcher objects (events), waits, delays and interlocked
// operations. Waits and delays need PASSIVE_LEVEL (a zero-timeout poll is
// allowed up to DISPATCH_LEVEL); a timed wait on a virtual clock advances the
// clock itself until the object is signalled or the time is up.
#pragma once

#include "irql.h"
#include "nt_types.h"

// ---- spin locks -----------------------------------------------------------

// 0 = free, else a token of the owning thread (lets the layer catch a
// recursive acquisition, which deadlocks on Windows).
using KSPIN_LOCK = ULONG_PTR;

void KeInitializeSpinLock(KSPIN_LOCK* lock);
void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql);
void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL oldIrql);

namespace platform {
// How many spin locks the calling thread holds (the framework checks that a
// driver callback returns holding none of its own).
unsigned spin_locks_held();
}  // namespace platform

// ---- dispatcher objects ---------------------------------------------------

enum EVENT_TYPE : UCHAR { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON : UCHAR { Executive = 0, UserRequest = 6 };

struct DISPATCHER_HEADER {
    UCHAR Type;             // EVENT_TYPE for events
    UCHAR Reserved[3];
    volatile LONG SignalState;
    PVOID Reserved2[2];
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
static_assert(sizeof(KEVENT) == 24);

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(KEVENT* event, LONG increment, BOOLEAN wait);
LONG KeResetEvent(KEVENT* event);
LONG KeReadStateEvent(KEVENT* event);

// Object is a KEVENT. Timeout: null waits forever, negative is relative
// (100 ns units), zero polls, positive is an absolute interrupt time.
// Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode, BOOLEAN alertable,
                               LARGE_INTEGER* timeout);

// Interval negative: relative, 100 ns units. Needs PASSIVE_LEVEL.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, LARGE_INTEGER* interval);

// ---- time -----------------------------------------------------------------

ULONGLONG KeQueryInterruptTime();
// Counter at 10 MHz (the interrupt-time base); frequency written when asked.
LARGE_INTEGER KeQueryPerformanceCounter(LARGE_INTEGER* frequency);

// ---- interlocked operations (sequentially consistent) --------------------
// Inline, as the compiler's intrinsics are on Windows: drivers use them on
// every packet, and a call into the layer would cost more than the operation.

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
