// A USB device defined by its descriptors and strings. It records the
// configuration and interface selections the host makes, refuses class and
// vendor requests it does not serve with a stall, and can be told to refuse
// an alternate setting (no bandwidth). Devices with behaviour derive from it.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/usb/usb_device_model.h"

namespace platform::device {

class SimulatedUsbDevice : public usb::UsbDeviceModel {
public:
    SimulatedUsbDevice(USB_DEVICE_DESCRIPTOR device, std::vector<uint8_t> configuration,
                       std::map<UCHAR, std::u16string> strings);

    const USB_DEVICE_DESCRIPTOR& device_descriptor() const override { return device_; }
    const std::vector<uint8_t>& configuration_descriptor() const override { return configuration_; }
    std::optional<std::u16string> string(UCHAR index, USHORT language) const override;
    usb::ControlResult control(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) override;
    NTSTATUS set_configuration(UCHAR configurationValue) override;
    NTSTATUS set_interface(UCHAR interfaceNumber, UCHAR alternateSetting) override;

    // Every (interface, alternate setting) the host selected, in order.
    std::vector<std::pair<UCHAR, UCHAR>> interface_selections() const;
    UCHAR current_setting(UCHAR interfaceNumber) const;
    // The next selection of a non-zero setting fails with `status`.
    void refuse_next_setting(NTSTATUS status);

protected:
    // The selected setting of an interface; caller holds lock_ (asked every frame: inline).
    UCHAR current_setting_locked(UCHAR interfaceNumber) const { return settings_[interfaceNumber]; }

    mutable std::mutex lock_;

private:
    USB_DEVICE_DESCRIPTOR device_;
    std::vector<uint8_t> configuration_;
    std::map<UCHAR, std::u16string> strings_;
    std::vector<std::pair<UCHAR, UCHAR>> selections_;  // guarded by lock_
    std::array<UCHAR, 256> settings_{};                // by interface number, 0 until selected; guarded by lock_
    NTSTATUS refuseNext_ = STATUS_SUCCESS;             // guarded by lock_
};

// The least a USB device can be: one configuration with no interfaces.
std::shared_ptr<SimulatedUsbDevice> make_minimal_device(USHORT vendor, USHORT product);

}  // namespace platform::device
