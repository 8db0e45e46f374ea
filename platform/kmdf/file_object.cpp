#include <mutex>

#include "fx_device.h"
#include "fx_io.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_fileobject.h"

using platform::kmdf::object_of;

namespace platform::kmdf {
namespace {

// Guards every WDM file object's link to its framework object, so that the
// link is read and the object referenced before another thread's deletion
// (the device's removal, say) can free it.
std::mutex g_linkLock;

}  // namespace

FxFileObject* FxFileObject::take(FILE_OBJECT* wdm) {
    std::lock_guard lock(g_linkLock);
    auto* file = static_cast<FxFileObject*>(wdm->Platform);
    return file != nullptr && file->try_add_reference() ? file : nullptr;
}

FxFileObject* FxFileObject::peek(FILE_OBJECT* wdm) {
    std::lock_guard lock(g_linkLock);
    return static_cast<FxFileObject*>(wdm->Platform);
}

void FxFileObject::link(FILE_OBJECT* wdm, FxFileObject* file) {
    std::lock_guard lock(g_linkLock);
    // Unlinked at its close: the WDM object goes, and the framework object
    // (deleted later, with its device perhaps) must not look at it.
    if (file == nullptr) {
        if (auto* old = static_cast<FxFileObject*>(wdm->Platform)) old->wdm_ = nullptr;
    }
    wdm->Platform = file;
}

FILE_OBJECT* FxFileObject::wdm() const {
    std::lock_guard lock(g_linkLock);
    return wdm_;
}

void FxFileObject::dispose() {
    std::lock_guard lock(g_linkLock);
    if (wdm_ != nullptr && wdm_->Platform == this) wdm_->Platform = nullptr;
    wdm_ = nullptr;
}

}  // namespace platform::kmdf

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
    FILE_OBJECT* wdm = file != nullptr ? file->wdm() : nullptr;
    return wdm != nullptr ? &wdm->FileName : nullptr;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT fileObject) {
    FxFileObject* file = object_of<FxFileObject>(fileObject, "WdfFileObjectGetDevice");
    return file != nullptr ? file->device()->as_handle<WDFDEVICE>() : nullptr;
}
