#include "usbd.h"

#include <set>

namespace {

UCHAR* Bytes(PVOID p) { return static_cast<UCHAR*>(p); }

}  // namespace

USBD_STATUS USBD_ValidateConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR descriptor, ULONG bufferLength,
                                                 USHORT level, UCHAR** offset, ULONG) {
    UCHAR* base = Bytes(descriptor);
    auto fail = [&](UCHAR* at, USBD_STATUS status) {
        if (offset != nullptr) *offset = at;
        return status;
    };
    if (bufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return fail(base, USBD_STATUS_BAD_DESCRIPTOR_BLEN);
    }
    if (descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) return fail(base, USBD_STATUS_BAD_DESCRIPTOR_TYPE);
    if (descriptor->wTotalLength > bufferLength || descriptor->wTotalLength < descriptor->bLength) {
        return fail(base, USBD_STATUS_BAD_CONFIG_DESC_LENGTH);
    }
    if (level < 2) return USBD_STATUS_SUCCESS;

    UCHAR* end = base + descriptor->wTotalLength;
    UCHAR* p = base + descriptor->bLength;
    std::set<UCHAR> interfaces;
    std::set<UCHAR> endpointsInSetting;
    while (p < end) {
        if (end - p < 2) return fail(p, USBD_STATUS_BAD_DESCRIPTOR_BLEN);
        auto* common = reinterpret_cast<USB_COMMON_DESCRIPTOR*>(p);
        if (common->bLength < 2 || common->bLength > end - p) return fail(p, USBD_STATUS_BAD_DESCRIPTOR_BLEN);
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (common->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) return fail(p, USBD_STATUS_BAD_INTERFACE_DESCRIPTOR);
            interfaces.insert(reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(p)->bInterfaceNumber);
            endpointsInSetting.clear();
        } else if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (common->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) return fail(p, USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR);
            UCHAR address = reinterpret_cast<USB_ENDPOINT_DESCRIPTOR*>(p)->bEndpointAddress;
            if (level >= 3 && !endpointsInSetting.insert(address).second) {
                return fail(p, USBD_STATUS_BAD_ENDPOINT_ADDRESS);
            }
        }
        p += common->bLength;
    }
    if (interfaces.size() != descriptor->bNumInterfaces) return fail(base, USBD_STATUS_BAD_NUMBER_OF_INTERFACES);
    return USBD_STATUS_SUCCESS;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR descriptor, PVOID start,
                                                              LONG interfaceNumber, LONG alternateSetting,
                                                              LONG interfaceClass, LONG interfaceSubClass,
                                                              LONG interfaceProtocol) {
    UCHAR* base = Bytes(descriptor);
    UCHAR* end = base + descriptor->wTotalLength;
    UCHAR* p = start != nullptr ? Bytes(start) : base;
    if (p < base || p >= end) return nullptr;
    for (;;) {
        auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(descriptor, descriptor->wTotalLength, p, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (found == nullptr) return nullptr;
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (interfaceNumber == -1 || found->bInterfaceNumber == interfaceNumber) &&
            (alternateSetting == -1 || found->bAlternateSetting == alternateSetting) &&
            (interfaceClass == -1 || found->bInterfaceClass == interfaceClass) &&
            (interfaceSubClass == -1 || found->bInterfaceSubClass == interfaceSubClass) &&
            (interfaceProtocol == -1 || found->bInterfaceProtocol == interfaceProtocol)) {
            return found;
        }
        p = Bytes(found) + found->bLength;
    }
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID buffer, ULONG totalLength, PVOID start, LONG type) {
    UCHAR* base = Bytes(buffer);
    UCHAR* end = base + totalLength;
    UCHAR* p = Bytes(start);
    if (p < base) return nullptr;
    while (end - p >= 2) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (common->bLength == 0 || common->bLength > end - p) return nullptr;
        if (common->bDescriptorType == type) return common;
        p += common->bLength;
    }
    return nullptr;
}
