// USBD helpers for configuration descriptors: validation and searches.
#pragma once

#include "platform/kernel/ntstatus.h"
#include "usb_types.h"

inline constexpr USBD_STATUS USBD_STATUS_BAD_DESCRIPTOR = NTSTATUS_VALUE(0xC0100000);
inline constexpr USBD_STATUS USBD_STATUS_BAD_DESCRIPTOR_BLEN = NTSTATUS_VALUE(0xC0100001);
inline constexpr USBD_STATUS USBD_STATUS_BAD_DESCRIPTOR_TYPE = NTSTATUS_VALUE(0xC0100002);
inline constexpr USBD_STATUS USBD_STATUS_BAD_INTERFACE_DESCRIPTOR = NTSTATUS_VALUE(0xC0100003);
inline constexpr USBD_STATUS USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR = NTSTATUS_VALUE(0xC0100004);
inline constexpr USBD_STATUS USBD_STATUS_BAD_CONFIG_DESC_LENGTH = NTSTATUS_VALUE(0xC0100006);
inline constexpr USBD_STATUS USBD_STATUS_BAD_NUMBER_OF_INTERFACES = NTSTATUS_VALUE(0xC0100007);
inline constexpr USBD_STATUS USBD_STATUS_BAD_ENDPOINT_ADDRESS = NTSTATUS_VALUE(0xC0100009);

// Validates a configuration descriptor. Level 1 checks the header and
// wTotalLength against the buffer; level 2 also walks every descriptor by its
// bLength (none zero, none running past the end) and checks the interface and
// endpoint descriptors' lengths; level 3 also refuses an endpoint address used
// twice within one alternate setting. On failure `offset` (when given) points
// at the offending descriptor. Returns USBD_STATUS_SUCCESS or an error.
USBD_STATUS USBD_ValidateConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR descriptor, ULONG bufferLength,
                                                 USHORT level, UCHAR** offset, ULONG tag);

// The first interface descriptor at or after `start` that matches; -1 is a
// wildcard for each of the five criteria. Null when none matches.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR descriptor, PVOID start,
                                                              LONG interfaceNumber, LONG alternateSetting,
                                                              LONG interfaceClass, LONG interfaceSubClass,
                                                              LONG interfaceProtocol);

// The first descriptor of `type` at or after `start` within `totalLength`
// bytes of `buffer`; null when none (or when a zero length stops the walk).
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID buffer, ULONG totalLength, PVOID start, LONG type);
