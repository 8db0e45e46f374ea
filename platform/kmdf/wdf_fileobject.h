// Framework file objects: one per handle opened on a device, with create,
// cleanup and close callbacks, and the device's in-caller-context hook.
#pragma once

#include "wdf_queue.h"

struct WDFDEVICE_INIT;

using EVT_WDF_DEVICE_FILE_CREATE = void(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT fileObject);
using PFN_WDF_DEVICE_FILE_CREATE = EVT_WDF_DEVICE_FILE_CREATE*;
using EVT_WDF_FILE_CLEANUP = void(WDFFILEOBJECT fileObject);
using PFN_WDF_FILE_CLEANUP = EVT_WDF_FILE_CLEANUP*;
using EVT_WDF_FILE_CLOSE = void(WDFFILEOBJECT fileObject);
using PFN_WDF_FILE_CLOSE = EVT_WDF_FILE_CLOSE*;
using EVT_WDF_IO_IN_CALLER_CONTEXT = void(WDFDEVICE device, WDFREQUEST request);
using PFN_WDF_IO_IN_CALLER_CONTEXT = EVT_WDF_IO_IN_CALLER_CONTEXT*;

enum WDF_FILEOBJECT_CLASS : ULONG {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
};

struct WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
};

inline void WDF_FILEOBJECT_CONFIG_INIT(WDF_FILEOBJECT_CONFIG* config, PFN_WDF_DEVICE_FILE_CREATE create,
                                       PFN_WDF_FILE_CLOSE close, PFN_WDF_FILE_CLEANUP cleanup) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->EvtDeviceFileCreate = create;
    config->EvtFileClose = close;
    config->EvtFileCleanup = cleanup;
    config->AutoForwardCleanupClose = WdfUseDefault;
    config->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
}

// The attributes (context, synchronisation scope) apply to every file object of the device.
void WdfDeviceInitSetFileObjectConfig(WDFDEVICE_INIT* init, WDF_FILEOBJECT_CONFIG* config,
                                      PWDF_OBJECT_ATTRIBUTES fileAttributes);
// Device-control requests reach this callback in the sender's thread before
// any queue; the driver completes them or hands them on with WdfDeviceEnqueueRequest.
void WdfDeviceInitSetIoInCallerContextCallback(WDFDEVICE_INIT* init, PFN_WDF_IO_IN_CALLER_CONTEXT callback);
NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE device, WDFREQUEST request);

// The part of the opened path below the device ("\PAL"); empty when none.
PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT fileObject);
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT fileObject);
