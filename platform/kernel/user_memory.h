// A user process's address space as the memory manager maps pages into it.
// The machine's processes implement it: in this program, or in another one
// behind the machine's socket.
#pragma once

#include <cstddef>

#include "nt_types.h"

namespace platform {

class UserMemory {
public:
    virtual ~UserMemory() = default;

    virtual ULONG process_id() const = 0;
    virtual bool is_32bit() const = 0;
    // The process has begun to end: its handles close, then its mappings go.
    virtual bool ending() const = 0;
    // Maps `bytes` of the shared-memory descriptor `fd` from `offset` into the
    // process, read-write; below 4 GiB for a 32-bit process. Null on failure.
    virtual void* map_shared(int fd, size_t bytes, size_t offset) = 0;
    // Undoes a mapping of this process; one the process no longer has is ignored.
    virtual void unmap_shared(void* address) = 0;
};

}  // namespace platform
