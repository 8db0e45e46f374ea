// The kernel of the running machine: its clock, its object namespace and the
// system's handle table, and the one seam through which the machine that runs
// it answers what only the machine knows (the process a request came from
// and its address space, where error-log entries go, the Windows version it
// reports). The machine creates the kernel first and installs itself as its
// host; one kernel exists at a time.
#pragma once

#include <memory>

#include "clock.h"
#include "handle_table.h"
#include "io.h"
#include "object_namespace.h"
#include "user_memory.h"

namespace platform {

struct WindowsVersion {
    unsigned major = 10;
    unsigned minor = 0;
    unsigned build = 19045;
};

class KernelHost {
public:
    virtual ~KernelHost() = default;
    // The handle table of the process whose request runs on this thread; null in system context.
    virtual HandleTable* current_process_handles() = 0;
    // The address space of that process, to map pages into; null in system context.
    virtual std::shared_ptr<UserMemory> current_process_memory() = 0;
    // Takes one error-log entry written by `source`'s driver (null: the system).
    virtual void write_error_log(DRIVER_OBJECT* source, const IO_ERROR_LOG_PACKET& packet, uint64_t time) = 0;
    virtual WindowsVersion windows_version() = 0;
    // The last device object of `driver` went (a deleted device's last
    // reference dropped): a driver waiting for that may unload now. Any IRQL.
    virtual void driver_without_devices(DRIVER_OBJECT* driver) = 0;
};

class Kernel {
public:
    Kernel(Clock::Mode clockMode, KernelHost& host);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The running kernel; a kernel call made with none is a rule violation.
    static Kernel& current();
    static bool exists();

    Clock& clock() { return clock_; }
    ObjectNamespace& names() { return names_; }
    HandleTable& handles() { return handles_; }
    KernelHost& host() { return host_; }

private:
    Clock clock_;
    ObjectNamespace names_;
    HandleTable handles_;
    KernelHost& host_;
};

}  // namespace platform
