// The framework's USB target objects behind WDFUSBDEVICE, WDFUSBINTERFACE
// and WDFUSBPIPE handles.
#pragma once

#include <mutex>
#include <vector>

#include "platform/kmdf/fx_object.h"
#include "usb_port.h"
#include "wdf_usb.h"

namespace platform::usb {

class FxUsbDevice;
class FxUsbInterface;

class FxUsbPipe : public kmdf::FxObject {
public:
    FxUsbPipe(FxUsbInterface* owner, const USB_ENDPOINT_DESCRIPTOR& endpoint, UCHAR settingIndex);

    const WDF_USB_PIPE_INFORMATION& information() const { return information_; }
    const USB_ENDPOINT_DESCRIPTOR& endpoint() const { return endpoint_; }
    FxUsbInterface* owner() const { return owner_; }

private:
    FxUsbInterface* owner_;
    USB_ENDPOINT_DESCRIPTOR endpoint_;
    WDF_USB_PIPE_INFORMATION information_{};
};

class FxUsbInterface : public kmdf::FxObject {
public:
    FxUsbInterface(FxUsbDevice* device, UCHAR number, std::vector<size_t> settingOffsets);

    UCHAR number() const { return number_; }
    UCHAR setting_count() const { return static_cast<UCHAR>(settings_.size()); }
    UCHAR configured_setting() const;
    const USB_INTERFACE_DESCRIPTOR* setting(UCHAR index) const;
    std::vector<FxUsbPipe*> pipes() const;
    FxUsbDevice* device() const { return device_; }

    // Makes `index` the configured setting (the device is told unless `quiet`)
    // and builds that setting's pipes anew.
    NTSTATUS configure(UCHAR index, bool tellDevice);

private:
    FxUsbDevice* device_;
    UCHAR number_;
    std::vector<size_t> settings_;  // offsets of the setting descriptors in the configuration
    mutable std::mutex lock_;
    UCHAR configured_ = 0;           // guarded by lock_
    std::vector<FxUsbPipe*> pipes_;  // guarded by lock_
};

class FxUsbDevice : public kmdf::FxObject {
public:
    FxUsbDevice(std::shared_ptr<UsbPort> port);

    UsbPort& port() { return *port_; }
    const USB_DEVICE_DESCRIPTOR& device_descriptor() const { return deviceDescriptor_; }
    const std::vector<uint8_t>& configuration() const { return configuration_; }
    const std::vector<FxUsbInterface*>& interfaces() const { return interfaces_; }
    bool connected() const { return port_->connected(); }

    // Builds the interface objects from the configuration descriptor.
    NTSTATUS build_interfaces();

private:
    std::shared_ptr<UsbPort> port_;
    USB_DEVICE_DESCRIPTOR deviceDescriptor_;
    std::vector<uint8_t> configuration_;
    std::vector<FxUsbInterface*> interfaces_;  // children, fixed after build_interfaces
};

FxUsbDevice* UsbDevice(WDFUSBDEVICE handle, const char* call);
FxUsbInterface* UsbInterface(WDFUSBINTERFACE handle, const char* call);
FxUsbPipe* UsbPipe(WDFUSBPIPE handle, const char* call);

}  // namespace platform::usb
