// Framework I/O queues: sequential, parallel and manual dispatch, with the
// requests waiting in them cancellable.
#pragma once

#include "wdf_request.h"

enum WDF_IO_QUEUE_DISPATCH_TYPE : ULONG {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
};

using EVT_WDF_IO_QUEUE_IO_DEFAULT = void(WDFQUEUE queue, WDFREQUEST request);
using PFN_WDF_IO_QUEUE_IO_DEFAULT = EVT_WDF_IO_QUEUE_IO_DEFAULT*;
using EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL = void(WDFQUEUE queue, WDFREQUEST request, size_t outputBufferLength,
                                                size_t inputBufferLength, ULONG ioControlCode);
using PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL = EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL*;
using EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL = EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
using PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL = PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
using EVT_WDF_IO_QUEUE_IO_STOP = void(WDFQUEUE queue, WDFREQUEST request, ULONG actionFlags);
using PFN_WDF_IO_QUEUE_IO_STOP = EVT_WDF_IO_QUEUE_IO_STOP*;
using EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE = void(WDFQUEUE queue, WDFREQUEST request);
using PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE = EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE*;

struct WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
};

inline void WDF_IO_QUEUE_CONFIG_INIT(WDF_IO_QUEUE_CONFIG* config, WDF_IO_QUEUE_DISPATCH_TYPE dispatchType) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->DispatchType = dispatchType;
    config->PowerManaged = WdfUseDefault;
}

inline void WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(WDF_IO_QUEUE_CONFIG* config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE dispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(config, dispatchType);
    config->DefaultQueue = TRUE;
}

// The queue's parent is the device unless the attributes name another.
NTSTATUS WdfIoQueueCreate(WDFDEVICE device, WDF_IO_QUEUE_CONFIG* config, PWDF_OBJECT_ATTRIBUTES attributes,
                          WDFQUEUE* queue);
// Takes the oldest waiting request (of `fileObject`): STATUS_NO_MORE_ENTRIES
// when there is none, STATUS_WDF_PAUSED while the queue is stopped.
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE queue, WDFREQUEST* request);
NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE queue, WDFFILEOBJECT fileObject, WDFREQUEST* request);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE queue);
