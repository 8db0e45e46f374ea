#include "fx_io_target.h"

#include "platform/kernel/irql.h"
#include "platform/kernel/rules.h"

namespace platform::kmdf {

FxIoTarget* FxIoTarget::from_handle(WDFIOTARGET handle, const char* call) {
    FxObject* object = FxObject::from(handle, call);
    auto* target = dynamic_cast<FxIoTarget*>(object);
    if (object != nullptr && target == nullptr) ReportWrongHandleType(call);
    return target;
}

NTSTATUS FxIoTarget::start() {
    require_passive("WdfIoTargetStart");
    {
        std::lock_guard lock(lock_);
        if (state_ == WdfIoTargetClosed || state_ == WdfIoTargetDeleted) return STATUS_INVALID_DEVICE_STATE;
        if (state_ == WdfIoTargetStarted) return STATUS_SUCCESS;
        state_ = WdfIoTargetStarted;
    }
    on_started();
    return STATUS_SUCCESS;
}

void FxIoTarget::stop(WDF_IO_TARGET_SENT_IO_ACTION action) {
    if (action != WdfIoTargetLeaveSentIoPending) require_passive("WdfIoTargetStop");
    {
        std::lock_guard lock(lock_);
        if (state_ == WdfIoTargetStarted) state_ = WdfIoTargetStopped;
    }
    on_stopping(action);
    if (action == WdfIoTargetLeaveSentIoPending) return;
    // Cancel and wait alike return only once nothing sent is still running.
    std::unique_lock lock(lock_);
    drained_.wait(lock, [this] { return inFlight_ == 0; });
}

WDF_IO_TARGET_STATE FxIoTarget::state() const {
    std::lock_guard lock(lock_);
    return state_;
}

void FxIoTarget::set_state(WDF_IO_TARGET_STATE state) {
    std::lock_guard lock(lock_);
    state_ = state;
}

bool FxIoTarget::begin_io() {
    std::lock_guard lock(lock_);
    if (state_ != WdfIoTargetStarted) return false;
    ++inFlight_;
    return true;
}

void FxIoTarget::end_io() {
    {
        std::lock_guard lock(lock_);
        if (inFlight_ == 0) {
            rule_violation("I/O target", "more requests ended than began");
            return;
        }
        --inFlight_;
    }
    drained_.notify_all();
}

unsigned FxIoTarget::in_flight() const {
    std::lock_guard lock(lock_);
    return inFlight_;
}

void FxIoTarget::dispose() {
    // A target being deleted stops first; its requests end before it goes.
    if (state() == WdfIoTargetStarted) stop(WdfIoTargetCancelSentIo);
    set_state(WdfIoTargetDeleted);
}

}  // namespace platform::kmdf

using platform::kmdf::FxIoTarget;

NTSTATUS WdfIoTargetStart(WDFIOTARGET target) {
    FxIoTarget* fx = FxIoTarget::from_handle(target, "WdfIoTargetStart");
    return fx == nullptr ? STATUS_INVALID_PARAMETER : fx->start();
}

void WdfIoTargetStop(WDFIOTARGET target, WDF_IO_TARGET_SENT_IO_ACTION action) {
    if (FxIoTarget* fx = FxIoTarget::from_handle(target, "WdfIoTargetStop")) fx->stop(action);
}

WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET target) {
    FxIoTarget* fx = FxIoTarget::from_handle(target, "WdfIoTargetGetState");
    return fx == nullptr ? WdfIoTargetStateUndefined : fx->state();
}
