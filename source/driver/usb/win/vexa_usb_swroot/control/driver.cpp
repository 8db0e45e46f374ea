// Driver entry and unload of the root driver.
#define LOG_FILE_NUMBER 100

#include "control/root.h"
#include "engine/root_engines.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "windows_version.h"

using namespace vexa::log;

// PASSIVE_LEVEL
extern "C" [[nodiscard]] __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                      PUNICODE_STRING registryPath) {
    PAGED_CODE();
    // Logging never fails the driver: without a logger tracing stays off.
    (void)LoggerOpen();
    // The user-mode mappings take the no-execute flag from Windows 8 on.
    ReadWindowsVersion();
    TRACE(kLogInfo | kLogInterface, vexa::pal::kDriverVersion);

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, RootEvtDriverDeviceAdd);
    config.EvtDriverUnload = RootEvtDriverUnload;
    NTSTATUS status = WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
    // The engines' list, through which the handles outside drivers hand back are found.
    if (NT_SUCCESS(status)) status = RootEnginesInit();
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogInterface, status);
        LogEvent(driverObject, kMajorPnp, static_cast<ULONG>(STATUS_FAILED_DRIVER_ENTRY), status);
        LoggerClose();
    }
    return status;
}

// PASSIVE_LEVEL
void RootEvtDriverUnload(WDFDRIVER) {
    PAGED_CODE();
    TRACE(kLogInfo | kLogInterface);
    RootEnginesCleanup();
    LoggerClose();
}
