#include "fx_io_target.h"

#include "fx_target_request.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/rules.h"
#include "platform/machine/machine.h"

namespace platform::kmdf {

FxIoTarget* FxIoTarget::from_handle(WDFIOTARGET handle, const char* call) {
    FxObject* object = FxObject::from(handle, call);
    if (object == nullptr) return nullptr;
    // The object types built on this class: remote targets and USB pipes.
    if (object->type() != FxType::IoTarget && object->type() != FxType::UsbPipe) {
        ReportWrongHandleType(call);
        return nullptr;
    }
    return static_cast<FxIoTarget*>(object);
}

NTSTATUS FxIoTarget::start() {
    require_passive("WdfIoTargetStart");
    std::deque<FxTargetRequest*> queued;
    {
        std::lock_guard lock(lock_);
        if (state_ == WdfIoTargetClosed || state_ == WdfIoTargetDeleted) return STATUS_INVALID_DEVICE_STATE;
        if (state_ == WdfIoTargetStarted) return STATUS_SUCCESS;
        state_ = WdfIoTargetStarted;
        queued.swap(queued_);
    }
    on_started();
    // What was sent while the target stood still goes out now, in the order it came.
    for (FxTargetRequest* request : queued) {
        inFlight_.fetch_add(1);
        NTSTATUS status = start_request(request);
        if (!NT_SUCCESS(status)) {
            // It was taken when it was sent: it ends with a completion now.
            DispatchLevelScope dispatch;
            finish(request, status, 0, 0);
        }
    }
    return STATUS_SUCCESS;
}

void FxIoTarget::stop(WDF_IO_TARGET_SENT_IO_ACTION action) {
    if (action != WdfIoTargetLeaveSentIoPending) require_passive("WdfIoTargetStop");
    std::deque<FxTargetRequest*> queued;
    {
        std::lock_guard lock(lock_);
        if (state_ == WdfIoTargetStarted) state_ = WdfIoTargetStopped;
        if (action == WdfIoTargetCancelSentIo) queued.swap(queued_);
    }
    if (!queued.empty()) {
        DispatchLevelScope dispatch;
        for (FxTargetRequest* request : queued) request->complete(STATUS_CANCELLED, 0, 0);
    }
    on_stopping(action);
    if (action == WdfIoTargetLeaveSentIoPending) return;
    // Cancel and wait alike return only once nothing sent is still running.
    // On a virtual clock what is in flight ends only as time moves: move it.
    Clock& clock = Machine::current().clock();
    std::unique_lock lock(lock_);
    stopsWaiting_.fetch_add(1);
    while (inFlight_ != 0) {
        if (clock.is_virtual()) {
            lock.unlock();
            clock.step_towards(clock.now() + kTicksPerMillisecond);
            lock.lock();
        } else {
            drained_.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    stopsWaiting_.fetch_sub(1);
}

void FxIoTarget::set_state(WDF_IO_TARGET_STATE state) {
    std::lock_guard lock(lock_);
    state_ = state;
}

bool FxIoTarget::enter_started() {
    if (state_.load() != WdfIoTargetStarted) return false;
    inFlight_.fetch_add(1);
    if (state_.load() == WdfIoTargetStarted) return true;
    end_io();  // a stop came between: it may be waiting for this count
    return false;
}

bool FxIoTarget::begin_io() { return enter_started(); }

void FxIoTarget::end_io() {
    unsigned before = inFlight_.load();
    do {
        if (before == 0) {
            rule_violation("I/O target", "more requests ended than began");
            return;
        }
    } while (!inFlight_.compare_exchange_weak(before, before - 1));
    // A stop counts itself waiting before it reads the count (both in
    // sequentially consistent order): a last request that sees no stop
    // waiting is one the stop sees ended.
    if (before == 1 && stopsWaiting_.load() != 0) {
        // Under the lock, so a stop between its check and its wait still hears it.
        std::lock_guard lock(lock_);
        drained_.notify_all();
    }
}

bool FxIoTarget::send(FxTargetRequest* request, bool ignoreState) {
    if (!enter_started()) {
        std::lock_guard lock(lock_);
        WDF_IO_TARGET_STATE state = state_.load();
        if (state == WdfIoTargetClosed || state == WdfIoTargetDeleted || state == WdfIoTargetClosedForQueryRemove) {
            request->refused(STATUS_INVALID_DEVICE_STATE);
            return false;
        }
        request->set_sent_to(this);
        request->sent();
        if (state != WdfIoTargetStarted && !ignoreState) {
            queued_.push_back(request);
            return true;
        }
        inFlight_.fetch_add(1);
    } else {
        request->set_sent_to(this);
        request->sent();
    }
    NTSTATUS status = start_request(request);
    if (NT_SUCCESS(status)) return true;
    request->refused(status);
    end_io();
    return false;
}

NTSTATUS FxIoTarget::start_request(FxTargetRequest*) { return STATUS_INVALID_DEVICE_REQUEST; }

bool FxIoTarget::cancel(FxTargetRequest* request) {
    {
        std::lock_guard lock(lock_);
        auto it = std::find(queued_.begin(), queued_.end(), request);
        if (it == queued_.end()) return false;
        queued_.erase(it);
    }
    DispatchLevelScope dispatch;
    request->complete(STATUS_CANCELLED, 0, 0);
    return true;
}

void FxIoTarget::finish(FxTargetRequest* request, NTSTATUS status, ULONG_PTR information, LONG usbdStatus) {
    request->complete(status, information, usbdStatus);
    end_io();
}

void FxIoTarget::dispose() {
    // A target being deleted stops first; its requests end before it goes.
    if (state() == WdfIoTargetStarted || state() == WdfIoTargetStopped) stop(WdfIoTargetCancelSentIo);
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
