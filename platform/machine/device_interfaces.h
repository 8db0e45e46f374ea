// Device interfaces: each is a class GUID on a device's PDO with an optional
// reference string, reached through a symbolic link
// `\??\<instance id with # for \>#{class}` (plus `\<reference string>`).
// Enabling and disabling announce arrival and removal to subscribers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/io.h"

namespace platform {

std::u16string guid_to_string(const GUID& guid);  // "{6D41C2A8-...}"

struct InterfaceRecord {
    uint64_t id = 0;
    GUID interfaceClass{};
    DEVICE_OBJECT* pdo = nullptr;
    std::u16string referenceString;
    std::u16string symbolicLink;  // what enumeration reports and CreateFile opens
    bool enabled = false;
};

class DeviceInterfaces {
public:
    using Listener = std::function<void(const InterfaceRecord& record, bool arrived)>;

    // Registers an interface on one of the machine's PDOs (its link is named
    // from the node's instance id); 0 when `pdo` is no PDO of the machine's.
    uint64_t add(const GUID& interfaceClass, DEVICE_OBJECT* pdo, const std::u16string& referenceString);
    // Announces the change to every subscriber, on the calling thread.
    void set_enabled(uint64_t id, bool enabled);
    // Disables and forgets every interface of a PDO.
    void remove_device(DEVICE_OBJECT* pdo);

    std::vector<InterfaceRecord> list(const GUID& interfaceClass, bool presentOnly) const;

    uint64_t subscribe(Listener listener);
    void unsubscribe(uint64_t id);

private:
    mutable std::mutex lock_;
    std::map<uint64_t, InterfaceRecord> records_;  // guarded by lock_
    std::map<uint64_t, Listener> listeners_;       // guarded by lock_
    uint64_t nextId_ = 1;                          // guarded by lock_
};

}  // namespace platform
