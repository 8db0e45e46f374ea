#include "pnp_manager.h"

#include <cstdio>

#include "driver_loader.h"
#include "machine.h"
#include "platform/kernel/object_namespace.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/ntstatus.h"

namespace platform {

NTSTATUS BusDevice::dispatch_pdo_irp(DEVICE_OBJECT*, IRP* irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DevNode::dispatch_irp(DEVICE_OBJECT* device, IRP* irp) {
    if (bus) return bus->dispatch_pdo_irp(device, irp);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::u16string DevNode::device_property(DEVICE_OBJECT*, DEVICE_REGISTRY_PROPERTY property) {
    return bus ? bus->pdo_property(property) : std::u16string();
}

DevNode* DevNode::of(DEVICE_OBJECT* pdo) {
    return pdo != nullptr && pdo->Handler != nullptr ? dynamic_cast<DevNode*>(pdo->Handler) : nullptr;
}

namespace {

bool HasDevices(LoadedDriver& driver) {
    return __atomic_load_n(&driver.object.DeviceObject, __ATOMIC_ACQUIRE) != nullptr;
}

}  // namespace

PnpManager::~PnpManager() { remove_all(); }

DevNode* PnpManager::add_node(std::u16string instanceId, std::vector<std::u16string> hardwareIds,
                              std::string service, std::shared_ptr<BusDevice> bus) {
    require_passive("PnpManager::add_node");
    auto node = std::make_unique<DevNode>();
    node->instanceId = std::move(instanceId);
    node->hardwareIds = std::move(hardwareIds);
    node->service = std::move(service);
    node->bus = std::move(bus);
    node->pdo.Type = IO_TYPE_DEVICE;
    node->pdo.Size = sizeof(DEVICE_OBJECT);
    node->pdo.Handler = node.get();
    DevNode* raw = node.get();
    {
        std::lock_guard lock(lock_);
        char name[32];
        std::snprintf(name, sizeof(name), "\\Device\\%08X", ++pdoCount_);
        node->pdoName = widen(name);
        nodes_.push_back(std::move(node));
    }
    Machine::current().names().add_device(raw->pdoName, &raw->pdo);
    start(*raw);
    return raw;
}

NTSTATUS PnpManager::start(DevNode& node) {
    std::lock_guard nodeLock(node.lock);
    if (node.service.empty()) {
        // As on Windows, a device no driver matches stays present without one.
        node.state = NodeState::NoDriver;
        return STATUS_SUCCESS;
    }
    NTSTATUS status;
    LoadedDriver* driver = Machine::current().drivers().load(node.service, &status);
    if (driver == nullptr) {
        node.state = NodeState::Failed;
        node.lastStatus = status;
        return status;
    }
    node.driver = driver;
    PDRIVER_ADD_DEVICE addDevice = driver->extension.AddDevice;
    if (addDevice == nullptr) {
        node.state = NodeState::Failed;
        node.lastStatus = STATUS_INVALID_DEVICE_STATE;
        return node.lastStatus;
    }

    status = addDevice(&driver->object, &node.pdo);
    PnpDevice* device = function_device(&node.pdo);
    node.fdo = device != nullptr ? node.pdo.AttachedDevice : nullptr;
    if (!NT_SUCCESS(status) || device == nullptr) {
        if (device != nullptr) {
            device->remove();
            node.fdo = nullptr;
        }
        node.state = NodeState::Failed;
        node.lastStatus = NT_SUCCESS(status) ? STATUS_INVALID_DEVICE_STATE : status;
        if (!HasDevices(*driver)) Machine::current().drivers().unload(node.service);
        node.driver = nullptr;
        return node.lastStatus;
    }

    status = device->start();
    if (NT_SUCCESS(status)) {
        node.power = PowerDeviceD0;
        node.state = NodeState::Started;
        return STATUS_SUCCESS;
    }
    // A failed start releases what preparation built and removes the device.
    node.lastStatus = status;
    tear_down(node);
    node.state = NodeState::Failed;
    return status;
}

NTSTATUS PnpManager::suspend(DevNode& node, DEVICE_POWER_STATE target, POWER_ACTION action) {
    require_passive("PnpManager::suspend");
    if (target < PowerDeviceD1 || target > PowerDeviceD3) return STATUS_INVALID_PARAMETER;
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Started || node.fdo == nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = function_device(&node.pdo)->power_down(target, action);
    node.power = target;
    node.state = NodeState::Suspended;
    return status;
}

NTSTATUS PnpManager::resume(DevNode& node) {
    require_passive("PnpManager::resume");
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Suspended || node.fdo == nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = function_device(&node.pdo)->power_up();
    if (NT_SUCCESS(status)) {
        node.power = PowerDeviceD0;
        node.state = NodeState::Started;
    }
    return status;
}

void PnpManager::notify_removal(DevNode& node, RemovalKind kind) {
    std::vector<RemovalListener> listeners;
    {
        std::lock_guard lock(lock_);
        for (auto& [id, listener] : removalListeners_) listeners.push_back(listener);
    }
    for (auto& listener : listeners) listener(node, kind);
}

void PnpManager::tear_down(DevNode& node) {
    if (node.fdo != nullptr) {
        function_device(&node.pdo)->remove();
        node.fdo = nullptr;
    }
    if (node.bus) node.bus->remove_pdo();
    node.power = PowerDeviceD3;
    // A device object still referenced (an open file on it) keeps its driver
    // loaded until the last reference goes.
    if (node.driver != nullptr) Machine::current().drivers().unload_when_idle(node.service);
    node.driver = nullptr;
}

void PnpManager::remove(DevNode& node) {
    require_passive("PnpManager::remove");
    std::lock_guard nodeLock(node.lock);
    if (node.state == NodeState::Removed || node.state == NodeState::Failed) return;
    // Before anyone hears of it: an open from now on fails, so no file is opened that nobody tells.
    mark_removal_pending(&node.pdo);
    notify_removal(node, RemovalKind::Orderly);
    tear_down(node);
    node.state = NodeState::Removed;
    Machine::current().names().remove_device(node.pdoName);
}

void PnpManager::surprise_remove(DevNode& node, bool holdRelease) {
    require_passive("PnpManager::surprise_remove");
    std::lock_guard nodeLock(node.lock);
    if (node.state == NodeState::Removed || node.state == NodeState::Failed || node.state == NodeState::Removing) {
        return;
    }
    // Before anyone hears of it: an open from now on fails, so no file is opened that nobody tells.
    mark_removal_pending(&node.pdo);
    notify_removal(node, RemovalKind::Surprise);
    if (node.fdo != nullptr) function_device(&node.pdo)->surprise_removal();
    node.state = NodeState::Removing;
    if (!holdRelease) finish_removal(node);
}

void PnpManager::finish_removal(DevNode& node) {
    require_passive("PnpManager::finish_removal");
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Removing) return;
    tear_down(node);
    node.state = NodeState::Removed;
    Machine::current().names().remove_device(node.pdoName);
}

NTSTATUS PnpManager::rebalance(DevNode& node) {
    require_passive("PnpManager::rebalance");
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Started || node.fdo == nullptr) return STATUS_INVALID_DEVICE_STATE;
    PnpDevice* device = function_device(&node.pdo);
    device->stop();
    node.power = PowerDeviceD3;
    NTSTATUS status = device->start();
    if (NT_SUCCESS(status)) {
        node.power = PowerDeviceD0;
        return status;
    }
    node.lastStatus = status;
    tear_down(node);
    node.state = NodeState::Failed;
    return status;
}

std::vector<DevNode*> PnpManager::nodes() {
    std::lock_guard lock(lock_);
    std::vector<DevNode*> all;
    for (auto& node : nodes_) all.push_back(node.get());
    return all;
}

void PnpManager::remove_all() {
    // Newest first: children and late arrivals go before what they hang on.
    auto all = nodes();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        DevNode& node = **it;
        bool removing;
        {
            // The enumeration worker may be starting a child node right now.
            std::lock_guard nodeLock(node.lock);
            removing = node.state == NodeState::Removing;
        }
        if (removing) {
            finish_removal(node);
        } else {
            remove(node);
        }
    }
}

uint64_t PnpManager::add_removal_listener(RemovalListener listener) {
    std::lock_guard lock(lock_);
    uint64_t id = nextId_++;
    removalListeners_.emplace_back(id, std::move(listener));
    return id;
}

void PnpManager::remove_removal_listener(uint64_t id) {
    std::lock_guard lock(lock_);
    std::erase_if(removalListeners_, [id](auto& entry) { return entry.first == id; });
}

}  // namespace platform
