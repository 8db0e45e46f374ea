#include "simulated_usb_device.h"

#include "descriptor_builder.h"

namespace platform::device {

inline constexpr USHORT kLanguageEnglishUs = 0x0409;

SimulatedUsbDevice::SimulatedUsbDevice(USB_DEVICE_DESCRIPTOR device, std::vector<uint8_t> configuration,
                                       std::map<UCHAR, std::u16string> strings)
    : device_(device), configuration_(std::move(configuration)), strings_(std::move(strings)) {}

std::optional<std::u16string> SimulatedUsbDevice::string(UCHAR index, USHORT language) const {
    if (language != kLanguageEnglishUs) return std::nullopt;
    auto it = strings_.find(index);
    if (it == strings_.end()) return std::nullopt;
    return it->second;
}

usb::ControlResult SimulatedUsbDevice::control(const WDF_USB_CONTROL_SETUP_PACKET&, uint8_t*) {
    return {usb::kStall, 0};
}

NTSTATUS SimulatedUsbDevice::set_configuration(UCHAR) {
    std::lock_guard lock(lock_);
    settings_.fill(0);
    return STATUS_SUCCESS;
}

NTSTATUS SimulatedUsbDevice::set_interface(UCHAR interfaceNumber, UCHAR alternateSetting) {
    std::lock_guard lock(lock_);
    if (alternateSetting != 0 && refuseNext_ != STATUS_SUCCESS) {
        NTSTATUS status = refuseNext_;
        refuseNext_ = STATUS_SUCCESS;
        return status;
    }
    selections_.emplace_back(interfaceNumber, alternateSetting);
    settings_[interfaceNumber] = alternateSetting;
    return STATUS_SUCCESS;
}

std::vector<std::pair<UCHAR, UCHAR>> SimulatedUsbDevice::interface_selections() const {
    std::lock_guard lock(lock_);
    return selections_;
}

UCHAR SimulatedUsbDevice::current_setting(UCHAR interfaceNumber) const {
    std::lock_guard lock(lock_);
    return current_setting_locked(interfaceNumber);
}

void SimulatedUsbDevice::refuse_next_setting(NTSTATUS status) {
    std::lock_guard lock(lock_);
    refuseNext_ = status;
}

std::shared_ptr<SimulatedUsbDevice> make_minimal_device(USHORT vendor, USHORT product) {
    auto configuration = DescriptorBuilder().configuration(1, 0x80, 50).build();
    return std::make_shared<SimulatedUsbDevice>(make_device_descriptor(vendor, product, 0x0100, 0, 0, 0),
                                                std::move(configuration), std::map<UCHAR, std::u16string>{});
}

}  // namespace platform::device
