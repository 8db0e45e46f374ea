// Framework child lists: a bus driver's FDO describes its children by
// identification descriptions; the framework creates a PDO for each new
// present description when the PnP manager next enumerates the bus
// (asynchronously, after the list changed) and reports the missing ones, whose
// PDOs the PnP manager then removes.
#pragma once

#include "wdf_object.h"

struct WDFDEVICE_INIT;

struct WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER {
    ULONG IdentificationDescriptionSize;  // bytes of the whole description, this header included
};
using PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER = WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*;

struct WDF_CHILD_ADDRESS_DESCRIPTION_HEADER {
    ULONG AddressDescriptionSize;
};
using PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER = WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*;

// Creates the child's PDO with WdfDeviceCreate from `childInit` (PASSIVE_LEVEL,
// on the PnP manager's enumeration worker). A failure, or a success without a
// device, leaves the child uncreated: it is dropped from the list.
using EVT_WDF_CHILD_LIST_CREATE_DEVICE = NTSTATUS(WDFCHILDLIST childList,
                                                  PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER description,
                                                  WDFDEVICE_INIT* childInit);
using PFN_WDF_CHILD_LIST_CREATE_DEVICE = EVT_WDF_CHILD_LIST_CREATE_DEVICE*;
// TRUE when two descriptions name the same child; without one the bytes are compared.
using EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE = BOOLEAN(
    WDFCHILDLIST childList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER first,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER second);
using PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE = EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE*;

struct WDF_CHILD_LIST_CONFIG {
    ULONG Size;
    ULONG IdentificationDescriptionSize;
    ULONG AddressDescriptionSize;  // address descriptions are not modelled: 0
    PFN_WDF_CHILD_LIST_CREATE_DEVICE EvtChildListCreateDevice;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE EvtChildListIdentificationDescriptionCompare;
};
using PWDF_CHILD_LIST_CONFIG = WDF_CHILD_LIST_CONFIG*;

inline void WDF_CHILD_LIST_CONFIG_INIT(WDF_CHILD_LIST_CONFIG* config, ULONG identificationDescriptionSize,
                                       PFN_WDF_CHILD_LIST_CREATE_DEVICE createDevice) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->IdentificationDescriptionSize = identificationDescriptionSize;
    config->EvtChildListCreateDevice = createDevice;
}

enum INTERFACE_TYPE : LONG { InterfaceTypeUndefined = -1, PNPBus = 15 };

struct PNP_BUS_INFORMATION {
    GUID BusTypeGuid;
    INTERFACE_TYPE LegacyBusType;
    ULONG BusNumber;
};
using PPNP_BUS_INFORMATION = PNP_BUS_INFORMATION*;

// What the bus FDO's children report as their bus (kept with its default child list).
void WdfDeviceSetBusInformationForChildren(WDFDEVICE device, PPNP_BUS_INFORMATION busInformation);

// The FDO being created gets a default child list with this configuration.
void WdfFdoInitSetDefaultChildListConfig(WDFDEVICE_INIT* init, PWDF_CHILD_LIST_CONFIG config,
                                         PWDF_OBJECT_ATTRIBUTES attributes);
// Null when the device has none.
WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE device);
WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST childList);

// Adds a child as present. An equal child that is present already:
// STATUS_OBJECT_NAME_EXISTS and nothing changes; an equal one marked missing
// and not yet reported is present again. PASSIVE_LEVEL.
NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(WDFCHILDLIST childList,
                                                          PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address);
// Marks the equal child missing; STATUS_NO_SUCH_DEVICE when there is none. PASSIVE_LEVEL.
NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(WDFCHILDLIST childList,
                                                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification);

enum WDF_RETRIEVE_CHILD_FLAGS : ULONG {
    WdfRetrieveUnspecified = 0,
    WdfRetrievePresentChildren = 0x1,
    WdfRetrieveMissingChildren = 0x2,
    WdfRetrievePendingChildren = 0x4,
    WdfRetrieveAllChildren = 0x7,
};

struct WDF_CHILD_LIST_ITERATOR {
    ULONG Size;
    ULONG Flags;
    PVOID Reserved[4];
};
using PWDF_CHILD_LIST_ITERATOR = WDF_CHILD_LIST_ITERATOR*;

inline void WDF_CHILD_LIST_ITERATOR_INIT(WDF_CHILD_LIST_ITERATOR* iterator, ULONG flags) {
    std::memset(iterator, 0, sizeof(*iterator));
    iterator->Size = sizeof(*iterator);
    iterator->Flags = flags;
}

enum WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS : ULONG {
    WdfChildListRetrieveDeviceUndefined = 0,
    WdfChildListRetrieveDeviceSuccess,
    WdfChildListRetrieveDeviceNotYetCreated,
    WdfChildListRetrieveDeviceNoSuchDevice,
};

struct WDF_CHILD_RETRIEVE_INFO {
    ULONG Size;
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription;  // receives a copy
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription;
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS Status;
};
using PWDF_CHILD_RETRIEVE_INFO = WDF_CHILD_RETRIEVE_INFO*;

inline void WDF_CHILD_RETRIEVE_INFO_INIT(WDF_CHILD_RETRIEVE_INFO* info,
                                         PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification) {
    std::memset(info, 0, sizeof(*info));
    info->Size = sizeof(*info);
    info->IdentificationDescription = identification;
}

// An iteration holds off enumeration: children marked missing or added
// during it are reported when it ends. Begin and end on one thread. PASSIVE_LEVEL.
void WdfChildListBeginIteration(WDFCHILDLIST childList, PWDF_CHILD_LIST_ITERATOR iterator);
// The next child the iterator's flags select, in the order they were added:
// its description copied into `info`, its PDO (null when not created yet).
// STATUS_NO_MORE_ENTRIES after the last; STATUS_INVALID_PARAMETER when the
// description buffer is not of the list's size.
NTSTATUS WdfChildListRetrieveNextDevice(WDFCHILDLIST childList, PWDF_CHILD_LIST_ITERATOR iterator, WDFDEVICE* device,
                                        PWDF_CHILD_RETRIEVE_INFO info);
void WdfChildListEndIteration(WDFCHILDLIST childList, PWDF_CHILD_LIST_ITERATOR iterator);
