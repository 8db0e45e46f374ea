// The Plug and Play manager: device nodes with their PDOs, the driver loaded
// by service name for each and its AddDevice called, and the start, power,
// removal and rebalance steps sent to the function device above the PDO,
// run on the calling thread at PASSIVE_LEVEL and serialised per device.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/kernel/pnp_device.h"

namespace platform {

struct LoadedDriver;

// What sits on the bus behind a PDO (a simulated USB device); it answers the
// requests that reach the PDO. Root-enumerated nodes have none.
class BusDevice {
public:
    virtual ~BusDevice() = default;
    // Serves an IRP sent to the PDO; must complete it.
    virtual NTSTATUS dispatch_pdo_irp(DEVICE_OBJECT* pdo, IRP* irp);
    // The PDO's own removal, after the function device's and before its
    // driver may unload (a bus driver's PDO is deleted here). Once only.
    virtual void remove_pdo() {}
    // A property of the PDO (IoGetDeviceProperty on the node's device object); empty when none.
    virtual std::u16string pdo_property(DEVICE_REGISTRY_PROPERTY) { return {}; }
};

// NoDriver: present, but no service matched its hardware ids (nothing started on it).
enum class NodeState { Created, Started, Suspended, Removing, Removed, Failed, NoDriver };

class DevNode : public IrpHandler {
public:
    DevNode() = default;
    DevNode(const DevNode&) = delete;
    DevNode& operator=(const DevNode&) = delete;

    std::u16string instanceId;
    std::vector<std::u16string> hardwareIds;
    std::string service;
    std::shared_ptr<BusDevice> bus;
    DEVICE_OBJECT pdo{};
    std::u16string pdoName;

    // Guarded by `lock`, which serialises every PnP step on this node.
    std::recursive_mutex lock;
    NodeState state = NodeState::Created;
    DEVICE_POWER_STATE power = PowerDeviceD3;
    DEVICE_OBJECT* fdo = nullptr;  // the function device the driver attached; null when none
    LoadedDriver* driver = nullptr;
    NTSTATUS lastStatus = 0;  // the status of the last failed step

    NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) override;
    std::u16string device_property(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property) override;

    // The node behind a PDO; null for a device object that is no PDO of the machine's.
    static DevNode* of(DEVICE_OBJECT* pdo);
};

enum class RemovalKind { Orderly, Surprise };

class PnpManager {
public:
    using RemovalListener = std::function<void(DevNode& node, RemovalKind kind)>;

    ~PnpManager();

    // Creates a node and starts it: driver load, device add, hardware
    // preparation, D0 entry, interfaces enabled. The node stays listed when
    // the start fails (state Failed, `lastStatus` says why).
    DevNode* add_node(std::u16string instanceId, std::vector<std::u16string> hardwareIds, std::string service,
                      std::shared_ptr<BusDevice> bus = nullptr);

    // Leaves D0 for `target` (D1, D2 or D3) as the system sleeps or hibernates, and comes back.
    NTSTATUS suspend(DevNode& node, DEVICE_POWER_STATE target, POWER_ACTION action = PowerActionSleep);
    NTSTATUS resume(DevNode& node);
    // Orderly removal: D0 exit to D3 final, release, deletion.
    void remove(DevNode& node);
    // Surprise removal: D0 exit to D3 final, the surprise-removal callback,
    // then (unless held, for a test to act in between) release and deletion.
    void surprise_remove(DevNode& node, bool holdRelease = false);
    void finish_removal(DevNode& node);
    // Stop and start again (resource rebalance): D0 exit, release, prepare, D0 entry.
    NTSTATUS rebalance(DevNode& node);

    std::vector<DevNode*> nodes();
    void remove_all();

    // Told before a device's own removal callbacks run (holders of remote I/O targets).
    uint64_t add_removal_listener(RemovalListener listener);
    void remove_removal_listener(uint64_t id);

private:
    NTSTATUS start(DevNode& node);
    void tear_down(DevNode& node);
    void notify_removal(DevNode& node, RemovalKind kind);

    std::mutex lock_;
    std::list<std::unique_ptr<DevNode>> nodes_;  // guarded by lock_; removed nodes stay until shutdown
    std::vector<std::pair<uint64_t, RemovalListener>> removalListeners_;  // guarded by lock_
    uint64_t nextId_ = 1;
    unsigned pdoCount_ = 0;
};

}  // namespace platform
