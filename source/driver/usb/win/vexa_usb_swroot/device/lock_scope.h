// Scoped holds of the framework's locks.
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
