#include "process.h"

#include <sys/mman.h>

#include <algorithm>

#include "platform/kernel/event_object.h"
#include "platform/kernel/io.h"

namespace platform {
namespace {

thread_local Process* t_current = nullptr;

constexpr uintptr_t kUserHandleBase = 0x104;  // user handles are small multiples of four
constexpr ULONG kProcessIdStep = 4;

// A process acted by this program: its mappings are ours.
class LocalAddressSpace : public AddressSpace {
public:
    void* map(int fd, size_t bytes) override {
        void* address = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        return address == MAP_FAILED ? nullptr : address;
    }
    void unmap(void* address, size_t bytes) override { munmap(address, bytes); }
};

}  // namespace

Process::Process(ULONG id, bool is32Bit, std::string name, std::shared_ptr<AddressSpace> addressSpace)
    : id_(id),
      is32Bit_(is32Bit),
      name_(std::move(name)),
      handles_(kUserHandleBase),
      addressSpace_(addressSpace ? std::move(addressSpace) : std::make_shared<LocalAddressSpace>()) {}

Process::~Process() { terminate(); }

void* Process::map_shared(int fd, size_t bytes) {
    void* address = addressSpace_->map(fd, bytes);
    if (address == nullptr) return nullptr;
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
