// Driver entry and the driver object's clean-up.
#include "device.h"
#include "event_log.h"
#include "logger.h"
#include "public/messages.h"

#define LOG_FILE_NUMBER 457

using namespace vexa::log;

// Set at entry: non-paged allocations and user mappings are no-execute from Windows 6.2 on.
POOL_TYPE g_nonPagedPool = NonPagedPool;
bool g_mappingNoExecute = false;

namespace {

constexpr ULONG kWindows8Major = 6;
constexpr ULONG kWindows8Minor = 2;

// PASSIVE_LEVEL: the framework deletes the driver object at unload.
void UsbEvtDriverCleanup(WDFOBJECT) {
    TRACE(kLogInfo);
    LoggerClose();
}

}  // namespace

NTSTATUS UsbEvtDriverDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit);

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PUNICODE_STRING registryPath) {
    (void)LoggerOpen();  // tracing stays off without a logger
    TRACE(kLogInfo, driverObject);

    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > kWindows8Major ||
         (version.dwMajorVersion == kWindows8Major && version.dwMinorVersion >= kWindows8Minor))) {
        g_nonPagedPool = NonPagedPoolNx;
        g_mappingNoExecute = true;
    }

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
