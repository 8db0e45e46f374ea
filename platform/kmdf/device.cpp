#include "fx_device.h"

#include "fx_driver.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"

namespace platform::kmdf {

FxDevice::FxDevice(WDFDEVICE_INIT* init)
    : FxObject(FxType::Device),
      driver_(init->driver),
      pdo_(init->pdo),
      pdoName_(init->pdoName),
      instanceId_(init->instanceId),
      callbacks_(init->pnpPower) {
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities_);
    fdo_.Type = IO_TYPE_DEVICE;
    fdo_.Size = sizeof(DEVICE_OBJECT);
    fdo_.DriverObject = driver_->wdm();
    fdo_.DeviceType = init->deviceType;
    fdo_.DeviceExtension = this;
    fdo_.Handler = this;
    fdo_.LowerDevice = pdo_;
    if (pdo_ != nullptr) pdo_->AttachedDevice = &fdo_;
}

FxDevice::~FxDevice() {
    if (pdo_ != nullptr && pdo_->AttachedDevice == &fdo_) pdo_->AttachedDevice = nullptr;
}

void FxDevice::set_capabilities(const WDF_DEVICE_PNP_CAPABILITIES& caps) {
    std::lock_guard lock(lock_);
    capabilities_ = caps;
}

NTSTATUS FxDevice::prepare_hardware() {
    if (callbacks_.EvtDevicePrepareHardware == nullptr) return STATUS_SUCCESS;
    return callbacks_.EvtDevicePrepareHardware(as_handle<WDFDEVICE>(), nullptr, nullptr);
}

NTSTATUS FxDevice::release_hardware() {
    if (callbacks_.EvtDeviceReleaseHardware == nullptr) return STATUS_SUCCESS;
    return callbacks_.EvtDeviceReleaseHardware(as_handle<WDFDEVICE>(), nullptr);
}

NTSTATUS FxDevice::d0_entry(WDF_POWER_DEVICE_STATE previous) {
    if (callbacks_.EvtDeviceD0Entry == nullptr) return STATUS_SUCCESS;
    return callbacks_.EvtDeviceD0Entry(as_handle<WDFDEVICE>(), previous);
}

NTSTATUS FxDevice::d0_exit(WDF_POWER_DEVICE_STATE target) {
    if (callbacks_.EvtDeviceD0Exit == nullptr) return STATUS_SUCCESS;
    return callbacks_.EvtDeviceD0Exit(as_handle<WDFDEVICE>(), target);
}

void FxDevice::surprise_removal() {
    if (callbacks_.EvtDeviceSurpriseRemoval != nullptr) callbacks_.EvtDeviceSurpriseRemoval(as_handle<WDFDEVICE>());
}

void FxDevice::set_started(bool started) {
    std::vector<uint64_t> ids;
    {
        std::lock_guard lock(lock_);
        started_ = started;
        ids = interfaces_;
    }
    for (uint64_t id : ids) Machine::current().interfaces().set_enabled(id, started);
}

void FxDevice::remove() {
    set_started(false);
    delete_object();
}

void FxDevice::dispose() {
    Machine::current().interfaces().remove_device(pdo_);
    if (driver_ != nullptr && driver_->wdm()->Platform != nullptr) driver_->wdm()->Platform->devices -= 1;
}

NTSTATUS FxDevice::add_interface(const GUID& interfaceClass, PCUNICODE_STRING referenceString) {
    std::u16string reference = referenceString != nullptr ? std::u16string(view(*referenceString)) : u"";
    uint64_t id = Machine::current().interfaces().add(interfaceClass, pdo_, pdoName_, instanceId_, reference);
    bool enableNow;
    {
        std::lock_guard lock(lock_);
        interfaces_.push_back(id);
        enableNow = started_;
    }
    if (enableNow) Machine::current().interfaces().set_enabled(id, true);
    return STATUS_SUCCESS;
}

NTSTATUS FxDevice::add_query_interface(const WDF_QUERY_INTERFACE_CONFIG& config) {
    if (config.Interface == nullptr || config.InterfaceType == nullptr || config.Interface->Size < sizeof(INTERFACE)) {
        return STATUS_INVALID_PARAMETER;
    }
    QueryInterface qi;
    qi.type = *config.InterfaceType;
    const auto* bytes = reinterpret_cast<const uint8_t*>(config.Interface);
    qi.copy.assign(bytes, bytes + config.Interface->Size);
    qi.import = config.ImportInterface;
    qi.callback = config.EvtDeviceProcessQueryInterfaceRequest;
    std::lock_guard lock(lock_);
    queryInterfaces_.push_back(std::move(qi));
    return STATUS_SUCCESS;
}

NTSTATUS FxDevice::process_query_interface(IRP* irp) {
    auto& params = irp->Stack.Parameters.QueryInterface;
    QueryInterface found;
    bool have = false;
    {
        std::lock_guard lock(lock_);
        for (auto& qi : queryInterfaces_) {
            if (params.InterfaceType != nullptr && qi.type == *params.InterfaceType) {
                found = qi;
                have = true;
                break;
            }
        }
    }
    if (!have || params.Interface == nullptr) return irp->IoStatus.Status;  // not ours: leave as the sender preset it
    if (!found.import) {
        size_t bytes = std::min<size_t>(params.Size, found.copy.size());
        std::memcpy(params.Interface, found.copy.data(), bytes);
    }
    if (found.callback == nullptr) return STATUS_SUCCESS;
    GUID type = *params.InterfaceType;
    return found.callback(as_handle<WDFDEVICE>(), &type, params.Interface, params.InterfaceSpecificData);
}

NTSTATUS FxDevice::dispatch_irp(DEVICE_OBJECT*, IRP* irp) {
    NTSTATUS status;
    switch (irp->Stack.MajorFunction) {
        case IRP_MJ_PNP:
            status = irp->Stack.MinorFunction == IRP_MN_QUERY_INTERFACE ? process_query_interface(irp)
                                                                          : irp->IoStatus.Status;
            break;
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            status = STATUS_SUCCESS;
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace platform::kmdf

using platform::kmdf::FxDevice;
using platform::kmdf::FxObject;
using platform::kmdf::FxType;

static FxDevice* Device(WDFDEVICE handle, const char* call) {
    return FxObject::from_as<FxDevice>(handle, FxType::Device, call);
}

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT init, WDF_PNPPOWER_EVENT_CALLBACKS* callbacks) {
    init->pnpPower = *callbacks;
}

void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT init, ULONG deviceType) { init->deviceType = deviceType; }

void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT init, BOOLEAN exclusive) { init->exclusive = exclusive; }

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* init, PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* device) {
    platform::require_passive("WdfDeviceCreate");
    if (init == nullptr || *init == nullptr || device == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfDeviceCreate")) return *status;
    auto* fx = new FxDevice(*init);
    NTSTATUS status = fx->attach(attributes, fx->driver());
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    if (fx->driver()->wdm()->Platform != nullptr) fx->driver()->wdm()->Platform->devices += 1;
    *init = nullptr;  // the framework owns it now
    *device = fx->as_handle<WDFDEVICE>();
    return STATUS_SUCCESS;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE device, WDF_DEVICE_PNP_CAPABILITIES* capabilities) {
    if (FxDevice* fx = Device(device, "WdfDeviceSetPnpCapabilities")) fx->set_capabilities(*capabilities);
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE device, const GUID* interfaceClass,
                                        PCUNICODE_STRING referenceString) {
    platform::require_passive("WdfDeviceCreateDeviceInterface");
    FxDevice* fx = Device(device, "WdfDeviceCreateDeviceInterface");
    if (fx == nullptr || interfaceClass == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfDeviceCreateDeviceInterface")) return *status;
    return fx->add_interface(*interfaceClass, referenceString);
}

NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE device, WDF_QUERY_INTERFACE_CONFIG* config) {
    platform::require_passive("WdfDeviceAddQueryInterface");
    FxDevice* fx = Device(device, "WdfDeviceAddQueryInterface");
    if (fx == nullptr || config == nullptr || config->Size != sizeof(WDF_QUERY_INTERFACE_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfDeviceAddQueryInterface")) return *status;
    return fx->add_query_interface(*config);
}

DEVICE_OBJECT* WdfDeviceWdmGetDeviceObject(WDFDEVICE device) {
    FxDevice* fx = Device(device, "WdfDeviceWdmGetDeviceObject");
    return fx == nullptr ? nullptr : fx->fdo();
}

DEVICE_OBJECT* WdfDeviceWdmGetPhysicalDevice(WDFDEVICE device) {
    FxDevice* fx = Device(device, "WdfDeviceWdmGetPhysicalDevice");
    return fx == nullptr ? nullptr : fx->pdo();
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE device) {
    FxDevice* fx = Device(device, "WdfDeviceGetDriver");
    return fx == nullptr ? nullptr : fx->driver()->as_handle<WDFDRIVER>();
}

NTSTATUS platform::query_interface(DEVICE_OBJECT* device, const GUID& type, INTERFACE* iface, USHORT size,
                                   USHORT version, PVOID specificData) {
    platform::require_passive("query_interface");
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // a query nobody answers stays unsupported
    IO_STACK_LOCATION* stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &type;
    stack->Parameters.QueryInterface.Size = size;
    stack->Parameters.QueryInterface.Version = version;
    stack->Parameters.QueryInterface.Interface = iface;
    stack->Parameters.QueryInterface.InterfaceSpecificData = specificData;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}
