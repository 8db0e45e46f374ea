// The messages between vexa-machine and the processes it serves over its Unix
// socket (SOCK_SEQPACKET: one message per packet). Requests carry the client
// thread that made them; a request the driver pends is answered "dispatched,
// pending" and later "completed". Shared memory (memfd) and events (eventfd)
// travel as descriptors with SCM_RIGHTS.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::wire {

inline constexpr uint32_t kProtocolVersion = 1;
inline constexpr size_t kMaxPayload = 192 * 1024;  // within the default socket buffer

enum class Type : uint32_t {
    // client to machine
    Hello = 1,        // flags: kFlag32Bit; payload: process name. Reply: value = process id
    CreateFile,       // payload: UTF-16 NT path. Reply: handle
    Close,            // handle
    Ioctl,            // handle, code, length1 = input bytes, length2 = output bytes; payload: input
    Cancel,           // handle (0: all), thread, flags: kFlagAllThreads
    CreateEvent,      // flags: kFlagManualReset; descriptor: the eventfd. Reply: handle
    Interfaces,       // payload: class GUID; flags: kFlagPresentOnly. Reply: NUL-separated UTF-16 links
    Mapped,           // answer to Map: status, value = address
    Registry,         // code = op, length1 = value type; payload: user_registry's encoding. Reply: status,
                      // value = disposition, code = value type; payload: value data or NUL-separated UTF-16 names
    ResolveFile,      // payload: UTF-16 Windows path. Reply: code = bytes of the installed Windows path;
                      // payload: that path (UTF-16), then the built file's path (UTF-8)
    // machine to client
    Reply = 100,      // status, handle, value
    Dispatched,       // status, flags: kFlagPending; value = information; payload: output
    Completed,        // status, value = information; payload: output
    Map,              // length1 = bytes, value = offset; descriptor: the memfd. Answered with Mapped
    Unmap,            // value = address, length1 = bytes
    // device-interface notification (CM_Register_Notification), client to machine
    Subscribe = 200,  // payload: class GUID; flags: kFlagAllClasses. Reply: value = subscription id
    Unsubscribe,      // value = subscription id. Reply: status; no InterfaceChanged of it follows the reply
                      // but one already on its way
    // machine to client
    InterfaceChanged,  // value = subscription id, flags: kFlagArrival; payload: class GUID, then the UTF-16
                       // symbolic link. Not answered
};

inline constexpr uint32_t kFlag32Bit = 1;
inline constexpr uint32_t kFlagPending = 1;
inline constexpr uint32_t kFlagAllThreads = 1;
inline constexpr uint32_t kFlagManualReset = 1;
inline constexpr uint32_t kFlagPresentOnly = 1;
inline constexpr uint32_t kFlagAllClasses = 1;
inline constexpr uint32_t kFlagArrival = 1;

struct Header {
    Type type;
    int32_t status;
    uint64_t id;      // pairs a reply with its request
    uint64_t thread;  // the client thread that made the request
    uint64_t handle;
    uint64_t value;
    uint32_t code;
    uint32_t length1;
    uint32_t length2;
    uint32_t flags;
};
static_assert(sizeof(Header) == 56);

struct Message {
    Header header{};
    std::vector<uint8_t> payload;
    int fd = -1;  // a descriptor that came with it; the receiver owns it
};

// One message; the descriptor, when given, is passed along (the sender keeps its own).
bool send_message(int socket, const Header& header, const void* payload, size_t bytes, int fd = -1);
// False when the peer has gone (or sent something that is not a message).
bool receive_message(int socket, Message* message);

std::vector<uint8_t> to_bytes(std::u16string_view text);
std::u16string to_u16(const std::vector<uint8_t>& bytes);

}  // namespace platform::wire
