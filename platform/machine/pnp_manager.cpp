#include "pnp_manager.h"

#include <cstdio>

#include "driver_loader.h"
#include "machine.h"
#include "platform/kernel/object_namespace.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kmdf/fx_device.h"
#include "platform/kmdf/fx_driver.h"

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
    NTSTATUS status;
    LoadedDriver* driver = Machine::current().drivers().load(node.service, &status);
    if (driver == nullptr) {
        node.state = NodeState::Failed;
        node.lastStatus = status;
        return status;
    }
    node.driver = driver;
    if (driver->wdfDriver == nullptr || driver->wdfDriver->config().EvtDriverDeviceAdd == nullptr) {
        node.state = NodeState::Failed;
        node.lastStatus = STATUS_INVALID_DEVICE_STATE;
        return node.lastStatus;
    }

    auto* init = new WDFDEVICE_INIT{};
    init->driver = driver->wdfDriver;
    init->pdo = &node.pdo;
    init->pdoName = node.pdoName;
    init->instanceId = node.instanceId;
    WDFDEVICE_INIT* pending = init;
    status = driver->wdfDriver->config().EvtDriverDeviceAdd(driver->wdfDriver->as_handle<WDFDRIVER>(), pending);
    // WdfDeviceCreate takes the init over (and clears the driver's pointer); we keep our own copy to free.
    delete init;
    node.fdo = node.pdo.AttachedDevice != nullptr
                   ? static_cast<kmdf::FxDevice*>(node.pdo.AttachedDevice->DeviceExtension)
                   : nullptr;
    if (!NT_SUCCESS(status) || node.fdo == nullptr) {
        if (node.fdo != nullptr) {
            node.fdo->remove();
            node.fdo = nullptr;
        }
        node.state = NodeState::Failed;
        node.lastStatus = NT_SUCCESS(status) ? STATUS_INVALID_DEVICE_STATE : status;
        if (driver->devices == 0) Machine::current().drivers().unload(node.service);
        node.driver = nullptr;
        return node.lastStatus;
    }

    status = node.fdo->prepare_hardware();
    if (NT_SUCCESS(status)) {
        status = node.fdo->d0_entry(WdfPowerDeviceD3Final);
        if (NT_SUCCESS(status)) {
            node.power = WdfPowerDeviceD0;
            node.state = NodeState::Started;
            node.fdo->set_started(true);
            return STATUS_SUCCESS;
        }
    }
    // A failed start releases what preparation built and removes the device.
    node.lastStatus = status;
    tear_down(node, false);
    node.state = NodeState::Failed;
    return status;
}

NTSTATUS PnpManager::suspend(DevNode& node, WDF_POWER_DEVICE_STATE target) {
    require_passive("PnpManager::suspend");
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Started || node.fdo == nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = node.fdo->d0_exit(target);
    node.power = target;
    node.state = NodeState::Suspended;
    return status;
}

NTSTATUS PnpManager::resume(DevNode& node) {
    require_passive("PnpManager::resume");
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Suspended || node.fdo == nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = node.fdo->d0_entry(node.power);
    if (NT_SUCCESS(status)) {
        node.power = WdfPowerDeviceD0;
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

void PnpManager::tear_down(DevNode& node, bool released) {
    if (node.fdo != nullptr) {
        if (!released) node.fdo->release_hardware();
        node.fdo->remove();
        node.fdo = nullptr;
    }
    node.power = WdfPowerDeviceD3Final;
    if (node.driver != nullptr && node.driver->devices == 0) Machine::current().drivers().unload(node.service);
    node.driver = nullptr;
}

void PnpManager::remove(DevNode& node) {
    require_passive("PnpManager::remove");
    std::lock_guard nodeLock(node.lock);
    if (node.state == NodeState::Removed || node.state == NodeState::Failed) return;
    notify_removal(node, RemovalKind::Orderly);
    if (node.fdo != nullptr) {
        node.fdo->set_started(false);
        if (node.state == NodeState::Started) node.fdo->d0_exit(WdfPowerDeviceD3Final);
    }
    tear_down(node, false);
    node.state = NodeState::Removed;
    Machine::current().names().remove_device(node.pdoName);
}

void PnpManager::surprise_remove(DevNode& node, bool holdRelease) {
    require_passive("PnpManager::surprise_remove");
    std::lock_guard nodeLock(node.lock);
    if (node.state == NodeState::Removed || node.state == NodeState::Failed || node.state == NodeState::Removing) {
        return;
    }
    notify_removal(node, RemovalKind::Surprise);
    if (node.fdo != nullptr) {
        node.fdo->set_started(false);
        node.fdo->surprise_removal();
        if (node.state == NodeState::Started) node.fdo->d0_exit(WdfPowerDeviceD3Final);
    }
    node.state = NodeState::Removing;
    if (!holdRelease) finish_removal(node);
}

void PnpManager::finish_removal(DevNode& node) {
    require_passive("PnpManager::finish_removal");
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Removing) return;
    tear_down(node, false);
    node.state = NodeState::Removed;
    Machine::current().names().remove_device(node.pdoName);
}

NTSTATUS PnpManager::rebalance(DevNode& node) {
    require_passive("PnpManager::rebalance");
    std::lock_guard nodeLock(node.lock);
    if (node.state != NodeState::Started || node.fdo == nullptr) return STATUS_INVALID_DEVICE_STATE;
    node.fdo->d0_exit(WdfPowerDeviceD3Final);
    node.fdo->release_hardware();
    node.power = WdfPowerDeviceD3Final;
    NTSTATUS status = node.fdo->prepare_hardware();
    if (NT_SUCCESS(status)) status = node.fdo->d0_entry(WdfPowerDeviceD3Final);
    if (NT_SUCCESS(status)) {
        node.power = WdfPowerDeviceD0;
        return status;
    }
    node.lastStatus = status;
    node.fdo->set_started(false);
    tear_down(node, false);
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
        if (node.state == NodeState::Removing) {
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
