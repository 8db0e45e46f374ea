// The simulated machine: the one place that owns the kernel (with its clock,
// object namespace and handle table), the registry, the event log, the PnP
// manager, the outside logger driver and the loaded driver images. It is the
// kernel's host: the kernel asks it for the current process (its handles and
// its address space), the error-log sink and the version. Platform calls above the kernel reach it through
// Machine::current(); one machine exists at a time.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include "platform/kernel/kernel.h"

namespace platform {

class Registry;
class EventLog;
class PnpManager;
class DriverLoader;
class LoggerDriver;
class DeviceInterfaces;
class WorkQueue;
class ProcessTable;

struct MachineOptions {
    Clock::Mode clockMode = Clock::Mode::Virtual;
    // Where the registry and the event log are kept; empty keeps them in memory only.
    std::filesystem::path stateDir;
    WindowsVersion windowsVersion;
};

class Machine : private KernelHost {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine() override;
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The running machine; a platform call made without one is a rule violation.
    static Machine& current();
    static bool exists();

    const MachineOptions& options() const { return options_; }
    void set_windows_version(WindowsVersion version) { options_.windowsVersion = version; }

    Kernel& kernel() { return *kernel_; }
    Clock& clock() { return kernel_->clock(); }
    Registry& registry() { return *registry_; }
    EventLog& event_log() { return *eventLog_; }
    ObjectNamespace& names() { return kernel_->names(); }
    HandleTable& kernel_handles() { return kernel_->handles(); }
    DeviceInterfaces& interfaces() { return *interfaces_; }
    DriverLoader& drivers() { return *drivers_; }
    PnpManager& pnp() { return *pnp_; }
    LoggerDriver& logger() { return *logger_; }
    WorkQueue& workers() { return *workers_; }
    ProcessTable& processes() { return *processes_; }

    // Ends every process, removes every device and unloads every driver (the machine shutting down).
    void shutdown();

    // A machine-wide component of another part of the layer (the USB host
    // controller, say), made on first use and destroyed after the devices
    // are gone, before the core components.
    template <typename T>
    T& attachment() {
        std::lock_guard lock(attachmentsLock_);
        auto& slot = attachments_[std::type_index(typeid(T))];
        if (!slot) {
            auto object = std::make_shared<T>(*this);
            slot = object;
            attachmentOrder_.push_back(object);
        }
        return *static_cast<T*>(slot.get());
    }

private:
    // KernelHost
    HandleTable* current_process_handles() override;
    std::shared_ptr<UserMemory> current_process_memory() override;
    void write_error_log(DRIVER_OBJECT* source, const IO_ERROR_LOG_PACKET& packet, uint64_t time) override;
    WindowsVersion windows_version() override { return options_.windowsVersion; }
    void driver_without_devices(DRIVER_OBJECT* driver) override;

    MachineOptions options_;
    std::unique_ptr<Kernel> kernel_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<EventLog> eventLog_;
    std::unique_ptr<DeviceInterfaces> interfaces_;
    std::unique_ptr<WorkQueue> workers_;
    std::unique_ptr<DriverLoader> drivers_;
    std::unique_ptr<PnpManager> pnp_;
    std::unique_ptr<LoggerDriver> logger_;
    std::unique_ptr<ProcessTable> processes_;
    bool shutDown_ = false;
    std::mutex attachmentsLock_;
    std::map<std::type_index, std::shared_ptr<void>> attachments_;  // guarded by attachmentsLock_
    std::vector<std::shared_ptr<void>> attachmentOrder_;             // guarded by attachmentsLock_
};

}  // namespace platform
