// Driver entry and unload of the root driver.
#define LOG_FILE_NUMBER 100

#include "event_log.h"
#include "logger.h"
#include "public/messages.h"
#include "root.h"

using namespace vexa::log;

namespace {

constexpr ULONG kWindows8Major = 6;
constexpr ULONG kWindows8Minor = 2;

}  // namespace

bool g_mappingsNoExecute = false;

// PASSIVE_LEVEL
extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                      PUNICODE_STRING registryPath) {
    // Logging never fails the driver: without a logger tracing stays off.
    (void)LoggerOpen();
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (NT_SUCCESS(RtlGetVersion(&version))) {
        g_mappingsNoExecute = version.dwMajorVersion > kWindows8Major ||
                              (version.dwMajorVersion == kWindows8Major && version.dwMinorVersion >= kWindows8Minor);
    }
    TRACE(kLogInfo | kLogInterface, vexa::pal::kDriverVersion);

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, RootEvtDriverDeviceAdd);
    config.EvtDriverUnload = RootEvtDriverUnload;
    NTSTATUS status = WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogInterface, status);
        LogEvent(driverObject, kMajorPnp, static_cast<ULONG>(STATUS_FAILED_DRIVER_ENTRY), status);
        LoggerClose();
    }
    return status;
}

// PASSIVE_LEVEL
void RootEvtDriverUnload(WDFDRIVER) {
    TRACE(kLogInfo | kLogInterface);
    LoggerClose();
}
