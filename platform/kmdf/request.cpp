#include "fx_device.h"
#include "fx_io.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_request.h"

using platform::kmdf::object_of;

namespace platform::kmdf {

FxRequest::FxRequest(FxDevice* device, IRP* irp)
    : FxObject(FxType::Request), device_(device), irp_(irp), major_(irp->Stack.MajorFunction) {
    irp->DriverContext[0] = this;
}

FxFileObject* FxRequest::file() const {
    FILE_OBJECT* wdm = irp_->Stack.FileObject;
    return wdm != nullptr ? FxFileObject::peek(wdm) : nullptr;
}

void FxRequest::left_driver() {
    FxIoQueue* presenter = presenter_;
    presenter_ = nullptr;
    if (presenter != nullptr) presenter->request_left(this);
}

void FxRequest::complete(NTSTATUS status, ULONG_PTR information) {
    require_dispatch_or_below("WdfRequestComplete");
    if (completing_.exchange(true, std::memory_order_acq_rel)) {
        rule_violation("WDF", "a request was completed twice");
        return;
    }
    finalStatus_ = status;
    if (major_ == IRP_MJ_CREATE && NT_SUCCESS(status)) device_->add_reference();  // dropped at the file's close
    if (major_ == IRP_MJ_CREATE && !NT_SUCCESS(status)) {
        // A refused open leaves no file object behind (the I/O manager sends no close).
        if (FxFileObject* fx = FxFileObject::take(irp_->Stack.FileObject)) {
            FxFileObject::link(irp_->Stack.FileObject, nullptr);
            fx->delete_object();
            fx->release();
        }
    }
    irp_->IoStatus.Status = status;
    irp_->IoStatus.Information = information;
    irp_->DriverContext[0] = nullptr;
    IoCompleteRequest(irp_, IO_NO_INCREMENT);
    irp_ = nullptr;
    completed_.store(true, std::memory_order_release);
    left_driver();
    release();
}

}  // namespace platform::kmdf

using platform::kmdf::FxFileObject;
using platform::kmdf::FxIoQueue;
using platform::kmdf::FxObject;
using platform::kmdf::FxRequest;
using platform::kmdf::FxType;

static FxRequest* Request(WDFREQUEST handle, const char* call) {
    FxRequest* request = object_of<FxRequest>(handle, call);
    if (request != nullptr && request->completing()) {
        platform::rule_violation("WDF", std::string(call) + " was given a request that has completed");
        return nullptr;
    }
    return request;
}

void WdfRequestGetParameters(WDFREQUEST handle, WDF_REQUEST_PARAMETERS* parameters) {
    FxRequest* request = Request(handle, "WdfRequestGetParameters");
    if (request == nullptr || parameters == nullptr) return;
    IRP* irp = request->irp();
    parameters->MinorFunction = irp->Stack.MinorFunction;
    switch (irp->Stack.MajorFunction) {
        case IRP_MJ_CREATE: parameters->Type = WdfRequestTypeCreate; break;
        case IRP_MJ_CLOSE: parameters->Type = WdfRequestTypeClose; break;
        case IRP_MJ_CLEANUP: parameters->Type = WdfRequestTypeCleanup; break;
        case IRP_MJ_DEVICE_CONTROL: parameters->Type = WdfRequestTypeDeviceControl; break;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: parameters->Type = WdfRequestTypeDeviceControlInternal; break;
        default: parameters->Type = WdfRequestTypeOther; break;
    }
    auto& io = irp->Stack.Parameters.DeviceIoControl;
    parameters->Parameters.DeviceIoControl.OutputBufferLength = io.OutputBufferLength;
    parameters->Parameters.DeviceIoControl.InputBufferLength = io.InputBufferLength;
    parameters->Parameters.DeviceIoControl.IoControlCode = io.IoControlCode;
    parameters->Parameters.DeviceIoControl.Type3InputBuffer = io.Type3InputBuffer;
}

void WdfRequestComplete(WDFREQUEST handle, NTSTATUS status) {
    if (FxRequest* request = Request(handle, "WdfRequestComplete")) request->complete(status, request->information());
}

void WdfRequestCompleteWithInformation(WDFREQUEST handle, NTSTATUS status, ULONG_PTR information) {
    if (FxRequest* request = Request(handle, "WdfRequestCompleteWithInformation")) request->complete(status, information);
}

static NTSTATUS RetrieveBuffer(WDFREQUEST handle, const char* call, bool output, size_t minimum, PVOID* buffer,
                               size_t* length) {
    FxRequest* request = Request(handle, call);
    if (request == nullptr || buffer == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit(call)) return *status;
    IRP* irp = request->irp();
    UCHAR major = irp->Stack.MajorFunction;
    auto& io = irp->Stack.Parameters.DeviceIoControl;
    if ((major != IRP_MJ_DEVICE_CONTROL && major != IRP_MJ_INTERNAL_DEVICE_CONTROL) ||
        (io.IoControlCode & 3) != METHOD_BUFFERED) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    size_t bytes = output ? io.OutputBufferLength : io.InputBufferLength;
    if (bytes == 0 || bytes < minimum || irp->AssociatedIrp.SystemBuffer == nullptr) return STATUS_BUFFER_TOO_SMALL;
    *buffer = irp->AssociatedIrp.SystemBuffer;
    if (length != nullptr) *length = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimum, PVOID* buffer, size_t* length) {
    return RetrieveBuffer(request, "WdfRequestRetrieveInputBuffer", false, minimum, buffer, length);
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimum, PVOID* buffer, size_t* length) {
    return RetrieveBuffer(request, "WdfRequestRetrieveOutputBuffer", true, minimum, buffer, length);
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST handle) {
    FxRequest* request = Request(handle, "WdfRequestGetFileObject");
    FxFileObject* file = request != nullptr ? request->file() : nullptr;
    return file != nullptr ? file->as_handle<WDFFILEOBJECT>() : nullptr;
}

BOOLEAN WdfRequestIsFrom32BitProcess(WDFREQUEST handle) {
    FxRequest* request = Request(handle, "WdfRequestIsFrom32BitProcess");
    return request != nullptr && IoIs32bitProcess(request->irp());
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST handle, WDFQUEUE destination) {
    FxRequest* request = Request(handle, "WdfRequestForwardToIoQueue");
    auto* queue = object_of<FxIoQueue>(destination, "WdfRequestForwardToIoQueue");
    if (request == nullptr || queue == nullptr) return STATUS_INVALID_PARAMETER;
    if (request->queue() != nullptr) {
        platform::rule_violation("WDF", "WdfRequestForwardToIoQueue on a request the driver does not own");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (queue->device() != request->device()) return STATUS_INVALID_DEVICE_REQUEST;
    if (auto status = platform::fault::hit("WdfRequestForwardToIoQueue")) return *status;
    // The presenting queue may go on: the request is someone else's from here
    // (once enqueued it may even complete, cancelled, on another thread).
    request->left_driver();
    return queue->enqueue(request);
}
