#include "fx_callback.h"
#include "fx_io.h"
#include "fx_io_target.h"
#include "fx_target_request.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"

using platform::kmdf::object_of;

namespace platform::kmdf {

void FxTargetRequest::sent() {
    if (inFlight_.exchange(true, std::memory_order_acq_rel)) {
        rule_violation("WDF", "a request was sent while an earlier send of it was still in flight");
    }
    status_ = STATUS_PENDING;
}

void FxTargetRequest::refused(NTSTATUS status) {
    status_ = status;
    inFlight_.store(false, std::memory_order_release);
}

void FxTargetRequest::complete(NTSTATUS status, ULONG_PTR information, LONG usbdStatus) {
    require_dispatch_or_below("request completion");
    if (!inFlight_.load(std::memory_order_acquire)) {
        rule_violation("WDF", "a request that is not in flight was completed");
        return;
    }
    status_ = status;
    params_ = WDF_REQUEST_COMPLETION_PARAMS{};
    params_.Size = sizeof(params_);
    params_.Type = WdfRequestTypeOther;
    params_.IoStatus = IO_STATUS_BLOCK{status, information};
    usbParams_ = WDF_USB_REQUEST_COMPLETION_PARAMS{};
    usbParams_.UsbdStatus = usbdStatus;
    switch (format_.kind) {
        case RequestFormat::Kind::Urb:
            usbParams_.Type = WdfUsbRequestTypePipeUrb;
            usbParams_.Parameters.PipeUrb.Buffer = format_.memory;
            break;
        case RequestFormat::Kind::Write:
            params_.Type = WdfRequestTypeWrite;
            usbParams_.Type = WdfUsbRequestTypePipeWrite;
            usbParams_.Parameters.PipeWrite = {format_.memory, information, format_.offset};
            break;
        case RequestFormat::Kind::Read:
            params_.Type = WdfRequestTypeRead;
            usbParams_.Type = WdfUsbRequestTypePipeRead;
            usbParams_.Parameters.PipeRead = {format_.memory, information, format_.offset};
            break;
        default:
            break;
    }
    params_.Parameters.Usb.Completion = &usbParams_;
    // The driver may send the request again from its own completion routine,
    // or delete it there: nothing here touches it once the routine is called.
    inFlight_.store(false, std::memory_order_release);
    if (routine_ != nullptr) {
        KIRQL old;
        KeRaiseIrql(std::max<KIRQL>(KeGetCurrentIrql(), DISPATCH_LEVEL), &old);
        PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = routine_;
        WDFREQUEST handle = as_handle<WDFREQUEST>();
        WDFIOTARGET target = sentTo_ != nullptr ? sentTo_->as_handle<WDFIOTARGET>() : nullptr;
        WDFCONTEXT context = context_;
        CallDriver("EvtRequestCompletionRoutine", [&] { routine(handle, target, &params_, context); });
        KeLowerIrql(old);
    }
}

void FxTargetRequest::reuse(NTSTATUS status) {
    status_ = status;
    format_ = RequestFormat{};
    params_ = WDF_REQUEST_COMPLETION_PARAMS{};
}

void FxTargetRequest::dispose() {
    if (in_flight() && sentTo_ != nullptr) sentTo_->cancel(this);
    if (in_flight()) rule_violation("WDF", "a request was deleted while a target still held it");
}

}  // namespace platform::kmdf

using platform::kmdf::FxIoTarget;
using platform::kmdf::FxObject;
using platform::kmdf::FxTargetRequest;
using platform::kmdf::FxType;

NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET target, WDFREQUEST* request) {
    platform::require_dispatch_or_below("WdfRequestCreate");
    if (request == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfRequestCreate")) return *status;
    FxIoTarget* fxTarget = target != nullptr ? FxIoTarget::from_handle(target, "WdfRequestCreate") : nullptr;
    auto* fx = new FxTargetRequest();
    NTSTATUS status = fx->attach(attributes, fxTarget);
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    *request = fx->as_handle<WDFREQUEST>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestReuse(WDFREQUEST request, WDF_REQUEST_REUSE_PARAMS* params) {
    FxTargetRequest* fx = object_of<FxTargetRequest>(request, "WdfRequestReuse");
    if (fx == nullptr || params == nullptr) return STATUS_INVALID_PARAMETER;
    if (fx->in_flight()) {
        platform::rule_violation("WDF", "WdfRequestReuse on a request still in flight");
        return STATUS_INVALID_DEVICE_STATE;
    }
    fx->reuse(params->Status);
    return STATUS_SUCCESS;
}

void WdfRequestSetCompletionRoutine(WDFREQUEST request, PFN_WDF_REQUEST_COMPLETION_ROUTINE routine,
                                    WDFCONTEXT context) {
    if (FxTargetRequest* fx = object_of<FxTargetRequest>(request, "WdfRequestSetCompletionRoutine")) {
        fx->set_completion(routine, context);
    }
}

BOOLEAN WdfRequestSend(WDFREQUEST request, WDFIOTARGET target, WDF_REQUEST_SEND_OPTIONS* options) {
    platform::require_dispatch_or_below("WdfRequestSend");
    FxTargetRequest* fx = object_of<FxTargetRequest>(request, "WdfRequestSend");
    FxIoTarget* fxTarget = FxIoTarget::from_handle(target, "WdfRequestSend");
    if (fx == nullptr || fxTarget == nullptr) return FALSE;
    if (auto status = platform::fault::hit("WdfRequestSend")) {
        fx->refused(*status);
        return FALSE;
    }
    bool ignoreState = options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    return fxTarget->send(fx, ignoreState) ? TRUE : FALSE;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST request) {
    FxObject* object = FxObject::from(request, "WdfRequestGetStatus");
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    if (object->type() == FxType::TargetRequest) return static_cast<FxTargetRequest*>(object)->status();
    if (object->type() == FxType::Request) return static_cast<platform::kmdf::FxRequest*>(object)->final_status();
    platform::kmdf::ReportWrongHandleType("WdfRequestGetStatus");
    return STATUS_INVALID_PARAMETER;
}
