// Driver entry and the driver object's clean-up.
#include "device.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"

#define LOG_FILE_NUMBER 457

using namespace vexa::log;

// The framework deletes the driver object at unload.
void UsbEvtDriverCleanup(WDFOBJECT) {
    PAGED_CODE();
    TRACE(kLogInfo);
    LoggerClose();
}

extern "C" [[nodiscard]] __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PUNICODE_STRING registryPath) {
    PAGED_CODE();
    (void)LoggerOpen();  // tracing stays off without a logger
    TRACE(kLogInfo, driverObject);

    // Non-paged allocations and user mappings are no-execute from Windows 8 on.
    ReadWindowsVersion();

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, UsbEvtDriverDeviceAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = UsbEvtDriverCleanup;
    NTSTATUS status = WdfDriverCreate(driverObject, registryPath, &attributes, &config, nullptr);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError, status);
        LogEvent(driverObject, kMajorPnp, MSG_USB_DRIVER_LOAD_FAILED, status);
        LoggerClose();
    }
    return status;
}
