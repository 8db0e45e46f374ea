// Device-interface notification for the programs behind the socket: each
// subscription of a connection follows the machine's interface arrivals and
// removals of one class (or of every class) and hands each change to the
// connection, which pushes it to its program as an InterfaceChanged message.
// Also the encoding of that message's payload, which both ends share.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device_interfaces.h"

namespace platform {

class InterfaceSubscriptions {
public:
    // Called on the machine's thread that changed the interface; must only queue the change.
    using Push = std::function<void(uint64_t subscription, const InterfaceRecord& record, bool arrived)>;

    // More than any real program makes; a client asking for more is refused.
    static constexpr size_t kMaxPerConnection = 64;

    InterfaceSubscriptions() = default;
    ~InterfaceSubscriptions() { clear(); }
    InterfaceSubscriptions(const InterfaceSubscriptions&) = delete;
    InterfaceSubscriptions& operator=(const InterfaceSubscriptions&) = delete;

    // The new subscription's id (never 0); 0 when the connection has too many.
    uint64_t add(const GUID& interfaceClass, bool allClasses, Push push);
    // False for an id that is not (or no longer) one of these subscriptions.
    bool remove(uint64_t id);
    // Ends every subscription (the connection is going).
    void clear();

private:
    std::mutex lock_;
    std::map<uint64_t, uint64_t> listeners_;  // guarded by lock_: subscription id -> the machine's listener id
    uint64_t nextId_ = 1;                     // guarded by lock_
};

namespace wire {

// InterfaceChanged's payload: the class GUID, then the symbolic link in UTF-16.
std::vector<uint8_t> encode_interface_change(const GUID& interfaceClass, const std::u16string& symbolicLink);
// False for a payload too short to hold the class.
bool decode_interface_change(const std::vector<uint8_t>& payload, GUID* interfaceClass, std::u16string* symbolicLink);

}  // namespace wire

}  // namespace platform
