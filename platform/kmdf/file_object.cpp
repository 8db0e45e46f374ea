#include "fx_device.h"
#include "fx_io.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_fileobject.h"

using platform::kmdf::object_of;

using platform::kmdf::FxDevice;
using platform::kmdf::FxFileObject;
using platform::kmdf::FxIoQueue;
using platform::kmdf::FxObject;
using platform::kmdf::FxRequest;
using platform::kmdf::FxType;

void WdfDeviceInitSetFileObjectConfig(WDFDEVICE_INIT* init, WDF_FILEOBJECT_CONFIG* config,
                                      PWDF_OBJECT_ATTRIBUTES fileAttributes) {
    if (init == nullptr || config == nullptr) return;
    init->fileConfig = *config;
    init->hasFileAttributes = fileAttributes != nullptr;
    if (fileAttributes != nullptr) init->fileAttributes = *fileAttributes;
}

void WdfDeviceInitSetIoInCallerContextCallback(WDFDEVICE_INIT* init, PFN_WDF_IO_IN_CALLER_CONTEXT callback) {
    if (init != nullptr) init->ioInCallerContext = callback;
}

NTSTATUS WdfDeviceEnqueueRequest(WDFDEVICE device, WDFREQUEST request) {
    auto* fx = object_of<FxDevice>(device, "WdfDeviceEnqueueRequest");
    auto* fxRequest = object_of<FxRequest>(request, "WdfDeviceEnqueueRequest");
    if (fx == nullptr || fxRequest == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfDeviceEnqueueRequest")) return *status;
    return fx->enqueue_request(fxRequest);
}

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT fileObject) {
    FxFileObject* file = object_of<FxFileObject>(fileObject, "WdfFileObjectGetFileName");
    return file != nullptr ? &file->wdm()->FileName : nullptr;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT fileObject) {
    FxFileObject* file = object_of<FxFileObject>(fileObject, "WdfFileObjectGetDevice");
    return file != nullptr ? file->device()->as_handle<WDFDEVICE>() : nullptr;
}
