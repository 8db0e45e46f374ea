// The simulated USB host controller: one per machine. It runs the bus frame
// by frame on the machine clock (reads of the continuous readers complete at
// DISPATCH_LEVEL after their frame), and stands in for the controller's own
// device (\Device\USBFDO-0) and its root hub, which a function driver may
// look up for identification.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/io.h"
#include "usb_types.h"

namespace platform {
class Machine;
}

namespace platform::usb {

class FxUsbPipe;

inline constexpr const char16_t* kControllerDeviceName = u"\\Device\\USBFDO-0";

class HostController : public IrpHandler {
public:
    explicit HostController(Machine& machine);
    ~HostController() override;

    static HostController& get();

    void add_reader(FxUsbPipe* pipe);
    void remove_reader(FxUsbPipe* pipe);

    DEVICE_OBJECT* controller_device() { return &controller_; }
    DEVICE_OBJECT* root_hub() { return &rootHub_; }

    NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) override;
    std::u16string device_property(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property) override;

private:
    void on_frame(uint64_t frame);

    Machine& machine_;
    DEVICE_OBJECT controller_{};
    DEVICE_OBJECT rootHub_{};
    uint64_t listener_ = 0;
    std::mutex lock_;
    std::vector<FxUsbPipe*> readers_;  // guarded by lock_
};

}  // namespace platform::usb
