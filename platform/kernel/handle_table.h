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
    // Looks a handle up and runs `take` on its entry while no close can remove
    // it (to take a reference before the handle can go).
    template <typename Take>
    bool find_and(HANDLE handle, Entry* entry, Take take) const {
        std::lock_guard lock(lock_);
        auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == entries_.end()) return false;
        *entry = it->second;
        return take(*entry);
    }
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
