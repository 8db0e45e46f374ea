#include "fx_device.h"

#include "fx_callback.h"
#include "fx_driver.h"
#include "fx_io.h"
#include "fx_pdo.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/machine.h"

using platform::kmdf::object_of;

namespace platform::kmdf {

namespace {

// The framework's name for a power state a power request leaves D0 for.
WDF_POWER_DEVICE_STATE FrameworkTarget(DEVICE_POWER_STATE target, POWER_ACTION action) {
    switch (target) {
        case PowerDeviceD1: return WdfPowerDeviceD1;
        case PowerDeviceD2: return WdfPowerDeviceD2;
        // A hibernation with the device on the hibernation-file path, which every device here is.
        default: return action == PowerActionHibernate ? WdfPowerDevicePrepareForHibernation : WdfPowerDeviceD3;
    }
}

}  // namespace

FxDevice::FxDevice(WDFDEVICE_INIT* init, DEVICE_OBJECT* fdo)
    : FxObject(FxType::Device),
      driver_(init->driver),
      fdo_(fdo),
      pdo_(init->pdo),
      callbacks_(init->pnpPower),
      fileConfig_(init->fileConfig),
      fileAttributes_(init->fileAttributes),
      hasFileAttributes_(init->hasFileAttributes),
      ioInCallerContext_(init->ioInCallerContext) {
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities_);
    ObReferenceObject(fdo_);
    fdo_->DeviceExtension = this;
    fdo_->Handler = this;
    if (pdo_ != nullptr) attach_device(fdo_, pdo_);
}

FxDevice::~FxDevice() {
    if (pdo_ != nullptr) detach_device(fdo_, pdo_);
}

FxDevice* FxDevice::of(DEVICE_OBJECT* fdo) {
    if (fdo == nullptr || fdo->Handler == nullptr) return nullptr;
    return dynamic_cast<FxDevice*>(fdo->Handler);
}

void FxDevice::set_capabilities(const WDF_DEVICE_PNP_CAPABILITIES& caps) {
    std::lock_guard lock(lock_);
    capabilities_ = caps;
}

NTSTATUS FxDevice::prepare_hardware() {
    if (callbacks_.EvtDevicePrepareHardware == nullptr) return STATUS_SUCCESS;
    return CallDriver("EvtDevicePrepareHardware",
                      [&] { return callbacks_.EvtDevicePrepareHardware(as_handle<WDFDEVICE>(), nullptr, nullptr); });
}

NTSTATUS FxDevice::release_hardware() {
    if (callbacks_.EvtDeviceReleaseHardware == nullptr) return STATUS_SUCCESS;
    return CallDriver("EvtDeviceReleaseHardware",
                      [&] { return callbacks_.EvtDeviceReleaseHardware(as_handle<WDFDEVICE>(), nullptr); });
}

NTSTATUS FxDevice::d0_entry(WDF_POWER_DEVICE_STATE previous) {
    if (callbacks_.EvtDeviceD0Entry == nullptr) return STATUS_SUCCESS;
    return CallDriver("EvtDeviceD0Entry", [&] { return callbacks_.EvtDeviceD0Entry(as_handle<WDFDEVICE>(), previous); });
}

NTSTATUS FxDevice::d0_exit(WDF_POWER_DEVICE_STATE target) {
    if (callbacks_.EvtDeviceD0Exit == nullptr) return STATUS_SUCCESS;
    return CallDriver("EvtDeviceD0Exit", [&] { return callbacks_.EvtDeviceD0Exit(as_handle<WDFDEVICE>(), target); });
}

NTSTATUS FxDevice::start() {
    hardwareToRelease_ = true;
    NTSTATUS status = prepare_hardware();
    if (NT_SUCCESS(status)) status = d0_entry(WdfPowerDeviceD3Final);
    if (!NT_SUCCESS(status)) return status;
    inD0_ = true;
    set_started(true);
    return STATUS_SUCCESS;
}

void FxDevice::stop() {
    if (inD0_) d0_exit(WdfPowerDeviceD3Final);
    inD0_ = false;
    release_hardware();
    hardwareToRelease_ = false;
}

NTSTATUS FxDevice::power_down(DEVICE_POWER_STATE target, POWER_ACTION action) {
    leftD0For_ = FrameworkTarget(target, action);
    inD0_ = false;
    return d0_exit(leftD0For_);
}

NTSTATUS FxDevice::power_up() {
    NTSTATUS status = d0_entry(leftD0For_);
    if (NT_SUCCESS(status)) inD0_ = true;
    return status;
}

void FxDevice::surprise_removal() {
    set_started(false);
    if (callbacks_.EvtDeviceSurpriseRemoval != nullptr) {
        CallDriver("EvtDeviceSurpriseRemoval", [&] { callbacks_.EvtDeviceSurpriseRemoval(as_handle<WDFDEVICE>()); });
    }
    if (inD0_) d0_exit(WdfPowerDeviceD3Final);
    inD0_ = false;
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
    wait_for_dispatches();
    set_started(false);
    if (inD0_) d0_exit(WdfPowerDeviceD3Final);
    inD0_ = false;
    if (hardwareToRelease_) release_hardware();
    hardwareToRelease_ = false;
    delete_object();
}

void FxDevice::dispose() {
    // Nothing new opens a removed device; handles still open keep its memory until they close.
    if (pdo_ != nullptr) detach_device(fdo_, pdo_);
    Machine::current().interfaces().remove_device(pdo_);
    IoDeleteDevice(fdo_);
    fdoDeleted_ = true;
}

void FxDevice::destroy() {
    if (!fdoDeleted_) IoDeleteDevice(fdo_);  // a device whose creation failed
    clear_irp_handler(fdo_);
    fdo_->DeviceExtension = nullptr;
    ObDereferenceObject(fdo_);
}

NTSTATUS FxDevice::add_interface(const GUID& interfaceClass, PCUNICODE_STRING referenceString) {
    std::u16string reference = referenceString != nullptr ? std::u16string(view(*referenceString)) : u"";
    uint64_t id = Machine::current().interfaces().add(interfaceClass, pdo_, reference);
    if (id == 0) return STATUS_INVALID_DEVICE_REQUEST;
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
    return CallDriver("EvtDeviceProcessQueryInterfaceRequest", [&] {
        return found.callback(as_handle<WDFDEVICE>(), &type, params.Interface, params.InterfaceSpecificData);
    });
}

void FxDevice::add_queue(FxIoQueue* queue) {
    std::lock_guard lock(lock_);
    queues_.push_back(queue);
}

void FxDevice::remove_queue(FxIoQueue* queue) {
    std::lock_guard lock(lock_);
    std::erase(queues_, queue);
}

FxIoQueue* FxDevice::default_queue() {
    std::lock_guard lock(lock_);
    for (FxIoQueue* queue : queues_) {
        if (queue->is_default()) return queue;
    }
    return nullptr;
}

NTSTATUS FxDevice::enqueue_request(FxRequest* request) {
    FxIoQueue* queue = default_queue();
    if (queue == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    return queue->enqueue(request);
}

template <typename Fn>
void FxDevice::run_file_callback(Fn fn) {
    WDF_SYNCHRONIZATION_SCOPE scope = hasFileAttributes_ ? fileAttributes_.SynchronizationScope
                                                         : WdfSynchronizationScopeInheritFromParent;
    if (scope == WdfSynchronizationScopeInheritFromParent) scope = synchronization_scope();
    if (scope == WdfSynchronizationScopeDevice) {
        std::lock_guard sync(syncLock_);
        CallDriver("file object callback", fn);
    } else {
        CallDriver("file object callback", fn);
    }
}

void FxDevice::file_create(FxRequest* request) {
    FILE_OBJECT* wdm = request->irp()->Stack.FileObject;
    auto* file = new FxFileObject(this, wdm);
    NTSTATUS status = file->attach(hasFileAttributes_ ? &fileAttributes_ : nullptr, this);
    if (!NT_SUCCESS(status)) {
        file->release();
        request->complete(status, 0);
        return;
    }
    FxFileObject::link(wdm, file);
    if (fileConfig_.EvtDeviceFileCreate == nullptr) {
        request->complete(STATUS_SUCCESS, 0);
        return;
    }
    run_file_callback([&] {
        fileConfig_.EvtDeviceFileCreate(as_handle<WDFDEVICE>(), request->as_handle<WDFREQUEST>(),
                                        file->as_handle<WDFFILEOBJECT>());
    });
}

void FxDevice::file_cleanup(FxRequest* request) {
    FxFileObject* file = FxFileObject::take(request->irp()->Stack.FileObject);
    if (file != nullptr) {
        if (fileConfig_.EvtFileCleanup != nullptr) {
            run_file_callback([&] { fileConfig_.EvtFileCleanup(file->as_handle<WDFFILEOBJECT>()); });
        }
        // Whatever of the handle still waits in a queue is cancelled, as the framework does at cleanup.
        std::vector<FxIoQueue*> queues;
        {
            std::lock_guard lock(lock_);
            queues = queues_;
        }
        for (FxIoQueue* queue : queues) queue->flush_file(file);
        file->release();
    }
    request->complete(STATUS_SUCCESS, 0);
}

void FxDevice::file_close(FxRequest* request) {
    FILE_OBJECT* wdm = request->irp()->Stack.FileObject;
    FxFileObject* file = FxFileObject::take(wdm);
    if (file != nullptr) {
        if (fileConfig_.EvtFileClose != nullptr) {
            run_file_callback([&] { fileConfig_.EvtFileClose(file->as_handle<WDFFILEOBJECT>()); });
        }
        FxFileObject::link(wdm, nullptr);
        file->delete_object();
        file->release();
    }
    request->complete(STATUS_SUCCESS, 0);
}

namespace {

// The devices this thread is dispatching into, innermost last (a dispatch may
// send a request to another device, never deeply).
constexpr int kMaxNestedDispatches = 8;
thread_local const FxDevice* t_dispatching[kMaxNestedDispatches];
thread_local int t_dispatchDepth = 0;

}  // namespace

bool FxDevice::enter_dispatch() {
    std::lock_guard lock(dispatchLock_);
    if (removing_) return false;
    ++dispatching_;
    if (t_dispatchDepth < kMaxNestedDispatches) t_dispatching[t_dispatchDepth] = this;
    ++t_dispatchDepth;
    return true;
}

void FxDevice::leave_dispatch() {
    --t_dispatchDepth;
    std::lock_guard lock(dispatchLock_);
    --dispatching_;
    dispatchIdle_.notify_all();
}

void FxDevice::wait_for_dispatches() {
    unsigned own = 0;  // a removal from inside this device's own dispatch does not wait for itself
    for (int i = 0; i < std::min(t_dispatchDepth, kMaxNestedDispatches); ++i) own += t_dispatching[i] == this ? 1 : 0;
    std::unique_lock lock(dispatchLock_);
    removing_ = true;
    dispatchIdle_.wait(lock, [&] { return dispatching_ == own; });
}

NTSTATUS FxDevice::dispatch_irp(DEVICE_OBJECT*, IRP* irp) {
    UCHAR major = irp->Stack.MajorFunction;
    // The remove lock: a request dispatched into the device finishes before
    // the removal goes on, and none starts after it began. Cleanup and close,
    // which open handles still owe, are served regardless.
    bool owed = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    bool entered = !owed && enter_dispatch();
    struct Leave {
        FxDevice* device;
        bool entered;
        ~Leave() {
            if (entered) device->leave_dispatch();
        }
    } leave{this, entered};
    if (major == IRP_MJ_PNP) {
        // A device being removed answers no query: its driver may be on its way out.
        NTSTATUS status = !entered                                                  ? STATUS_DELETE_PENDING
                          : irp->Stack.MinorFunction == IRP_MN_QUERY_INTERFACE        ? process_query_interface(irp)
                          : irp->Stack.MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS ? query_bus_relations(irp)
                                                                                      : irp->IoStatus.Status;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    auto* request = new FxRequest(this, irp);
    request->add_reference();  // ours, to read the outcome after the driver is done with it
    if (!owed && (!entered || deleting())) {
        // Removed: only what its open handles still owe (cleanup, close) is served.
        request->complete(STATUS_DELETE_PENDING, 0);
    } else {
        switch (major) {
            case IRP_MJ_CREATE:
                file_create(request);
                break;
            case IRP_MJ_CLEANUP:
                file_cleanup(request);
                break;
            case IRP_MJ_CLOSE:
                file_close(request);
                break;
            case IRP_MJ_DEVICE_CONTROL:
            case IRP_MJ_INTERNAL_DEVICE_CONTROL:
                if (major == IRP_MJ_DEVICE_CONTROL && ioInCallerContext_ != nullptr) {
                    CallDriver("EvtIoInCallerContext", [&] {
                        ioInCallerContext_(as_handle<WDFDEVICE>(), request->as_handle<WDFREQUEST>());
                    });
                } else if (NTSTATUS status = enqueue_request(request); !NT_SUCCESS(status)) {
                    request->complete(status, 0);
                }
                break;
            default:
                request->complete(STATUS_INVALID_DEVICE_REQUEST, 0);
                break;
        }
    }
    NTSTATUS status = request->completed() ? request->final_status() : STATUS_PENDING;
    request->release();
    // An open file holds the device's memory from its successful create to its close.
    if (major == IRP_MJ_CLOSE) release();
    return status;
}

}  // namespace platform::kmdf

using platform::kmdf::FxDevice;
using platform::kmdf::FxObject;
using platform::kmdf::FxType;

void WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT init, WDF_PNPPOWER_EVENT_CALLBACKS* callbacks) {
    init->pnpPower = *callbacks;
}

void WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT init, ULONG deviceType) { init->deviceType = deviceType; }

void WdfDeviceInitSetExclusive(PWDFDEVICE_INIT init, BOOLEAN exclusive) { init->exclusive = exclusive; }

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* init, PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* device) {
    platform::require_passive("WdfDeviceCreate");
    if (init == nullptr || *init == nullptr || device == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfDeviceCreate")) return *status;
    DEVICE_OBJECT* fdo = nullptr;
    NTSTATUS status = IoCreateDevice((*init)->driver->wdm(), 0, nullptr, (*init)->deviceType, 0, (*init)->exclusive, &fdo);
    if (!NT_SUCCESS(status)) return status;
    platform::kmdf::FxPdoInit* pdoInit = (*init)->pdoInit;
    FxDevice* fx = pdoInit != nullptr ? new platform::kmdf::FxPdo(*init, fdo) : new FxDevice(*init, fdo);
    status = fx->attach(attributes, fx->driver());
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    if ((*init)->hasDefaultChildList) {
        status = platform::kmdf::CreateDefaultChildList(fx, **init);
        if (!NT_SUCCESS(status)) {
            fx->delete_object();
            return status;
        }
    }
    if (pdoInit != nullptr) pdoInit->created = static_cast<platform::kmdf::FxPdo*>(fx);
    *init = nullptr;  // the framework owns it now
    *device = fx->as_handle<WDFDEVICE>();
    return STATUS_SUCCESS;
}

void WdfDeviceSetPnpCapabilities(WDFDEVICE device, WDF_DEVICE_PNP_CAPABILITIES* capabilities) {
    if (FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceSetPnpCapabilities")) fx->set_capabilities(*capabilities);
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE device, const GUID* interfaceClass,
                                        PCUNICODE_STRING referenceString) {
    platform::require_passive("WdfDeviceCreateDeviceInterface");
    FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceCreateDeviceInterface");
    if (fx == nullptr || interfaceClass == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfDeviceCreateDeviceInterface")) return *status;
    return fx->add_interface(*interfaceClass, referenceString);
}

NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE device, WDF_QUERY_INTERFACE_CONFIG* config) {
    platform::require_passive("WdfDeviceAddQueryInterface");
    FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceAddQueryInterface");
    if (fx == nullptr || config == nullptr || config->Size != sizeof(WDF_QUERY_INTERFACE_CONFIG)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfDeviceAddQueryInterface")) return *status;
    return fx->add_query_interface(*config);
}

DEVICE_OBJECT* WdfDeviceWdmGetDeviceObject(WDFDEVICE device) {
    FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceWdmGetDeviceObject");
    return fx == nullptr ? nullptr : fx->fdo();
}

DEVICE_OBJECT* WdfDeviceWdmGetPhysicalDevice(WDFDEVICE device) {
    FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceWdmGetPhysicalDevice");
    return fx == nullptr ? nullptr : fx->pdo();
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE device) {
    FxDevice* fx = object_of<FxDevice>(device, "WdfDeviceGetDriver");
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
