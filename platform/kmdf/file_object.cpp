#include "fx_device.h"
#include "fx_io.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_fileobject.h"

using platform::kmdf::FxDevice;
using platform::kmdf::FxFileObject;
using platform::kmdf::FxIoQueue;
using platform::kmdf::FxObject;
using platform::kmdf::FxRequest;
using platform::kmdf::FxType;

static FxFileObject* File(WDFFILEOBJECT handle, const char* call) {
    return FxObject::from_as<FxFileObject>(handle, FxType::FileObject, call);
}

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
    auto* fx = FxObject::from_as<FxDevice>(device, FxType::Device, "WdfDeviceEnqueueRequest");
    auto* fxRequest = FxObject::from_as<FxRequest>(request, FxType::Request, "WdfDeviceEnqueueRequest");
    if (fx == nullptr || fxRequest == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfDeviceEnqueueRequest")) return *status;
    return fx->enqueue_request(fxRequest);
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE device) {
    auto* fx = FxObject::from_as<FxDevice>(device, FxType::Device, "WdfDeviceGetDefaultQueue");
    FxIoQueue* queue = fx != nullptr ? fx->default_queue() : nullptr;
    return queue != nullptr ? queue->as_handle<WDFQUEUE>() : nullptr;
}

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT fileObject) {
    FxFileObject* file = File(fileObject, "WdfFileObjectGetFileName");
    return file != nullptr ? &file->wdm()->FileName : nullptr;
}

PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT fileObject) {
    FxFileObject* file = File(fileObject, "WdfFileObjectWdmGetFileObject");
    return file != nullptr ? file->wdm() : nullptr;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT fileObject) {
    FxFileObject* file = File(fileObject, "WdfFileObjectGetDevice");
    return file != nullptr ? file->device()->as_handle<WDFDEVICE>() : nullptr;
}
