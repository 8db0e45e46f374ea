#include <algorithm>
#include <vector>

#include "fx_callback.h"
#include "fx_device.h"
#include "fx_io.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_queue.h"
#include "platform/machine/machine.h"
#include "platform/machine/work_queue.h"

using platform::kmdf::object_of;

namespace platform::kmdf {

FxIoQueue::FxIoQueue(FxDevice* device, const WDF_IO_QUEUE_CONFIG& config)
    : FxObject(FxType::Queue), device_(device), config_(config) {}

NTSTATUS FxIoQueue::enqueue(FxRequest* request) {
    if (deleting()) return STATUS_INVALID_DEVICE_STATE;
    IRP* irp = request->irp();
    bool cancelled = false;
    {
        std::lock_guard lock(lock_);
        waiting_.push_back(request);
        request->set_queue(this);
        IoSetCancelRoutine(irp, cancel_routine);
        // A cancel that came while nobody could take it is ours to carry out.
        // Decided under the lock, while the request is still the caller's:
        // once the lock drops, another thread's presenting may take it,
        // complete it and free its IRP.
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            waiting_.pop_back();
            request->set_queue(nullptr);
            cancelled = true;
        }
    }
    if (cancelled) {
        cancel(request);
        return STATUS_SUCCESS;
    }
    // From here the request may be gone: only the queue is looked at.
    present();
    return STATUS_SUCCESS;
}

bool FxIoQueue::remove_waiting(FxRequest* request) {
    std::lock_guard lock(lock_);
    auto it = std::find(waiting_.begin(), waiting_.end(), request);
    if (it == waiting_.end()) return false;
    waiting_.erase(it);
    request->set_queue(nullptr);
    return true;
}

void FxIoQueue::cancel(FxRequest* request) {
    if (config_.EvtIoCanceledOnQueue != nullptr) {
        CallDriver("EvtIoCanceledOnQueue",
                   [&] { config_.EvtIoCanceledOnQueue(as_handle<WDFQUEUE>(), request->as_handle<WDFREQUEST>()); });
    } else {
        request->complete(STATUS_CANCELLED, 0);
    }
}

void FxIoQueue::cancel_routine(DEVICE_OBJECT*, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FxRequest* request = FxRequest::from_irp(irp);
    FxIoQueue* queue = request != nullptr ? request->queue() : nullptr;
    // The routine was armed by the queue that holds the request, and only its
    // owner disarms it; so the request is still waiting there.
    if (queue != nullptr && queue->remove_waiting(request)) queue->cancel(request);
}

NTSTATUS FxIoQueue::retrieve(FxFileObject* file, FxRequest** out) {
    require_dispatch_or_below("WdfIoQueueRetrieveNextRequest");
    if (config_.DispatchType != WdfIoQueueDispatchManual) return STATUS_INVALID_DEVICE_REQUEST;
    std::lock_guard lock(lock_);
    if (stopped_) return STATUS_WDF_PAUSED;
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        FxRequest* request = *it;
        if (file != nullptr && request->file() != file) continue;
        // A request whose cancel routine is already running belongs to the canceller.
        if (IoSetCancelRoutine(request->irp(), nullptr) == nullptr) continue;
        waiting_.erase(it);
        request->set_queue(nullptr);
        *out = request;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

void FxIoQueue::request_left(FxRequest* request) {
    {
        std::lock_guard lock(lock_);
        if (active_ != request) return;
        active_ = nullptr;
    }
    present();
}

template <typename Match>
void FxIoQueue::cancel_waiting(Match match) {
    std::vector<FxRequest*> taken;
    {
        std::lock_guard lock(lock_);
        for (auto it = waiting_.begin(); it != waiting_.end();) {
            FxRequest* request = *it;
            if (match(request) && IoSetCancelRoutine(request->irp(), nullptr) != nullptr) {
                request->set_queue(nullptr);
                taken.push_back(request);
                it = waiting_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (FxRequest* request : taken) cancel(request);
}

void FxIoQueue::flush_file(FxFileObject* file) {
    cancel_waiting([file](FxRequest* request) { return request->file() == file; });
}

void FxIoQueue::dispose() {
    {
        std::lock_guard lock(lock_);
        stopped_ = true;
    }
    // A queue that goes away cancels what still waits in it.
    cancel_waiting([](FxRequest*) { return true; });
    device_->remove_queue(this);
}

void FxIoQueue::present() {
    if (config_.DispatchType == WdfIoQueueDispatchManual) return;
    {
        std::lock_guard lock(lock_);
        if (presenting_ || waiting_.empty() || stopped_) return;
        if (config_.DispatchType == WdfIoQueueDispatchSequential && active_ != nullptr) return;
        presenting_ = true;
    }
    // Callbacks of a passive-level queue never run at a raised level: a
    // completion at DISPATCH_LEVEL hands the presenting over to a worker.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL && execution_level() == WdfExecutionLevelPassive) {
        add_reference();
        Machine::current().workers().post([this] {
            run_presenter();
            release();
        });
        return;
    }
    run_presenter();
}

void FxIoQueue::run_presenter() {
    for (;;) {
        FxRequest* request = nullptr;
        {
            std::lock_guard lock(lock_);
            bool busy = config_.DispatchType == WdfIoQueueDispatchSequential && active_ != nullptr;
            for (auto it = waiting_.begin(); !busy && !stopped_ && it != waiting_.end(); ++it) {
                // A request whose cancel routine runs already is left for the canceller.
                if (IoSetCancelRoutine((*it)->irp(), nullptr) == nullptr) continue;
                request = *it;
                waiting_.erase(it);
                request->set_queue(nullptr);
                break;
            }
            if (request == nullptr) {
                presenting_ = false;
                return;
            }
            if (config_.DispatchType == WdfIoQueueDispatchSequential) {
                active_ = request;
                request->set_presenter(this);
            }
        }
        invoke(request);
    }
}

void FxIoQueue::invoke(FxRequest* request) {
    WDFQUEUE queue = as_handle<WDFQUEUE>();
    WDFREQUEST handle = request->as_handle<WDFREQUEST>();
    auto& io = request->irp()->Stack.Parameters.DeviceIoControl;
    auto call = [&] {
        if (request->major() == IRP_MJ_DEVICE_CONTROL && config_.EvtIoDeviceControl != nullptr) {
            config_.EvtIoDeviceControl(queue, handle, io.OutputBufferLength, io.InputBufferLength, io.IoControlCode);
        } else if (request->major() == IRP_MJ_INTERNAL_DEVICE_CONTROL && config_.EvtIoInternalDeviceControl != nullptr) {
            config_.EvtIoInternalDeviceControl(queue, handle, io.OutputBufferLength, io.InputBufferLength,
                                               io.IoControlCode);
        } else if (config_.EvtIoDefault != nullptr) {
            config_.EvtIoDefault(queue, handle);
        } else {
            request->complete(STATUS_INVALID_DEVICE_REQUEST, 0);
        }
    };
    if (synchronization_scope() == WdfSynchronizationScopeDevice) {
        std::lock_guard sync(device_->sync_lock());
        CallDriver("EvtIoDeviceControl", call);
    } else {
        CallDriver("EvtIoDeviceControl", call);
    }
}

}  // namespace platform::kmdf

using platform::kmdf::FxDevice;
using platform::kmdf::FxFileObject;
using platform::kmdf::FxIoQueue;
using platform::kmdf::FxObject;
using platform::kmdf::FxRequest;
using platform::kmdf::FxType;

NTSTATUS WdfIoQueueCreate(WDFDEVICE device, WDF_IO_QUEUE_CONFIG* config, PWDF_OBJECT_ATTRIBUTES attributes,
                          WDFQUEUE* queue) {
    platform::require_dispatch_or_below("WdfIoQueueCreate");
    auto* fx = object_of<FxDevice>(device, "WdfIoQueueCreate");
    if (fx == nullptr || config == nullptr || config->Size != sizeof(WDF_IO_QUEUE_CONFIG) || queue == nullptr ||
        config->DispatchType == WdfIoQueueDispatchInvalid || config->DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    if (config->DefaultQueue && fx->default_queue() != nullptr) return STATUS_WDF_BUSY;
    if (auto status = platform::fault::hit("WdfIoQueueCreate")) return *status;
    auto* q = new FxIoQueue(fx, *config);
    NTSTATUS status = q->attach(attributes, fx);
    if (!NT_SUCCESS(status)) {
        q->release();
        return status;
    }
    fx->add_queue(q);
    *queue = q->as_handle<WDFQUEUE>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE queue, WDFREQUEST* request) {
    FxIoQueue* q = object_of<FxIoQueue>(queue, "WdfIoQueueRetrieveNextRequest");
    if (q == nullptr || request == nullptr) return STATUS_INVALID_PARAMETER;
    FxRequest* found = nullptr;
    NTSTATUS status = q->retrieve(nullptr, &found);
    if (NT_SUCCESS(status)) *request = found->as_handle<WDFREQUEST>();
    return status;
}

NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE queue, WDFFILEOBJECT fileObject, WDFREQUEST* request) {
    FxIoQueue* q = object_of<FxIoQueue>(queue, "WdfIoQueueRetrieveRequestByFileObject");
    auto* file = object_of<FxFileObject>(fileObject, "WdfIoQueueRetrieveRequestByFileObject");
    if (q == nullptr || file == nullptr || request == nullptr) return STATUS_INVALID_PARAMETER;
    FxRequest* found = nullptr;
    NTSTATUS status = q->retrieve(file, &found);
    if (NT_SUCCESS(status)) *request = found->as_handle<WDFREQUEST>();
    return status;
}

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE queue) {
    FxIoQueue* q = object_of<FxIoQueue>(queue, "WdfIoQueueGetDevice");
    return q != nullptr ? q->device()->as_handle<WDFDEVICE>() : nullptr;
}
