// A driver image's message table, the stand-in for a Windows RT_MESSAGETABLE
// resource: fixed-size records in a named ELF section that the event log
// reads from the image file (nothing is exported for it).
#pragma once

#include <cstdint>

namespace platform {

inline constexpr const char* kMessageTableSection = ".rsrc.msgtable";
inline constexpr unsigned kMessageTextCapacity = 124;

struct MessageResourceEntry {
    uint32_t id;
    char text[kMessageTextCapacity];  // NUL-terminated, ends with "\r\n"
};
static_assert(sizeof(MessageResourceEntry) == 128);

}  // namespace platform

#define VEXA_MESSAGE_TABLE_SECTION __attribute__((section(".rsrc.msgtable"), used))
