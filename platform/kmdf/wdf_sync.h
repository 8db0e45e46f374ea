// Framework spin locks (raise to DISPATCH_LEVEL) and wait locks (PASSIVE_LEVEL).
#pragma once

#include "wdf_object.h"

namespace platform::kmdf {
NTSTATUS SpinLockCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, WDFSPINLOCK* lock);
NTSTATUS WaitLockCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, WDFWAITLOCK* lock);
}  // namespace platform::kmdf

inline NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFSPINLOCK* lock) {
    return platform::kmdf::SpinLockCreate(&WdfDriverGlobals, attributes, lock);
}
void WdfSpinLockAcquire(WDFSPINLOCK lock);
void WdfSpinLockRelease(WDFSPINLOCK lock);

inline NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFWAITLOCK* lock) {
    return platform::kmdf::WaitLockCreate(&WdfDriverGlobals, attributes, lock);
}
// Timeout: null waits forever, 0 tries once, negative is relative (100 ns).
// STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK lock, LONGLONG* timeout);
void WdfWaitLockRelease(WDFWAITLOCK lock);
