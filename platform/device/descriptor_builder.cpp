#include "descriptor_builder.h"

#include <set>

namespace platform::device {

DescriptorBuilder& DescriptorBuilder::configuration(UCHAR value, UCHAR attributes, UCHAR maxPower) {
    return raw({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, value, 0, attributes, maxPower});
}

DescriptorBuilder& DescriptorBuilder::interface(UCHAR number, UCHAR alternateSetting, UCHAR endpoints,
                                                UCHAR interfaceClass, UCHAR subClass, UCHAR protocol,
                                                UCHAR stringIndex) {
    return raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternateSetting, endpoints, interfaceClass, subClass,
                protocol, stringIndex});
}

DescriptorBuilder& DescriptorBuilder::endpoint(UCHAR address, UCHAR attributes, USHORT maxPacketSize,
                                               UCHAR interval) {
    return raw({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, static_cast<uint8_t>(maxPacketSize & 0xFF),
                static_cast<uint8_t>(maxPacketSize >> 8), interval});
}

DescriptorBuilder& DescriptorBuilder::raw(std::initializer_list<uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

DescriptorBuilder& DescriptorBuilder::raw(const std::vector<uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<uint8_t> DescriptorBuilder::build() const {
    std::vector<uint8_t> out = bytes_;
    if (out.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return out;
    std::set<uint8_t> interfaces;
    for (size_t p = out[0]; p + 2 <= out.size() && out[p] >= 2; p += out[p]) {
        if (out[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && p + 2 < out.size()) interfaces.insert(out[p + 2]);
    }
    out[2] = static_cast<uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    out[4] = static_cast<uint8_t>(interfaces.size());
    return out;
}

USB_DEVICE_DESCRIPTOR make_device_descriptor(USHORT vendor, USHORT product, USHORT release, UCHAR manufacturer,
                                             UCHAR productString, UCHAR serial) {
    USB_DEVICE_DESCRIPTOR d{};
    d.bLength = sizeof(d);
    d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    d.bcdUSB = 0x0200;
    d.bDeviceClass = 0xEF;  // miscellaneous: interface association
    d.bDeviceSubClass = 0x02;
    d.bDeviceProtocol = 0x01;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vendor;
    d.idProduct = product;
    d.bcdDevice = release;
    d.iManufacturer = manufacturer;
    d.iProduct = productString;
    d.iSerialNumber = serial;
    d.bNumConfigurations = 1;
    return d;
}

}  // namespace platform::device
