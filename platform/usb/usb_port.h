// A USB device plugged into the simulated host: the bus side of its PDO.
// Plugging creates the device node (the PnP manager then loads the function
// driver); unplugging makes every later transfer fail with
// STATUS_NO_SUCH_DEVICE and surprise-removes the node.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/machine/pnp_manager.h"
#include "usb_device_model.h"

namespace platform::usb {

class UsbPort : public BusDevice {
public:
    // The device's announcements of IN data wake the host controller while it is plugged in.
    explicit UsbPort(std::shared_ptr<UsbDeviceModel> model);
    ~UsbPort() override;

    UsbDeviceModel& model() { return *model_; }
    std::shared_ptr<UsbDeviceModel> shared_model() { return model_; }
    bool connected() const { return connected_.load(std::memory_order_acquire); }
    void disconnect() { connected_.store(false, std::memory_order_release); }

    NTSTATUS dispatch_pdo_irp(DEVICE_OBJECT* pdo, IRP* irp) override;

private:
    NTSTATUS answer_controller_name(IRP* irp);

    std::shared_ptr<UsbDeviceModel> model_;
    std::atomic<bool> connected_{true};
};

// Plugs a device in: its node is `USB\VID_vvvv&PID_pppp\<instance>` and the
// driver named by `service` is loaded for it.
DevNode* plug(std::shared_ptr<UsbDeviceModel> model, const std::string& service, const std::u16string& instance);
// Pulls the device out: the port goes dead, then the node is surprise-removed.
void unplug(DevNode& node, bool holdRelease = false);
// The port of a node, or null when the node is not a USB device.
UsbPort* port_of(DevNode& node);

}  // namespace platform::usb
