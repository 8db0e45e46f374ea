// The PnP manager's interface-change notifications to drivers: one serial
// worker delivers every registration's callbacks in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "device_interfaces.h"
#include "platform/kernel/pnp_notify.h"
#include "work_queue.h"

namespace platform {

class Machine;

class PnpNotifications {
public:
    explicit PnpNotifications(Machine& machine);
    ~PnpNotifications();

    uint64_t add(const GUID& interfaceClass, bool includeExisting, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback,
                 PVOID context);
    void remove(uint64_t id);
    void drain() { worker_.drain(); }

private:
    struct Registration {
        GUID interfaceClass;
        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
        PVOID context;
        bool removed = false;
        bool orphaned = false;  // removed from its own callback
        unsigned running = 0;
        std::thread::id runner;
    };

    void post(uint64_t id, const InterfaceRecord& record, bool arrived);
    void deliver(uint64_t id, InterfaceRecord record, bool arrived);

    Machine& machine_;
    std::mutex lock_;
    std::condition_variable idle_;
    std::map<uint64_t, Registration> registrations_;  // guarded by lock_
    uint64_t nextId_ = 1;                             // guarded by lock_
    uint64_t subscription_ = 0;
    WorkQueue worker_{1};
};

}  // namespace platform
