// Framework requests: the driver's view of an IRP (buffered I/O), completed
// exactly once, possibly forwarded between queues.
#pragma once

#include "wdf_object.h"

enum WDF_REQUEST_TYPE : ULONG {
    WdfRequestTypeCreate = 0x00,
    WdfRequestTypeClose = 0x02,
    WdfRequestTypeRead = 0x03,
    WdfRequestTypeWrite = 0x04,
    WdfRequestTypeDeviceControl = 0x0E,
    WdfRequestTypeDeviceControlInternal = 0x0F,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypeOther = 0xFF,
};

struct WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            size_t OutputBufferLength;
            size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG_PTR Arg4;
            PVOID Arg8;
        } Others;
    } Parameters;
};

inline void WDF_REQUEST_PARAMETERS_INIT(WDF_REQUEST_PARAMETERS* parameters) {
    std::memset(parameters, 0, sizeof(*parameters));
    parameters->Size = sizeof(*parameters);
}

void WdfRequestGetParameters(WDFREQUEST request, WDF_REQUEST_PARAMETERS* parameters);
// Completes the request; its handle is dead afterwards. Allowed up to DISPATCH_LEVEL.
void WdfRequestComplete(WDFREQUEST request, NTSTATUS status);
void WdfRequestCompleteWithInformation(WDFREQUEST request, NTSTATUS status, ULONG_PTR information);
// The request's buffers (METHOD_BUFFERED: both are the one system buffer).
// STATUS_BUFFER_TOO_SMALL when the buffer is missing or shorter than `minimumRequired`.
NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST request, size_t minimumRequired, PVOID* buffer, size_t* length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST request, size_t minimumRequired, PVOID* buffer, size_t* length);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST request);
BOOLEAN WdfRequestIsFrom32BitProcess(WDFREQUEST request);
// Moves a request the driver owns into another queue of the same device.
NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST request, WDFQUEUE destination);
