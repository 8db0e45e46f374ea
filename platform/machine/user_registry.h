// The registry as user mode's Reg* calls see it: keys created with every
// missing parent, a key deleted only when it has no subkeys, values written
// only into a key that still exists, subkeys enumerated in name order. The
// calls of a process in this program and of one behind the socket run here
// alike; the encoding below carries them over the socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/kernel/nt_types.h"

namespace platform {

class Registry;

namespace user_registry {

enum class Op : uint32_t { OpenKey = 1, CreateKey, DeleteKey, SetValue, QueryValue, EnumKeys };

struct Call {
    Op op = Op::OpenKey;
    std::u16string key;  // full kernel path, `\Registry\Machine\...`
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct Result {
    NTSTATUS status = 0;
    uint32_t disposition = 0;  // CreateKey: 1 created, 2 opened an existing key
    uint32_t type = 0;         // QueryValue
    std::vector<uint8_t> data;          // QueryValue
    std::vector<std::u16string> names;  // EnumKeys, in order
};

inline constexpr uint32_t kCreatedNewKey = 1;
inline constexpr uint32_t kOpenedExistingKey = 2;

// Only paths under a hive root are served (`\Registry\Machine`).
Result run(Registry& registry, const Call& call);

// The wire form: header code = op, length1 = type; payload = u32 key bytes,
// key, u32 name bytes, name, data. Decoding checks every length against the payload.
std::vector<uint8_t> encode(const Call& call);
bool decode(uint32_t op, uint32_t type, const std::vector<uint8_t>& payload, Call* call);
// The result's payload: the data of QueryValue, the NUL-separated names of EnumKeys.
std::vector<uint8_t> encode_payload(const Result& result, Op op);
void decode_payload(const std::vector<uint8_t>& payload, Op op, Result* result);

}  // namespace user_registry
}  // namespace platform
