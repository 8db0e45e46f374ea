#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

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

// A wait lock knows its holder, so that a release by a thread that does not
// hold it (Windows: a corrupted lock, or a bug check) is reported instead of
// unlocking someone else's lock.
class FxWaitLock : public FxObject {
public:
    static constexpr FxType kType = FxType::WaitLock;

    FxWaitLock() : FxObject(FxType::WaitLock) {}
    std::timed_mutex& mutex() { return mutex_; }
    // Called by the thread that has just locked the mutex.
    void took() { owner_.store(std::this_thread::get_id(), std::memory_order_relaxed); }
    void unlock() {
        std::thread::id owner = owner_.load(std::memory_order_relaxed);
        if (owner != std::this_thread::get_id()) {
            rule_violation("WDF", owner == std::thread::id()
                                      ? "WdfWaitLockRelease of a wait lock nobody holds"
                                      : "WdfWaitLockRelease of a wait lock another thread holds");
            return;
        }
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }

private:
    std::timed_mutex mutex_;
    // Written only by the holder while it holds mutex_; a thread reads its
    // own id there only if it wrote it itself.
    std::atomic<std::thread::id> owner_{};
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
    NTSTATUS status = STATUS_TIMEOUT;
    if (timeout != nullptr && *timeout == 0) {
        require_dispatch_or_below("WdfWaitLockAcquire");
        if (fx->mutex().try_lock()) status = STATUS_SUCCESS;
    } else {
        require_passive("WdfWaitLockAcquire");
        if (timeout == nullptr) {
            fx->mutex().lock();
            status = STATUS_SUCCESS;
        } else {
            Clock& clock = Machine::current().clock();
            uint64_t deadline =
                *timeout < 0 ? clock.now() + static_cast<uint64_t>(-*timeout) : static_cast<uint64_t>(*timeout);
            for (;;) {
                if (fx->mutex().try_lock()) {
                    status = STATUS_SUCCESS;
                    break;
                }
                if (clock.now() >= deadline) break;
                if (clock.is_virtual()) {
                    clock.step_towards(deadline);
                } else if (fx->mutex().try_lock_until(clock.wall_time_of(deadline))) {
                    status = STATUS_SUCCESS;
                    break;
                }
            }
        }
    }
    if (status == STATUS_SUCCESS) fx->took();
    return status;
}

void WaitLockRelease(WDFWAITLOCK lock) {
    if (auto* fx = object_of<FxWaitLock>(lock, "WdfWaitLockRelease")) fx->unlock();
}

}  // namespace platform::kmdf

void WdfSpinLockAcquire(WDFSPINLOCK lock) { platform::kmdf::SpinLockAcquire(lock); }
void WdfSpinLockRelease(WDFSPINLOCK lock) { platform::kmdf::SpinLockRelease(lock); }
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK lock, LONGLONG* timeout) { return platform::kmdf::WaitLockAcquire(lock, timeout); }
void WdfWaitLockRelease(WDFWAITLOCK lock) { platform::kmdf::WaitLockRelease(lock); }
