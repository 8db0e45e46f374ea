// Requests a driver creates and sends to I/O targets: created once, formatted
// for a target, sent, completed back through the driver's completion routine
// at DISPATCH_LEVEL or below, and reused.
#pragma once

#include "platform/kmdf/wdf_io_target.h"
#include "platform/kmdf/wdf_request.h"

struct WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
};

enum WDF_USB_REQUEST_TYPE : ULONG {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypePipeWrite = 5,
    WdfUsbRequestTypePipeRead = 6,
    WdfUsbRequestTypePipeUrb = 13,
};

struct WDF_USB_REQUEST_COMPLETION_PARAMS {
    LONG UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
};

struct WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDF_USB_REQUEST_COMPLETION_PARAMS* Completion;
        } Usb;
    } Parameters;
};
using PWDF_REQUEST_COMPLETION_PARAMS = WDF_REQUEST_COMPLETION_PARAMS*;

using EVT_WDF_REQUEST_COMPLETION_ROUTINE = void(WDFREQUEST request, WDFIOTARGET target,
                                                PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context);
using PFN_WDF_REQUEST_COMPLETION_ROUTINE = EVT_WDF_REQUEST_COMPLETION_ROUTINE*;

inline constexpr ULONG WDF_REQUEST_REUSE_NO_FLAGS = 0;

struct WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PIRP NewIrp;
};

inline void WDF_REQUEST_REUSE_PARAMS_INIT(WDF_REQUEST_REUSE_PARAMS* params, ULONG flags, NTSTATUS status) {
    std::memset(params, 0, sizeof(*params));
    params->Size = sizeof(*params);
    params->Flags = flags;
    params->Status = status;
}

inline constexpr WDF_REQUEST_SEND_OPTIONS* WDF_NO_SEND_OPTIONS = nullptr;

// A request of the driver's own for `target` (the attributes should name a parent).
NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET target, WDFREQUEST* request);
// Makes a completed request ready to be formatted and sent again.
NTSTATUS WdfRequestReuse(WDFREQUEST request, WDF_REQUEST_REUSE_PARAMS* params);
void WdfRequestSetCompletionRoutine(WDFREQUEST request, PFN_WDF_REQUEST_COMPLETION_ROUTINE routine,
                                    WDFCONTEXT context);
// TRUE when the target took the request (a stopped target keeps it until it
// starts); FALSE when it refused it, with the reason in WdfRequestGetStatus.
BOOLEAN WdfRequestSend(WDFREQUEST request, WDFIOTARGET target, WDF_REQUEST_SEND_OPTIONS* options);
NTSTATUS WdfRequestGetStatus(WDFREQUEST request);
