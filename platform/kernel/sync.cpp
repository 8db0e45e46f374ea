#include "sync.h"

#include <condition_variable>
#include <mutex>
#include <sched.h>
#include <string>
#include <thread>

#include "event_object.h"
#include "ntstatus.h"
#include "kernel.h"
#include "rules.h"

namespace {

thread_local char t_threadToken;  // its address identifies the thread
thread_local unsigned t_spinLocksHeld = 0;

ULONG_PTR ThreadToken() { return reinterpret_cast<ULONG_PTR>(&t_threadToken); }

std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherCv;

void SpinAcquire(KSPIN_LOCK* lock) {
    ULONG_PTR me = ThreadToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
        platform::rule_violation("spin lock", "recursive acquisition of a spin lock (deadlock)");
        return;
    }
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (++spins % 64 == 0) sched_yield();
    }
    ++t_spinLocksHeld;
}

void SpinRelease(KSPIN_LOCK* lock) {
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != ThreadToken()) {
        platform::rule_violation("spin lock", "release of a spin lock this thread does not hold");
        return;
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    --t_spinLocksHeld;
}

// Caller holds g_dispatcherLock. True when the wait is satisfied (and an
// auto-reset event consumed).
bool TrySatisfy(KEVENT* event) {
    if (event->Header.SignalState == 0) return false;
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return true;
}

}  // namespace

unsigned platform::spin_locks_held() { return t_spinLocksHeld; }

void KeInitializeSpinLock(KSPIN_LOCK* lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

void KeAcquireSpinLock(KSPIN_LOCK* lock, KIRQL* oldIrql) {
    platform::require_dispatch_or_below("KeAcquireSpinLock");
    KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
    SpinAcquire(lock);
}

void KeReleaseSpinLock(KSPIN_LOCK* lock, KIRQL oldIrql) {
    SpinRelease(lock);
    KeLowerIrql(oldIrql);
}

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state) {
    std::memset(event, 0, sizeof(*event));
    event->Header.Type = type;
    event->Header.SignalState = state ? 1 : 0;
}

LONG KeSetEvent(KEVENT* event, LONG, BOOLEAN) {
    platform::require_dispatch_or_below("KeSetEvent");
    if (platform::EventObject* object = platform::EventObject::from_kevent(event)) {
        LONG was = object->signalled() ? 1 : 0;
        object->set();
        return was;
    }
    LONG previous;
    {
        std::lock_guard lock(g_dispatcherLock);
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    g_dispatcherCv.notify_all();
    return previous;
}

LONG KeResetEvent(KEVENT* event) {
    if (platform::EventObject* object = platform::EventObject::from_kevent(event)) {
        LONG was = object->signalled() ? 1 : 0;
        object->reset();
        return was;
    }
    std::lock_guard lock(g_dispatcherLock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(KEVENT* event) {
    if (platform::EventObject* object = platform::EventObject::from_kevent(event)) return object->signalled() ? 1 : 0;
    std::lock_guard lock(g_dispatcherLock);
    return event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* timeout) {
    auto* event = static_cast<KEVENT*>(object);
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (poll) {
        platform::require_dispatch_or_below("KeWaitForSingleObject");
    } else {
        platform::require_passive("KeWaitForSingleObject");
    }

    if (platform::EventObject* shared = platform::EventObject::from_kevent(event)) {
        // A user-mode event: its waiters are outside the machine's clock, so the wait is wall-clock.
        int ms = timeout == nullptr ? -1 : poll ? 0 : static_cast<int>(-timeout->QuadPart / 10'000);
        return shared->wait(ms) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }

    platform::Clock& clock = platform::Kernel::current().clock();
    bool timed = timeout != nullptr;
    uint64_t deadline = 0;
    if (timed) {
        deadline = timeout->QuadPart < 0 ? clock.now() + static_cast<uint64_t>(-timeout->QuadPart)
                                         : static_cast<uint64_t>(timeout->QuadPart);
    }

    std::unique_lock lock(g_dispatcherLock);
    for (;;) {
        if (TrySatisfy(event)) return STATUS_SUCCESS;
        if (poll) return STATUS_TIMEOUT;
        if (timed && clock.now() >= deadline) return STATUS_TIMEOUT;
        if (timed && clock.is_virtual()) {
            // Nothing else moves virtual time while we wait: move it ourselves.
            lock.unlock();
            clock.step_towards(deadline);
            lock.lock();
        } else if (timed) {
            g_dispatcherCv.wait_until(lock, clock.wall_time_of(deadline));
        } else {
            g_dispatcherCv.wait(lock);
        }
    }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* interval) {
    platform::require_passive("KeDelayExecutionThread");
    platform::Clock& clock = platform::Kernel::current().clock();
    uint64_t until = interval->QuadPart < 0 ? clock.now() + static_cast<uint64_t>(-interval->QuadPart)
                                            : static_cast<uint64_t>(interval->QuadPart);
    if (clock.is_virtual()) {
        clock.run_until(until);
    } else {
        std::this_thread::sleep_until(clock.wall_time_of(until));
    }
    return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime() { return platform::Kernel::current().clock().now(); }

LARGE_INTEGER KeQueryPerformanceCounter(LARGE_INTEGER* frequency) {
    if (frequency != nullptr) frequency->QuadPart = static_cast<LONGLONG>(platform::kTicksPerSecond);
    LARGE_INTEGER counter;
    counter.QuadPart = static_cast<LONGLONG>(platform::Kernel::current().clock().now());
    return counter;
}
