// Scoped holds of the framework's locks, and a plain wait.
#pragma once

#include "platform/kmdf/wdf.h"

// A framework spin lock for a scope (raises to DISPATCH_LEVEL).
class SpinLockScope {
public:
    explicit SpinLockScope(WDFSPINLOCK lock) : lock_(lock) { WdfSpinLockAcquire(lock_); }
    ~SpinLockScope() { WdfSpinLockRelease(lock_); }
    SpinLockScope(const SpinLockScope&) = delete;
    SpinLockScope& operator=(const SpinLockScope&) = delete;

private:
    WDFSPINLOCK lock_;
};

// A framework wait lock for a scope (PASSIVE_LEVEL).
class WaitLockScope {
public:
    explicit WaitLockScope(WDFWAITLOCK lock) : lock_(lock) { WdfWaitLockAcquire(lock_, nullptr); }
    ~WaitLockScope() { WdfWaitLockRelease(lock_); }
    WaitLockScope(const WaitLockScope&) = delete;
    WaitLockScope& operator=(const WaitLockScope&) = delete;

private:
    WDFWAITLOCK lock_;
};

// Waits `ms` milliseconds at PASSIVE_LEVEL; does nothing above it.
inline void SleepMs(ULONG ms) {
    constexpr LONGLONG kHundredNsPerMs = 10000;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms) * kHundredNsPerMs;
    (void)KeDelayExecutionThread(KernelMode, TRUE, &interval);
}
