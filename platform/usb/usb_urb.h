// The USB request block of an isochronous transfer, laid out as the USB
// stack defines it: a header, the transfer, and one descriptor per packet.
#pragma once

#include <cstddef>

#include "platform/kernel/ntstatus.h"
#include "usb_types.h"

using USBD_PIPE_HANDLE = void*;

inline constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
inline constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x1;
inline constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x2;
inline constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 0x4;
inline constexpr ULONG USBD_ISO_PACKETS_MAX = 1024;

struct URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;  // from the start of the transfer buffer
    ULONG Length;  // IN: set by the host to the bytes received
    USBD_STATUS Status;
};
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);

struct URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct URB_ISOCH_TRANSFER {
    URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PVOID TransferBufferMDL;
    void* UrbLink;
    URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

union URB {
    URB_HEADER UrbHeader;
    URB_ISOCH_TRANSFER UrbIsochronousTransfer;
};
using PURB = URB*;

constexpr size_t GET_ISO_URB_SIZE(ULONG packets) {
    return sizeof(URB_ISOCH_TRANSFER) + (packets - 1) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}
