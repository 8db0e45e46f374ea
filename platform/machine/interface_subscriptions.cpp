#include "interface_subscriptions.h"

#include <cstring>

#include "machine.h"
#include "socket_protocol.h"

namespace platform {

uint64_t InterfaceSubscriptions::add(const GUID& interfaceClass, bool allClasses, Push push) {
    std::lock_guard lock(lock_);
    if (listeners_.size() >= kMaxPerConnection) return 0;
    uint64_t id = nextId_++;
    // Subscribed under the lock, so a remove that follows finds it; the
    // machine calls listeners outside its own lock, so this never nests.
    listeners_[id] = Machine::current().interfaces().subscribe(
        [id, interfaceClass, allClasses, push = std::move(push)](const InterfaceRecord& record, bool arrived) {
            if (allClasses || record.interfaceClass == interfaceClass) push(id, record, arrived);
        });
    return id;
}

bool InterfaceSubscriptions::remove(uint64_t id) {
    std::lock_guard lock(lock_);
    auto it = listeners_.find(id);
    if (it == listeners_.end()) return false;
    if (Machine::exists()) Machine::current().interfaces().unsubscribe(it->second);
    listeners_.erase(it);
    return true;
}

void InterfaceSubscriptions::clear() {
    std::lock_guard lock(lock_);
    if (Machine::exists()) {
        for (auto& [id, listener] : listeners_) Machine::current().interfaces().unsubscribe(listener);
    }
    listeners_.clear();
}

namespace wire {

std::vector<uint8_t> encode_interface_change(const GUID& interfaceClass, const std::u16string& symbolicLink) {
    std::vector<uint8_t> payload(sizeof(GUID));
    std::memcpy(payload.data(), &interfaceClass, sizeof(GUID));
    std::vector<uint8_t> link = to_bytes(symbolicLink);
    payload.insert(payload.end(), link.begin(), link.end());
    return payload;
}

bool decode_interface_change(const std::vector<uint8_t>& payload, GUID* interfaceClass, std::u16string* symbolicLink) {
    if (payload.size() < sizeof(GUID)) return false;
    std::memcpy(interfaceClass, payload.data(), sizeof(GUID));
    *symbolicLink = to_u16(std::vector<uint8_t>(payload.begin() + sizeof(GUID), payload.end()));
    return true;
}

}  // namespace wire

}  // namespace platform
