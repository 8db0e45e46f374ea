// SetupAPI's device-interface enumeration, as the system's user-mode parts use it.
#pragma once

#include "windows.h"

using HDEVINFO = void*;
inline const HDEVINFO INVALID_HANDLE_VALUE_DEVINFO = INVALID_HANDLE_VALUE;

inline constexpr DWORD DIGCF_PRESENT = 0x02;
inline constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
inline constexpr DWORD SPINT_ACTIVE = 0x01;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;  // sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
    WCHAR DevicePath[1];
};

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;  // sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 8 with its padding
    CHAR DevicePath[1];
};
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);

// A snapshot of the interfaces of a class (DIGCF_DEVICEINTERFACE; with
// DIGCF_PRESENT only the enabled ones).
HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND parent, DWORD flags);
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO devices, SP_DEVINFO_DATA* deviceInfo, const GUID* interfaceClass,
                                 DWORD index, SP_DEVICE_INTERFACE_DATA* data);
// Without room for the path: ERROR_INSUFFICIENT_BUFFER and the size needed.
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo);
// The path in the ANSI code page; the size needed counts bytes.
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO devices);
