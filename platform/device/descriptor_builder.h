// Composes a configuration descriptor the way a firmware image lays it out:
// the configuration header, then interfaces, endpoints and class-specific
// descriptors in order. build() fixes wTotalLength and bNumInterfaces.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/usb/usb_types.h"

namespace platform::device {

class DescriptorBuilder {
public:
    DescriptorBuilder& configuration(UCHAR value, UCHAR attributes, UCHAR maxPower);
    DescriptorBuilder& interface(UCHAR number, UCHAR alternateSetting, UCHAR endpoints, UCHAR interfaceClass,
                                 UCHAR subClass, UCHAR protocol, UCHAR stringIndex = 0);
    DescriptorBuilder& endpoint(UCHAR address, UCHAR attributes, USHORT maxPacketSize, UCHAR interval);
    // Any other descriptor, given whole (bLength first).
    DescriptorBuilder& raw(std::initializer_list<uint8_t> bytes);
    DescriptorBuilder& raw(const std::vector<uint8_t>& bytes);

    std::vector<uint8_t> build() const;

private:
    std::vector<uint8_t> bytes_;
};

USB_DEVICE_DESCRIPTOR make_device_descriptor(USHORT vendor, USHORT product, USHORT release, UCHAR manufacturer,
                                             UCHAR productString, UCHAR serial);

}  // namespace platform::device
