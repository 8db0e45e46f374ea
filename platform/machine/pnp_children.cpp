#include "pnp_children.h"

#include <algorithm>
#include <shared_mutex>

#include "machine.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/pnp_notify.h"
#include "platform/kernel/pnp_relations.h"
#include "platform/kernel/pool.h"
#include "registry.h"

namespace platform {
namespace {

// The node's device object stands for a PDO its bus driver created: what is
// sent to the node passes to that PDO, and the PnP manager's start and
// removal of the PDO reach the bus driver through it. Requests in flight
// finish before the PDO is removed; later ones find it gone.
class ChildPdo : public BusDevice {
public:
    ChildPdo(DEVICE_OBJECT* pdo, PnpDevice* device) : pdo_(pdo), device_(device) {
        ObReferenceObject(pdo_);  // held until the PDO is removed: a reference keeps its bus driver loaded
    }
    ~ChildPdo() override {
        if (!removed_) ObDereferenceObject(pdo_);
    }

    NTSTATUS dispatch_pdo_irp(DEVICE_OBJECT*, IRP* irp) override {
        std::shared_lock gate(gate_);
        if (removed_) {
            irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_NO_SUCH_DEVICE;
        }
        return IoCallDriver(pdo_, irp);
    }

    std::u16string pdo_property(DEVICE_REGISTRY_PROPERTY property) override {
        std::shared_lock gate(gate_);
        return removed_ || pdo_->Handler == nullptr ? std::u16string() : pdo_->Handler->device_property(pdo_, property);
    }

    void remove_pdo() override {
        std::unique_lock gate(gate_);
        if (removed_) return;
        removed_ = true;
        device_->remove();
        // Nothing reaches the object after this (every use checks removed_ under the gate).
        ObDereferenceObject(pdo_);
    }

private:
    DEVICE_OBJECT* pdo_;
    PnpDevice* device_;
    std::shared_mutex gate_;
    bool removed_ = false;  // guarded by gate_
};

// Sends a PnP request with no buffers to `device`; its answer in `*information`.
NTSTATUS SendPnp(DEVICE_OBJECT* device, UCHAR minor, ULONG parameter, ULONG_PTR* information) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // a request nobody answers stays unsupported
    irp->Stack.MinorFunction = minor;
    if (minor == IRP_MN_QUERY_ID) {
        irp->Stack.Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(parameter);
    } else {
        irp->Stack.Parameters.QueryDeviceRelations.Type = static_cast<DEVICE_RELATION_TYPE>(parameter);
    }
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    *information = NT_SUCCESS(status) ? ioStatus.Information : 0;
    return status;
}

// An id string (a list, for hardware ids) the PDO answers; empty when it has none.
std::vector<std::u16string> QueryId(DEVICE_OBJECT* pdo, BUS_QUERY_ID_TYPE type) {
    ULONG_PTR answer = 0;
    std::vector<std::u16string> ids;
    if (!NT_SUCCESS(SendPnp(pdo, IRP_MN_QUERY_ID, type, &answer)) || answer == 0) return ids;
    const auto* text = reinterpret_cast<const WCHAR*>(answer);
    while (*text != 0) {
        std::u16string id(text);
        text += id.size() + 1;
        ids.push_back(std::move(id));
        if (type != BusQueryHardwareIDs) break;
    }
    ExFreePool(reinterpret_cast<PVOID>(answer));
    return ids;
}

DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

}  // namespace

void register_driver_match(std::u16string_view hardwareId, const std::string& service) {
    Machine::current().registry().set(kDriverMatchKey, hardwareId, RegValue::string(widen(service)));
}

std::string matching_service(const std::vector<std::u16string>& hardwareIds) {
    for (const auto& id : hardwareIds) {
        auto value = Machine::current().registry().get(kDriverMatchKey, id);
        std::optional<std::u16string> service = value ? value->as_string() : std::nullopt;
        if (service && !service->empty()) return narrow(*service);
    }
    return {};
}

PnpChildren::PnpChildren(Machine& machine) : machine_(machine) {
    // A bus's children go before the bus's own removal callbacks run.
    listener_ = machine_.pnp().add_removal_listener([this](DevNode& node, RemovalKind kind) {
        remove_children(node, kind);
    });
}

PnpChildren::~PnpChildren() {
    machine_.pnp().remove_removal_listener(listener_);
    worker_.drain();
}

void PnpChildren::invalidate(DEVICE_OBJECT* busPdo) {
    posted_.fetch_add(1, std::memory_order_acq_rel);
    worker_.post([this, busPdo] { enumerate(busPdo); });
}

void PnpChildren::wait_idle() {
    for (;;) {
        uint64_t before = posted_.load(std::memory_order_acquire);
        drain_pnp_notifications();
        worker_.drain();
        drain_pnp_notifications();
        if (posted_.load(std::memory_order_acquire) == before) return;
    }
}

std::vector<DevNode*> PnpChildren::children_of(const DevNode& bus) {
    std::lock_guard lock(lock_);
    std::vector<DevNode*> nodes;
    auto it = children_.find(&bus);
    if (it != children_.end()) {
        for (const Child& child : it->second) nodes.push_back(child.node);
    }
    return nodes;
}

// PASSIVE_LEVEL, on the enumeration worker.
void PnpChildren::enumerate(DEVICE_OBJECT* busPdo) {
    DevNode* bus = DevNode::of(busPdo);
    if (bus == nullptr) return;
    std::lock_guard busLock(bus->lock);
    if (bus->state != NodeState::Started || bus->fdo == nullptr) return;  // gone, or going
    ULONG_PTR answer = 0;
    if (!NT_SUCCESS(SendPnp(TopOfStack(&bus->pdo), IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations, &answer))) return;
    std::vector<DEVICE_OBJECT*> present;
    if (auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(answer)) {
        present.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }
    std::vector<Child> gone;
    std::vector<DEVICE_OBJECT*> arrived;
    {
        std::lock_guard lock(lock_);
        auto& known = children_[bus];
        for (const Child& child : known) {
            if (std::find(present.begin(), present.end(), child.pdo) == present.end()) gone.push_back(child);
        }
        for (DEVICE_OBJECT* pdo : present) {
            bool seen = std::any_of(known.begin(), known.end(), [pdo](const Child& c) { return c.pdo == pdo; });
            if (!seen) arrived.push_back(pdo);
        }
    }
    // What left goes first: a child that came back under the same ids is a new node.
    for (const Child& child : gone) remove_child(child, RemovalKind::Orderly);
    for (DEVICE_OBJECT* pdo : arrived) add_child(*bus, pdo);
    for (DEVICE_OBJECT* pdo : present) ObDereferenceObject(pdo);  // the relations' references
}

void PnpChildren::add_child(DevNode& bus, DEVICE_OBJECT* pdo) {
    auto* device = dynamic_cast<PnpDevice*>(pdo->Handler);
    if (device == nullptr) return;
    std::vector<std::u16string> deviceId = QueryId(pdo, BusQueryDeviceID);
    std::vector<std::u16string> instanceId = QueryId(pdo, BusQueryInstanceID);
    std::vector<std::u16string> hardwareIds = QueryId(pdo, BusQueryHardwareIDs);
    if (deviceId.empty() || instanceId.empty() || !NT_SUCCESS(device->start())) {
        // A PDO the PnP manager cannot name or start is removed again.
        device->remove();
        return;
    }
    auto relay = std::make_shared<ChildPdo>(pdo, device);
    std::string service = matching_service(hardwareIds);
    {
        std::lock_guard lock(lock_);
        children_[&bus].push_back(Child{pdo, nullptr});
    }
    DevNode* node = machine_.pnp().add_node(deviceId[0] + u"\\" + instanceId[0], hardwareIds, service, relay);
    std::lock_guard lock(lock_);
    for (Child& child : children_[&bus]) {
        if (child.pdo == pdo) child.node = node;
    }
}

void PnpChildren::remove_child(const Child& child, RemovalKind kind) {
    {
        std::lock_guard lock(lock_);
        for (auto& [bus, list] : children_) {
            std::erase_if(list, [&child](const Child& c) { return c.pdo == child.pdo; });
        }
    }
    if (child.node == nullptr) return;
    if (kind == RemovalKind::Surprise) {
        machine_.pnp().surprise_remove(*child.node);
    } else {
        machine_.pnp().remove(*child.node);
    }
    // A node whose start failed was not torn down by the removal: its PDO goes here.
    if (child.node->bus) child.node->bus->remove_pdo();
}

void PnpChildren::remove_children(DevNode& bus, RemovalKind kind) {
    std::vector<Child> children;
    {
        std::lock_guard lock(lock_);
        auto it = children_.find(&bus);
        if (it == children_.end()) return;
        children = it->second;
    }
    // Newest first.
    for (auto it = children.rbegin(); it != children.rend(); ++it) remove_child(*it, kind);
}

void wait_for_pnp_idle() {
    if (Machine::exists()) Machine::current().attachment<PnpChildren>().wait_idle();
}

}  // namespace platform

void IoInvalidateDeviceRelations(DEVICE_OBJECT* device, DEVICE_RELATION_TYPE type) {
    platform::require_dispatch_or_below("IoInvalidateDeviceRelations");
    if (device == nullptr || type != BusRelations) return;
    platform::Machine::current().attachment<platform::PnpChildren>().invalidate(device);
}
