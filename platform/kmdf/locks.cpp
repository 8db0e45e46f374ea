#include <chrono>
#include <mutex>

#include "fx_object.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_sync.h"
#include "platform/machine/machine.h"

namespace platform::kmdf {
namespace {

class FxSpinLock : public FxObject {
public:
    static constexpr FxType kType = FxType::SpinLock;

    FxSpinLock() : FxObject(FxType::SpinLock) { KeInitializeSpinLock(&lock_); }
    void acquire() {
        KIRQL old;
        KeAcquireSpinLock(&lock_, &old);
        oldIrql_ = old;  // written only by the holder
    }
    void release() { KeReleaseSpinLock(&lock_, oldIrql_); }

private:
    KSPIN_LOCK lock_;
    KIRQL oldIrql_ = PASSIVE_LEVEL;  // guarded by lock_
};

class FxWaitLock : public FxObject {
public:
    static constexpr FxType kType = FxType::WaitLock;

    FxWaitLock() : FxObject(FxType::WaitLock) {}
    std::timed_mutex& mutex() { return mutex_; }

private:
    std::timed_mutex mutex_;
};

FxObject* DefaultParent(WDF_DRIVER_GLOBALS* globals, const char* call) {
    return globals->Driver != nullptr ? FxObject::from(globals->Driver, call) : nullptr;
}

template <typename T>
NTSTATUS Create(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, const char* call, T** out) {
    if (auto status = fault::hit(call)) return *status;
    auto* fx = new T();
    NTSTATUS status = fx->attach(attributes, DefaultParent(globals, call));
    if (!NT_SUCCESS(status)) {
        fx->FxObject::release();
        return status;
    }
    *out = fx;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SpinLockCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, WDFSPINLOCK* lock) {
    if (lock == nullptr) return STATUS_INVALID_PARAMETER;
    FxSpinLock* fx = nullptr;
    NTSTATUS status = Create(globals, attributes, "WdfSpinLockCreate", &fx);
    if (NT_SUCCESS(status)) *lock = fx->as_handle<WDFSPINLOCK>();
    return status;
}

NTSTATUS WaitLockCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, WDFWAITLOCK* lock) {
    if (lock == nullptr) return STATUS_INVALID_PARAMETER;
    FxWaitLock* fx = nullptr;
    NTSTATUS status = Create(globals, attributes, "WdfWaitLockCreate", &fx);
    if (NT_SUCCESS(status)) *lock = fx->as_handle<WDFWAITLOCK>();
    return status;
}

void SpinLockAcquire(WDFSPINLOCK lock) {
    if (auto* fx = object_of<FxSpinLock>(lock, "WdfSpinLockAcquire")) fx->acquire();
}

void SpinLockRelease(WDFSPINLOCK lock) {
    if (auto* fx = object_of<FxSpinLock>(lock, "WdfSpinLockRelease")) fx->release();
}

NTSTATUS WaitLockAcquire(WDFWAITLOCK lock, LONGLONG* timeout) {
    auto* fx = object_of<FxWaitLock>(lock, "WdfWaitLockAcquire");
    if (fx == nullptr) return STATUS_INVALID_PARAMETER;
    if (timeout != nullptr && *timeout == 0) {
        require_dispatch_or_below("WdfWaitLockAcquire");
        return fx->mutex().try_lock() ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    require_passive("WdfWaitLockAcquire");
    if (timeout == nullptr) {
        fx->mutex().lock();
        return STATUS_SUCCESS;
    }
    Clock& clock = Machine::current().clock();
    uint64_t deadline = *timeout < 0 ? clock.now() + static_cast<uint64_t>(-*timeout) : static_cast<uint64_t>(*timeout);
    for (;;) {
        if (fx->mutex().try_lock()) return STATUS_SUCCESS;
        if (clock.now() >= deadline) return STATUS_TIMEOUT;
        if (clock.is_virtual()) {
            clock.step_towards(deadline);
        } else if (fx->mutex().try_lock_until(clock.wall_time_of(deadline))) {
            return STATUS_SUCCESS;
        }
    }
}

void WaitLockRelease(WDFWAITLOCK lock) {
    if (auto* fx = object_of<FxWaitLock>(lock, "WdfWaitLockRelease")) {
        fx->mutex().unlock();
    }
}

}  // namespace platform::kmdf

void WdfSpinLockAcquire(WDFSPINLOCK lock) { platform::kmdf::SpinLockAcquire(lock); }
void WdfSpinLockRelease(WDFSPINLOCK lock) { platform::kmdf::SpinLockRelease(lock); }
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK lock, LONGLONG* timeout) { return platform::kmdf::WaitLockAcquire(lock, timeout); }
void WdfWaitLockRelease(WDFWAITLOCK lock) { platform::kmdf::WaitLockRelease(lock); }
