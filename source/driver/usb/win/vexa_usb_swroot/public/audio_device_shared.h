// Names the root driver shares with the USB function driver's direct-call
// interface: the interface classes and the DCP categories and results. They
// are kept here under the same names until the USB side's public header
// (audio_device_interface.h) is there to include instead.
#pragma once

#include <cstdint>

#include "platform/kernel/nt_types.h"

// {6D41C2A8-0B93-4F70-9C02-58F1A7D3E64B}: the USB function driver's device interface.
inline constexpr GUID GUID_DEVINTERFACE_AUDIODEVICE = {
    0x6D41C2A8, 0x0B93, 0x4F70, {0x9C, 0x02, 0x58, 0xF1, 0xA7, 0xD3, 0xE6, 0x4B}};
// {6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}: the root's PAL interface class (also the direct-call interface type).
inline constexpr GUID GUID_DEVINTERFACE_PAL = {
    0x6D41C2A8, 0x3B57, 0x4E19, {0x9C, 0x02, 0x58, 0xF1, 0xA7, 0xD3, 0xE6, 0x4B}};

// DCP results (u32).
inline constexpr ULONG kUsbResultOk = 0;
inline constexpr ULONG kUsbResultFailed = 1;
inline constexpr ULONG kUsbResultNotConnected = 11;
inline constexpr ULONG kUsbResultNotReady = 12;

// DCP categories.
inline constexpr USHORT kDcpCategoryBus = 0x400;        // the root driver's own commands
inline constexpr USHORT kDcpCategoryUsbDevice = 0x401;  // the USB function driver's own commands
