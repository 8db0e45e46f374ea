#include "host_controller.h"

#include "fx_usb.h"
#include "platform/kernel/ntddk.h"
#include "platform/machine/machine.h"
#include "platform/machine/object_namespace.h"

namespace platform::usb {

namespace {
constexpr ULONG kRootHubTag = 0x62755248;  // "HRub"
const char16_t kRootHubIds[] = u"USB\\ROOT_HUB20&VID8086&PID8C31&REV0005\0USB\\ROOT_HUB20\0";
}  // namespace

HostController::HostController(Machine& machine) : machine_(machine) {
    for (DEVICE_OBJECT* d : {&controller_, &rootHub_}) {
        d->Type = IO_TYPE_DEVICE;
        d->Size = sizeof(DEVICE_OBJECT);
        d->DeviceType = FILE_DEVICE_BUS_EXTENDER;
        d->Handler = this;
    }
    machine_.names().add_device(kControllerDeviceName, &controller_);
    listener_ = machine_.clock().add_frame_listener([this](uint64_t frame) { on_frame(frame); });
}

HostController::~HostController() {
    machine_.clock().remove_frame_listener(listener_);
    machine_.names().remove_device(kControllerDeviceName);
}

HostController& HostController::get() { return Machine::current().attachment<HostController>(); }

void HostController::add_reader(FxUsbPipe* pipe) {
    std::lock_guard lock(lock_);
    readers_.push_back(pipe);
}

void HostController::remove_reader(FxUsbPipe* pipe) {
    std::lock_guard lock(lock_);
    std::erase(readers_, pipe);
}

void HostController::on_frame(uint64_t) {
    std::vector<FxUsbPipe*> readers;
    {
        std::lock_guard lock(lock_);
        readers = readers_;
        for (FxUsbPipe* pipe : readers) pipe->add_reference();
    }
    for (FxUsbPipe* pipe : readers) {
        pipe->run_reader();
        pipe->release();
    }
}

NTSTATUS HostController::dispatch_irp(DEVICE_OBJECT* device, IRP* irp) {
    NTSTATUS status = STATUS_SUCCESS;
    switch (irp->Stack.MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            break;
        case IRP_MJ_PNP:
            if (device == &controller_ && irp->Stack.MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
                irp->Stack.Parameters.QueryDeviceRelations.Type == BusRelations) {
                // The caller owns the list (ExFreePool) and the reference on each object in it.
                auto* relations = static_cast<DEVICE_RELATIONS*>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kRootHubTag));
                if (relations == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                    break;
                }
                relations->Count = 1;
                relations->Objects[0] = &rootHub_;
                ObReferenceObject(&rootHub_);
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            } else {
                status = irp->IoStatus.Status;
            }
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::u16string HostController::device_property(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property) {
    if (device != &rootHub_ || property != DevicePropertyHardwareID) return {};
    return std::u16string(kRootHubIds, std::size(kRootHubIds));
}

}  // namespace platform::usb
