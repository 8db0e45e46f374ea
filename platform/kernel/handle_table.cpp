#include "handle_table.h"

namespace platform {

namespace {
constexpr uintptr_t kHandleStep = 4;  // handle values are multiples of four, as on Windows
}

HANDLE HandleTable::insert(OBJECT_TYPE* type, void* object) {
    std::lock_guard lock(lock_);
    uintptr_t value = next_;
    next_ += kHandleStep;
    entries_.emplace(value, Entry{type, object});
    return reinterpret_cast<HANDLE>(value);
}

bool HandleTable::remove(HANDLE handle, Entry* entry) {
    std::lock_guard lock(lock_);
    auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == entries_.end()) return false;
    *entry = it->second;
    entries_.erase(it);
    return true;
}

std::vector<HandleTable::Entry> HandleTable::take_all() {
    std::lock_guard lock(lock_);
    std::vector<Entry> all;
    for (auto& [value, entry] : entries_) all.push_back(entry);
    entries_.clear();
    return all;
}

size_t HandleTable::size() const {
    std::lock_guard lock(lock_);
    return entries_.size();
}

}  // namespace platform
