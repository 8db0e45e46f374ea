#include "process.h"

#include <algorithm>

#include "platform/kernel/event_object.h"
#include "platform/kernel/io.h"
#include "platform/kernel/shared_memory.h"

namespace platform {
namespace {

thread_local Process* t_current = nullptr;

constexpr uintptr_t kUserHandleBase = 0x104;  // user handles are small multiples of four
constexpr ULONG kProcessIdStep = 4;

// A process acted by this program: its mappings are ours.
class LocalAddressSpace : public AddressSpace {
public:
    void* map(int fd, size_t offset, size_t bytes, bool below4GiB) override {
        return map_shared_memory(fd, offset, bytes, below4GiB);
    }
    void unmap(void* address, size_t bytes) override { unmap_shared_memory(address, bytes); }
};

}  // namespace

Process::Process(ULONG id, bool is32Bit, std::string name, std::shared_ptr<AddressSpace> addressSpace)
    : id_(id),
      is32Bit_(is32Bit),
      name_(std::move(name)),
      handles_(kUserHandleBase),
      addressSpace_(addressSpace ? std::move(addressSpace) : std::make_shared<LocalAddressSpace>()) {}

Process::~Process() { terminate(); }

void* Process::map_shared(int fd, size_t bytes, size_t offset) {
    void* address = addressSpace_->map(fd, offset, bytes, is32Bit_);
    if (address == nullptr) return nullptr;
    if (is32Bit_ && reinterpret_cast<uint64_t>(address) + bytes > k4GiB) {
        // Out of the process's reach: no mapping at all rather than a truncated address.
        addressSpace_->unmap(address, bytes);
        return nullptr;
    }
    std::lock_guard lock(lock_);
    mappings_[address] = bytes;
    return address;
}

void Process::unmap_shared(void* address) {
    size_t bytes;
    {
        std::lock_guard lock(lock_);
        auto it = mappings_.find(address);
        if (it == mappings_.end()) return;
        bytes = it->second;
        mappings_.erase(it);
    }
    addressSpace_->unmap(address, bytes);
}

size_t Process::mapping_count() const {
    std::lock_guard lock(lock_);
    return mappings_.size();
}

bool Process::add_request(UserRequest* request) {
    std::lock_guard lock(lock_);
    if (ending_) return false;
    requests_.push_back(request);
    return true;
}

void Process::remove_request(UserRequest* request) {
    std::lock_guard lock(lock_);
    std::erase(requests_, request);
}

bool Process::ending() const {
    std::lock_guard lock(lock_);
    return ending_;
}

void Process::terminate() {
    {
        std::lock_guard lock(lock_);
        if (ending_) return;
        ending_ = true;
    }
    CurrentProcessScope scope(this);
    user_io::cancel_io(*this, nullptr, std::nullopt);
    for (const HandleTable::Entry& entry : handles_.take_all()) {
        if (entry.type == *IoFileObjectType) {
            release_file_handle(static_cast<FILE_OBJECT*>(entry.object));
        } else if (entry.type == *ExEventObjectType) {
            static_cast<EventObject*>(entry.object)->release();
        }
    }
    std::map<void*, size_t> mappings;
    {
        std::lock_guard lock(lock_);
        mappings.swap(mappings_);
    }
    for (auto& [address, bytes] : mappings) addressSpace_->unmap(address, bytes);
}

std::shared_ptr<Process> ProcessTable::create(bool is32Bit, std::string name,
                                              std::shared_ptr<AddressSpace> addressSpace) {
    std::lock_guard lock(lock_);
    ULONG id = nextId_;
    nextId_ += kProcessIdStep;
    auto process = std::make_shared<Process>(id, is32Bit, std::move(name), std::move(addressSpace));
    processes_[id] = process;
    return process;
}

void ProcessTable::end(ULONG id) {
    std::shared_ptr<Process> process;
    {
        std::lock_guard lock(lock_);
        auto it = processes_.find(id);
        if (it == processes_.end()) return;
        process = it->second;
        processes_.erase(it);
    }
    process->terminate();
}

void ProcessTable::end_all() {
    for (;;) {
        ULONG id;
        {
            std::lock_guard lock(lock_);
            if (processes_.empty()) return;
            id = processes_.begin()->first;
        }
        end(id);
    }
}

std::shared_ptr<Process> ProcessTable::find(ULONG id) const {
    std::lock_guard lock(lock_);
    auto it = processes_.find(id);
    return it == processes_.end() ? nullptr : it->second;
}

size_t ProcessTable::size() const {
    std::lock_guard lock(lock_);
    return processes_.size();
}

Process* current_process() { return t_current; }

CurrentProcessScope::CurrentProcessScope(Process* process) : previous_(t_current) { t_current = process; }
CurrentProcessScope::~CurrentProcessScope() { t_current = previous_; }

}  // namespace platform
