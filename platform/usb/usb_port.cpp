#include "usb_port.h"

#include <cstdio>

#include "platform/kernel/io.h"
#include "platform/machine/machine.h"

namespace platform::usb {

NTSTATUS UsbPort::dispatch_pdo_irp(DEVICE_OBJECT*, IRP* irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

DevNode* plug(std::shared_ptr<UsbDeviceModel> model, const std::string& service, const std::u16string& instance) {
    const USB_DEVICE_DESCRIPTOR& d = model->device_descriptor();
    char ids[64];
    std::snprintf(ids, sizeof(ids), "USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
    std::u16string hardwareId = widen(ids);
    auto port = std::make_shared<UsbPort>(std::move(model));
    return Machine::current().pnp().add_node(hardwareId + u"\\" + instance, {hardwareId}, service, port);
}

void unplug(DevNode& node, bool holdRelease) {
    if (UsbPort* port = port_of(node)) port->disconnect();
    Machine::current().pnp().surprise_remove(node, holdRelease);
}

UsbPort* port_of(DevNode& node) { return dynamic_cast<UsbPort*>(node.bus.get()); }

UsbPort* port_of_pdo(DEVICE_OBJECT* pdo) {
    auto* node = dynamic_cast<DevNode*>(pdo != nullptr ? pdo->Handler : nullptr);
    return node == nullptr ? nullptr : port_of(*node);
}

}  // namespace platform::usb
