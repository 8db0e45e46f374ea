// Framework device objects: creation, PnP and power callbacks, capabilities,
// device interfaces and query-interface.
#pragma once

#include "wdf_driver.h"

enum WDF_POWER_DEVICE_STATE : ULONG {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
};

using EVT_WDF_DEVICE_D0_ENTRY = NTSTATUS(WDFDEVICE device, WDF_POWER_DEVICE_STATE previousState);
using PFN_WDF_DEVICE_D0_ENTRY = EVT_WDF_DEVICE_D0_ENTRY*;
using EVT_WDF_DEVICE_D0_EXIT = NTSTATUS(WDFDEVICE device, WDF_POWER_DEVICE_STATE targetState);
using PFN_WDF_DEVICE_D0_EXIT = EVT_WDF_DEVICE_D0_EXIT*;
using EVT_WDF_DEVICE_PREPARE_HARDWARE = NTSTATUS(WDFDEVICE device, WDFCMRESLIST resourcesRaw,
                                                 WDFCMRESLIST resourcesTranslated);
using PFN_WDF_DEVICE_PREPARE_HARDWARE = EVT_WDF_DEVICE_PREPARE_HARDWARE*;
using EVT_WDF_DEVICE_RELEASE_HARDWARE = NTSTATUS(WDFDEVICE device, WDFCMRESLIST resourcesTranslated);
using PFN_WDF_DEVICE_RELEASE_HARDWARE = EVT_WDF_DEVICE_RELEASE_HARDWARE*;
using EVT_WDF_DEVICE_SURPRISE_REMOVAL = void(WDFDEVICE device);
using PFN_WDF_DEVICE_SURPRISE_REMOVAL = EVT_WDF_DEVICE_SURPRISE_REMOVAL*;

struct WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
};

inline void WDF_PNPPOWER_EVENT_CALLBACKS_INIT(WDF_PNPPOWER_EVENT_CALLBACKS* callbacks) {
    std::memset(callbacks, 0, sizeof(*callbacks));
    callbacks->Size = sizeof(*callbacks);
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT init, WDF_PNPPOWER_EVENT_CALLBACKS* callbacks);
void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT init, ULONG deviceType);
void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT init, BOOLEAN exclusive);

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* init, PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* device);

struct WDF_DEVICE_PNP_CAPABILITIES {
    ULONG Size;
    WDF_TRI_STATE LockSupported;
    WDF_TRI_STATE EjectSupported;
    WDF_TRI_STATE Removable;
    WDF_TRI_STATE DockDevice;
    WDF_TRI_STATE UniqueID;
    WDF_TRI_STATE SilentInstall;
    WDF_TRI_STATE SurpriseRemovalOK;
    WDF_TRI_STATE HardwareDisabled;
    WDF_TRI_STATE NoDisplayInUI;
    ULONG Address;
    ULONG UINumber;
};

inline void WDF_DEVICE_PNP_CAPABILITIES_INIT(WDF_DEVICE_PNP_CAPABILITIES* caps) {
    std::memset(caps, 0, sizeof(*caps));
    caps->Size = sizeof(*caps);
    caps->LockSupported = caps->EjectSupported = caps->Removable = caps->DockDevice = caps->UniqueID =
        caps->SilentInstall = caps->SurpriseRemovalOK = caps->HardwareDisabled = caps->NoDisplayInUI =
            WdfUseDefault;
    caps->Address = 0xFFFFFFFF;
    caps->UINumber = 0xFFFFFFFF;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE device, WDF_DEVICE_PNP_CAPABILITIES* capabilities);

// Registers an interface of `interfaceClass`; it becomes visible (and its
// arrival is announced) once the device has started.
NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE device, const GUID* interfaceClass,
                                        PCUNICODE_STRING referenceString);

DEVICE_OBJECT* WdfDeviceWdmGetDeviceObject(WDFDEVICE device);
DEVICE_OBJECT* WdfDeviceWdmGetPhysicalDevice(WDFDEVICE device);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE device);

// ---- query-interface ----------------------------------------------------------

using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);

struct INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
using PINTERFACE = INTERFACE*;
static_assert(sizeof(INTERFACE) == 32);

using EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST = NTSTATUS(WDFDEVICE device, GUID* interfaceType,
                                                                PINTERFACE exposedInterface,
                                                                PVOID exposedInterfaceSpecificData);
using PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST = EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST*;

struct WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    PINTERFACE Interface;
    const GUID* InterfaceType;
    BOOLEAN SendQueryToParentStack;
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest;
    BOOLEAN ImportInterface;
};

inline void WDF_QUERY_INTERFACE_CONFIG_INIT(WDF_QUERY_INTERFACE_CONFIG* config, PINTERFACE iface,
                                            const GUID* interfaceType,
                                            PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST callback) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->Interface = iface;
    config->InterfaceType = interfaceType;
    config->EvtDeviceProcessQueryInterfaceRequest = callback;
}

// The framework keeps a copy of `Interface` (its `Size` bytes). A query for
// the type either copies that into the requester's record and then calls the
// callback, or, with ImportInterface, hands the requester's record to the
// callback untouched; the callback's status is the query's.
NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE device, WDF_QUERY_INTERFACE_CONFIG* config);

namespace platform {
// Sends IRP_MN_QUERY_INTERFACE to the stack of `device` (what a requester's
// query does; the framework's I/O targets use it too).
NTSTATUS query_interface(DEVICE_OBJECT* device, const GUID& type, INTERFACE* iface, USHORT size, USHORT version,
                         PVOID specificData);
}  // namespace platform
