// A table of handles to referenced kernel objects (the system's own table for
// kernel handles; one per process for user handles).
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "platform/kernel/nt_types.h"

struct OBJECT_TYPE;

namespace platform {

class HandleTable {
public:
    struct Entry {
        OBJECT_TYPE* type;
        void* object;
    };

    explicit HandleTable(uintptr_t base) : next_(base) {}

    HANDLE insert(OBJECT_TYPE* type, void* object);
    // Looks a handle up without removing it.
    bool find(HANDLE handle, Entry* entry) const;
    // Removes a handle; false when it is not in the table.
    bool remove(HANDLE handle, Entry* entry);
    // Removes every handle (a process ending), returning what they held.
    std::vector<Entry> take_all();
    size_t size() const;

private:
    mutable std::mutex lock_;
    std::map<uintptr_t, Entry> entries_;  // guarded by lock_
    uintptr_t next_;                       // guarded by lock_
};

}  // namespace platform
