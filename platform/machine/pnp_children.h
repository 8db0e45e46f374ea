// The PnP manager's side of buses whose children a driver enumerates (a
// bus FDO's child list): when the bus driver says its children changed, the
// enumeration worker asks the bus stack for its relations, builds a node for
// each new PDO (the PDO started, the driver that matches its hardware ids
// loaded by service, as for any node; a PDO no driver matches stays without
// one, as on Windows), and removes the node of each PDO that left (its
// function device, then the PDO, then the driver if it serves nothing more).
// A bus node's children go before the bus itself.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/io.h"
#include "pnp_manager.h"
#include "work_queue.h"

namespace platform {

class Machine;

inline constexpr const char16_t* kDriverMatchKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DriverMatch";

// Names the service that serves devices of a hardware id (what installing a
// driver package does on Windows).
void register_driver_match(std::u16string_view hardwareId, const std::string& service);
// The service for the first of `hardwareIds` that has one; empty when none.
std::string matching_service(const std::vector<std::u16string>& hardwareIds);

// Waits until no interface notification and no enumeration is queued or
// running, including those they start. Not from a PnP worker.
void wait_for_pnp_idle();

class PnpChildren {
public:
    explicit PnpChildren(Machine& machine);
    ~PnpChildren();
    PnpChildren(const PnpChildren&) = delete;
    PnpChildren& operator=(const PnpChildren&) = delete;

    // IoInvalidateDeviceRelations: the bus behind `busPdo` is enumerated on the worker.
    void invalidate(DEVICE_OBJECT* busPdo);
    void wait_idle();
    // The child nodes a bus node has now, in the order they arrived.
    std::vector<DevNode*> children_of(const DevNode& bus);

private:
    struct Child {
        DEVICE_OBJECT* pdo;
        DevNode* node;
    };

    void enumerate(DEVICE_OBJECT* busPdo);
    void add_child(DevNode& bus, DEVICE_OBJECT* pdo);
    void remove_child(const Child& child, RemovalKind kind);
    void remove_children(DevNode& bus, RemovalKind kind);

    Machine& machine_;
    std::mutex lock_;
    std::map<const DevNode*, std::vector<Child>> children_;  // guarded by lock_
    std::atomic<uint64_t> posted_{0};
    uint64_t listener_ = 0;
    WorkQueue worker_{1};  // last: its thread ends before the rest goes
};

}  // namespace platform
