// User-mode processes as the kernel sees them: an id, a bitness, a handle
// table, the shared memory mapped into the process (below 4 GiB for a 32-bit
// one), and the user requests it has pending (so ending the process can
// cancel them before its handles close, as Windows does). The I/O manager
// (user_io.h) runs requests for them.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/handle_table.h"
#include "platform/kernel/nt_types.h"
#include "platform/kernel/user_memory.h"

namespace platform {

class UserRequest;

// Where a process's memory lives: this address space (a process acted by a
// test), or another program's behind the machine's socket.
class AddressSpace {
public:
    virtual ~AddressSpace() = default;
    // Maps `bytes` of the shared-memory descriptor `fd` from `offset`
    // read-write (below 4 GiB when asked); null on failure.
    virtual void* map(int fd, size_t offset, size_t bytes, bool below4GiB) = 0;
    virtual void unmap(void* address, size_t bytes) = 0;
};

class Process : public UserMemory, public std::enable_shared_from_this<Process> {
public:
    Process(ULONG id, bool is32Bit, std::string name, std::shared_ptr<AddressSpace> addressSpace);
    ~Process() override;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    ULONG id() const { return id_; }
    ULONG process_id() const override { return id_; }
    bool is_32bit() const override { return is32Bit_; }
    const std::string& name() const { return name_; }
    HandleTable& handles() { return handles_; }

    // Maps shared memory into the process; the mapping goes when the process
    // ends. A 32-bit process gets an address that fits in 32 bits, or none.
    void* map_shared(int fd, size_t bytes, size_t offset = 0) override;
    void unmap_shared(void* address) override;
    size_t mapping_count() const;

    // The I/O manager's list of pending requests. add_request refuses once the process is ending.
    bool add_request(UserRequest* request);
    void remove_request(UserRequest* request);
    // Holds every pending request that `match` selects, so they can be cancelled outside the lock.
    template <typename Match>
    std::vector<UserRequest*> hold_requests(Match match);

    // Ends the process: cancels its pending requests, then closes every handle.
    void terminate();
    bool ending() const override;

private:
    const ULONG id_;
    const bool is32Bit_;
    const std::string name_;
    HandleTable handles_;
    std::shared_ptr<AddressSpace> addressSpace_;

    mutable std::mutex lock_;
    std::vector<UserRequest*> requests_;   // guarded by lock_
    std::map<void*, size_t> mappings_;     // guarded by lock_
    bool ending_ = false;                  // guarded by lock_
};

// The processes the machine knows.
class ProcessTable {
public:
    // Null address space: the process lives in this program (tests acting as processes).
    std::shared_ptr<Process> create(bool is32Bit, std::string name, std::shared_ptr<AddressSpace> addressSpace = nullptr);
    // Ends and forgets a process.
    void end(ULONG id);
    void end_all();
    std::shared_ptr<Process> find(ULONG id) const;
    size_t size() const;

private:
    mutable std::mutex lock_;
    std::map<ULONG, std::shared_ptr<Process>> processes_;  // guarded by lock_
    ULONG nextId_ = 1000;                                   // guarded by lock_
};

// The process whose request runs on this thread; null in system context.
Process* current_process();

// Makes `process` the current one on this thread for a scope.
class CurrentProcessScope {
public:
    explicit CurrentProcessScope(Process* process);
    ~CurrentProcessScope();
    CurrentProcessScope(const CurrentProcessScope&) = delete;
    CurrentProcessScope& operator=(const CurrentProcessScope&) = delete;

private:
    Process* previous_;
};

}  // namespace platform

#include "user_io.h"

namespace platform {

template <typename Match>
std::vector<UserRequest*> Process::hold_requests(Match match) {
    std::lock_guard lock(lock_);
    std::vector<UserRequest*> held;
    for (UserRequest* request : requests_) {
        if (match(*request) && request->hold()) held.push_back(request);
    }
    return held;
}

}  // namespace platform
