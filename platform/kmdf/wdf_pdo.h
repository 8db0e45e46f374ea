// PDO initialisation: what a bus driver's child-creation callback sets on
// the child's device-init record before WdfDeviceCreate (identifiers, device
// text, default locale), and the capabilities of the created PDO.
#pragma once

#include "platform/kernel/pnp_device.h"
#include "wdf_device.h"

struct WDFDEVICE_INIT;

// The device id (the first hardware id, as a rule), one more hardware id, and
// the instance id that tells children with equal ids apart. PASSIVE_LEVEL.
NTSTATUS WdfPdoInitAssignDeviceID(WDFDEVICE_INIT* init, PCUNICODE_STRING deviceId);
NTSTATUS WdfPdoInitAddHardwareID(WDFDEVICE_INIT* init, PCUNICODE_STRING hardwareId);
NTSTATUS WdfPdoInitAssignInstanceID(WDFDEVICE_INIT* init, PCUNICODE_STRING instanceId);
// Description and location text of one locale (an LCID such as 0x409).
NTSTATUS WdfPdoInitAddDeviceText(WDFDEVICE_INIT* init, PCUNICODE_STRING description, PCUNICODE_STRING location,
                                 ULONG localeId);
void WdfPdoInitSetDefaultLocale(WDFDEVICE_INIT* init, ULONG localeId);

// The FDO of the bus the PDO sits on.
WDFDEVICE WdfPdoGetParent(WDFDEVICE pdo);

enum SYSTEM_POWER_STATE : ULONG {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum,
};

struct WDF_DEVICE_POWER_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE DeviceD1;
    WDF_TRI_STATE DeviceD2;
    WDF_TRI_STATE WakeFromD0;
    WDF_TRI_STATE WakeFromD1;
    WDF_TRI_STATE WakeFromD2;
    WDF_TRI_STATE WakeFromD3;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];  // by system state
    DEVICE_POWER_STATE DeviceWake;
    SYSTEM_POWER_STATE SystemWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
    DEVICE_POWER_STATE IdealDxStateForSx;
};

inline void WDF_DEVICE_POWER_CAPABILITIES_INIT(WDF_DEVICE_POWER_CAPABILITIES* caps) {
    std::memset(caps, 0, sizeof(*caps));
    caps->Size = sizeof(*caps);
    caps->DeviceD1 = caps->DeviceD2 = caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 =
        WdfUseDefault;
    for (auto& state : caps->DeviceState) state = PowerDeviceMaximum;  // "use the default"
    caps->DeviceWake = PowerDeviceMaximum;
    caps->SystemWake = PowerSystemMaximum;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = static_cast<ULONG>(-1);
    caps->IdealDxStateForSx = PowerDeviceMaximum;
}

// Kept for the PDOs of child lists, the devices that report them to the PnP manager here.
void WdfDeviceSetPowerCapabilities(WDFDEVICE device, WDF_DEVICE_POWER_CAPABILITIES* capabilities);
