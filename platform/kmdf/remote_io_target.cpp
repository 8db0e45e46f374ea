// Remote I/O targets: a device of another stack opened by name, with the
// removal callbacks that tell the holder its device is going.
#include <mutex>
#include <unordered_set>

#include "fx_callback.h"
#include "fx_device.h"
#include "fx_io_target.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"

namespace platform::kmdf {
namespace {

class FxRemoteIoTarget;

// The open targets. The PnP manager calls a copy of its listeners, so a
// listener may run after its target closed: it finds the target here first.
std::mutex g_liveLock;
std::unordered_set<FxRemoteIoTarget*> g_live;  // guarded by g_liveLock

class FxRemoteIoTarget : public FxIoTarget {
public:
    FxRemoteIoTarget() : FxIoTarget(FxType::IoTarget, WdfIoTargetClosed) {}

    NTSTATUS open(const WDF_IO_TARGET_OPEN_PARAMS& params) {
        if (params.Type != WdfIoTargetOpenByName) return STATUS_NOT_SUPPORTED;
        if (file_ != nullptr) return STATUS_INVALID_DEVICE_STATE;
        UNICODE_STRING name = params.TargetDeviceName;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS status = ZwCreateFile(&handle, params.DesiredAccess, &attributes, &ioStatus, nullptr,
                                       params.FileAttributes, params.ShareAccess, params.CreateDisposition,
                                       params.CreateOptions, nullptr, 0);
        if (!NT_SUCCESS(status)) return status;
        PVOID object = nullptr;
        status = ObReferenceObjectByHandle(handle, params.DesiredAccess, *IoFileObjectType, KernelMode, &object, nullptr);
        ZwClose(handle);  // the reference keeps the file open
        if (!NT_SUCCESS(status)) return status;
        // A removal listener that runs now waits for the open to settle.
        std::lock_guard closing(closeLock_);
        file_ = static_cast<FILE_OBJECT*>(object);
        device_ = IoGetRelatedDeviceObject(file_);
        queryRemove_ = params.EvtIoTargetQueryRemove;
        removeComplete_ = params.EvtIoTargetRemoveComplete;
        {
            std::lock_guard lock(g_liveLock);
            g_live.insert(this);
        }
        listener_ = Machine::current().pnp().add_removal_listener([this](DevNode& node, RemovalKind kind) {
            {
                std::lock_guard lock(g_liveLock);
                if (g_live.count(this) == 0) return;
                add_reference();  // the holder may delete the target from its callback
            }
            on_removal(node, kind);
            release();
        });
        // A removal that began before the listener was in place has told its
        // listeners already and will not tell this one: the open fails, as an
        // open of a device being removed does. (The PnP manager marks the
        // stack before it takes its copy of the listeners, so one of the two
        // always sees the other.)
        if (removal_pending(device_)) {
            close();
            return STATUS_NO_SUCH_DEVICE;
        }
        set_state(WdfIoTargetStarted);
        return STATUS_SUCCESS;
    }

    // The holder and a removal on the PnP thread may both close.
    void close() {
        std::lock_guard closing(closeLock_);
        if (listener_ != 0) {
            {
                std::lock_guard lock(g_liveLock);
                g_live.erase(this);
            }
            Machine::current().pnp().remove_removal_listener(listener_);
            listener_ = 0;
        }
        if (state() == WdfIoTargetStarted) stop(WdfIoTargetCancelSentIo);
        set_state(WdfIoTargetClosed);
        if (file_ != nullptr) {
            ObDereferenceObject(file_);
            file_ = nullptr;
        }
    }

    // The opened device, held by a reference to its file that the caller
    // drops with ObDereferenceObject (so a close meanwhile cannot free it);
    // null while the target is not open.
    DEVICE_OBJECT* reference_device(FILE_OBJECT** file) {
        std::lock_guard closing(closeLock_);
        if (file_ == nullptr) return nullptr;
        ObReferenceObject(file_);
        *file = file_;
        return device_;
    }

protected:
    void dispose() override {
        close();
        set_state(WdfIoTargetDeleted);
    }

private:
    bool in_stack(const DevNode& node) const {
        for (const DEVICE_OBJECT* d = &node.pdo; d != nullptr; d = d->AttachedDevice) {
            if (d == device_) return true;
        }
        return false;
    }

    // PASSIVE_LEVEL, on the PnP manager's thread, before the removed device's driver hears of it.
    void on_removal(DevNode& node, RemovalKind kind) {
        {
            std::lock_guard settled(closeLock_);
            if (device_ == nullptr || file_ == nullptr || !in_stack(node)) return;
        }
        if (kind == RemovalKind::Orderly) {
            if (queryRemove_ != nullptr) {
                (void)CallDriver("EvtIoTargetQueryRemove", [&] { return queryRemove_(as_handle<WDFIOTARGET>()); });
            } else {
                close();
                set_state(WdfIoTargetClosedForQueryRemove);
            }
        }
        if (removeComplete_ != nullptr && !deleting()) {
            CallDriver("EvtIoTargetRemoveComplete", [&] { removeComplete_(as_handle<WDFIOTARGET>()); });
        }
        if (!deleting()) close();
    }

    FILE_OBJECT* file_ = nullptr;
    DEVICE_OBJECT* device_ = nullptr;
    PFN_WDF_IO_TARGET_QUERY_REMOVE queryRemove_ = nullptr;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE removeComplete_ = nullptr;
    uint64_t listener_ = 0;
    std::recursive_mutex closeLock_;
};

FxRemoteIoTarget* Remote(WDFIOTARGET handle, const char* call) {
    FxIoTarget* target = FxIoTarget::from_handle(handle, call);
    auto* remote = dynamic_cast<FxRemoteIoTarget*>(target);
    if (target != nullptr && remote == nullptr) ReportWrongHandleType(call);
    return remote;
}

}  // namespace
}  // namespace platform::kmdf

using namespace platform::kmdf;

NTSTATUS WdfIoTargetCreate(WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET* target) {
    platform::require_passive("WdfIoTargetCreate");
    auto* fxDevice = object_of<FxDevice>(device, "WdfIoTargetCreate");
    if (fxDevice == nullptr || target == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfIoTargetCreate")) return *status;
    auto* fx = new FxRemoteIoTarget();
    NTSTATUS status = fx->attach(attributes, fxDevice);
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    *target = fx->as_handle<WDFIOTARGET>();
    return STATUS_SUCCESS;
}

NTSTATUS WdfIoTargetOpen(WDFIOTARGET target, WDF_IO_TARGET_OPEN_PARAMS* params) {
    platform::require_passive("WdfIoTargetOpen");
    FxRemoteIoTarget* fx = Remote(target, "WdfIoTargetOpen");
    if (fx == nullptr || params == nullptr || params->Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("WdfIoTargetOpen")) return *status;
    return fx->open(*params);
}

NTSTATUS WdfIoTargetQueryForInterface(WDFIOTARGET target, const GUID* interfaceType, INTERFACE* iface, USHORT size,
                                      USHORT version, PVOID interfaceSpecificData) {
    platform::require_passive("WdfIoTargetQueryForInterface");
    FxRemoteIoTarget* fx = Remote(target, "WdfIoTargetQueryForInterface");
    if (fx == nullptr || interfaceType == nullptr || iface == nullptr) return STATUS_INVALID_PARAMETER;
    FILE_OBJECT* file = nullptr;
    DEVICE_OBJECT* device = fx->reference_device(&file);
    if (device == nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status;
    if (auto fault = platform::fault::hit("WdfIoTargetQueryForInterface")) {
        status = *fault;
    } else {
        status = platform::query_interface(device, *interfaceType, iface, size, version, interfaceSpecificData);
    }
    ObDereferenceObject(file);
    return status;
}
