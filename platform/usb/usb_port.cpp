#include "usb_port.h"

#include <cstdio>

#include <algorithm>

#include "host_controller.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/io.h"
#include "platform/machine/machine.h"

namespace platform::usb {

UsbPort::UsbPort(std::shared_ptr<UsbDeviceModel> model) : model_(std::move(model)) {
    HostController* host = &HostController::get();
    model_->set_in_listener([host] { host->announce(); });
}

UsbPort::~UsbPort() { model_->set_in_listener(nullptr); }

NTSTATUS UsbPort::dispatch_pdo_irp(DEVICE_OBJECT*, IRP* irp) {
    NTSTATUS status = irp->IoStatus.Status;
    if (irp->Stack.MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        irp->Stack.Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME) {
        status = answer_controller_name(irp);
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbPort::answer_controller_name(IRP* irp) {
    if (!connected()) return STATUS_NO_SUCH_DEVICE;
    if (auto status = fault::hit("IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME")) return *status;
    // {u32 name length in bytes, UTF-16 name}: a short buffer gets the length alone.
    auto* buffer = static_cast<uint8_t*>(irp->Stack.Parameters.Others.Argument1);
    auto length = static_cast<ULONG>(reinterpret_cast<uintptr_t>(irp->Stack.Parameters.Others.Argument2));
    std::u16string_view name(kControllerDeviceName);
    ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    if (buffer == nullptr || length < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    std::memcpy(buffer, &nameBytes, sizeof(ULONG));
    ULONG room = length - sizeof(ULONG);
    ULONG copy = std::min(room, nameBytes);
    std::memcpy(buffer + sizeof(ULONG), name.data(), copy);
    if (room >= nameBytes + sizeof(WCHAR)) std::memset(buffer + sizeof(ULONG) + nameBytes, 0, sizeof(WCHAR));
    irp->IoStatus.Information = sizeof(ULONG) + copy;
    return STATUS_SUCCESS;
}

DevNode* plug(std::shared_ptr<UsbDeviceModel> model, const std::string& service, const std::u16string& instance) {
    const USB_DEVICE_DESCRIPTOR& d = model->device_descriptor();
    char ids[64];
    std::snprintf(ids, sizeof(ids), "USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
    std::u16string hardwareId = widen(ids);
    HostController::get();  // the bus exists before the first device on it
    auto port = std::make_shared<UsbPort>(std::move(model));
    return Machine::current().pnp().add_node(hardwareId + u"\\" + instance, {hardwareId}, service, port);
}

void unplug(DevNode& node, bool holdRelease) {
    if (UsbPort* port = port_of(node)) {
        port->disconnect();
        HostController::get().announce();  // its readers learn it at the next frame
    }
    Machine::current().pnp().surprise_remove(node, holdRelease);
}

UsbPort* port_of(DevNode& node) { return dynamic_cast<UsbPort*>(node.bus.get()); }

}  // namespace platform::usb
