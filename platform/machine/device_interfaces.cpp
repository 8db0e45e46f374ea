#include "device_interfaces.h"

#include <cstdio>

#include "machine.h"
#include "pnp_manager.h"
#include "platform/kernel/object_namespace.h"

namespace platform {

std::u16string guid_to_string(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return widen(text);
}

uint64_t DeviceInterfaces::add(const GUID& interfaceClass, DEVICE_OBJECT* pdo, const std::u16string& referenceString) {
    DevNode* node = DevNode::of(pdo);
    if (node == nullptr) return 0;
    std::u16string mangled = node->instanceId;
    for (char16_t& c : mangled) {
        if (c == u'\\') c = u'#';
    }
    std::u16string link = u"\\??\\" + mangled + u"#" + guid_to_string(interfaceClass);
    Machine::current().names().add_link(link, node->pdoName);

    InterfaceRecord record;
    record.interfaceClass = interfaceClass;
    record.pdo = pdo;
    record.referenceString = referenceString;
    record.symbolicLink = referenceString.empty() ? link : link + u"\\" + referenceString;
    std::lock_guard lock(lock_);
    record.id = nextId_++;
    records_[record.id] = record;
    return record.id;
}

void DeviceInterfaces::set_enabled(uint64_t id, bool enabled) {
    InterfaceRecord record;
    std::vector<Listener> listeners;
    {
        std::lock_guard lock(lock_);
        auto it = records_.find(id);
        if (it == records_.end() || it->second.enabled == enabled) return;
        it->second.enabled = enabled;
        record = it->second;
        for (auto& [key, listener] : listeners_) listeners.push_back(listener);
    }
    for (auto& listener : listeners) listener(record, enabled);
}

void DeviceInterfaces::remove_device(DEVICE_OBJECT* pdo) {
    std::vector<uint64_t> ids;
    {
        std::lock_guard lock(lock_);
        for (auto& [id, record] : records_) {
            if (record.pdo == pdo) ids.push_back(id);
        }
    }
    for (uint64_t id : ids) set_enabled(id, false);
    std::lock_guard lock(lock_);
    for (uint64_t id : ids) records_.erase(id);
}

std::vector<InterfaceRecord> DeviceInterfaces::list(const GUID& interfaceClass, bool presentOnly) const {
    std::lock_guard lock(lock_);
    std::vector<InterfaceRecord> found;
    for (auto& [id, record] : records_) {
        if (record.interfaceClass == interfaceClass && (record.enabled || !presentOnly)) found.push_back(record);
    }
    return found;
}

uint64_t DeviceInterfaces::subscribe(Listener listener) {
    std::lock_guard lock(lock_);
    uint64_t id = nextId_++;
    listeners_[id] = std::move(listener);
    return id;
}

void DeviceInterfaces::unsubscribe(uint64_t id) {
    std::lock_guard lock(lock_);
    listeners_.erase(id);
}

}  // namespace platform
