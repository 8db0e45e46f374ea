// Plug and Play notification of device-interface arrival and removal. The
// callbacks run at PASSIVE_LEVEL on the PnP notification worker, one at a
// time in the order the changes happened.
#pragma once

#include "io.h"

enum IO_NOTIFICATION_EVENT_CATEGORY : ULONG {
    EventCategoryReserved = 0,
    EventCategoryHardwareProfileChange,
    EventCategoryDeviceInterfaceChange,
    EventCategoryTargetDeviceChange,
};

inline constexpr ULONG PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES = 0x1;

// {CB3A4004-46F0-11D0-B08F-00609713053F}
inline constexpr GUID GUID_DEVICE_INTERFACE_ARRIVAL = {
    0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
// {CB3A4005-46F0-11D0-B08F-00609713053F}
inline constexpr GUID GUID_DEVICE_INTERFACE_REMOVAL = {
    0xCB3A4005, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};

struct DEVICE_INTERFACE_CHANGE_NOTIFICATION {
    USHORT Version;
    USHORT Size;
    GUID Event;
    GUID InterfaceClassGuid;
    PUNICODE_STRING SymbolicLinkName;
};

using PDRIVER_NOTIFICATION_CALLBACK_ROUTINE = NTSTATUS (*)(PVOID notificationStructure, PVOID context);

// Registers for arrivals and removals of interfaces of `*eventCategoryData`
// (a GUID). With PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES the
// interfaces present now are announced first. PASSIVE_LEVEL.
NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, PVOID eventCategoryData,
                                        PDRIVER_OBJECT driverObject, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback,
                                        PVOID context, PVOID* notificationEntry);
// Ends a registration; waits for a callback of it still running (unless
// called from that callback). PASSIVE_LEVEL.
NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID notificationEntry);

namespace platform {
// Waits until every interface notification queued so far has been delivered.
void drain_pnp_notifications();
}  // namespace platform
