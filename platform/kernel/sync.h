// Spin locks, dispatcher objects (events), waits and delays, with the
// interlocked operations (interlocked.h, which user mode shares). Waits and
// delays need PASSIVE_LEVEL (a zero-timeout poll is allowed up to
// DISPATCH_LEVEL); a timed wait on a virtual clock advances the clock itself
// until the object is signalled or the time is up.
#pragma once

#include "interlocked.h"
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
