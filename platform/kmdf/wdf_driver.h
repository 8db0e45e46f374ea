// The framework driver object.
#pragma once

#include "wdf_object.h"

struct WDFDEVICE_INIT;
using PWDFDEVICE_INIT = WDFDEVICE_INIT*;

using EVT_WDF_DRIVER_DEVICE_ADD = NTSTATUS(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit);
using PFN_WDF_DRIVER_DEVICE_ADD = EVT_WDF_DRIVER_DEVICE_ADD*;
using EVT_WDF_DRIVER_UNLOAD = void(WDFDRIVER driver);
using PFN_WDF_DRIVER_UNLOAD = EVT_WDF_DRIVER_UNLOAD*;

struct WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
};

inline void WDF_DRIVER_CONFIG_INIT(WDF_DRIVER_CONFIG* config, PFN_WDF_DRIVER_DEVICE_ADD deviceAdd) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->EvtDriverDeviceAdd = deviceAdd;
}

namespace platform::kmdf {
NTSTATUS DriverCreate(WDF_DRIVER_GLOBALS* globals, PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                      PWDF_OBJECT_ATTRIBUTES attributes, WDF_DRIVER_CONFIG* config, WDFDRIVER* driver);
}

inline NTSTATUS WdfDriverCreate(PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                                PWDF_OBJECT_ATTRIBUTES attributes, WDF_DRIVER_CONFIG* config, WDFDRIVER* driver) {
    return platform::kmdf::DriverCreate(&WdfDriverGlobals, driverObject, registryPath, attributes, config, driver);
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER driver);
