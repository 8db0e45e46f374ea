// The simulated machine: the one place that owns the clock, the registry, the
// event log, the object namespace, the kernel handle table, the PnP manager,
// the outside logger driver and the loaded driver images. Platform calls made
// by drivers reach it through Machine::current(); one machine exists at a time.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include "clock.h"

namespace platform {

class Registry;
class EventLog;
class ObjectNamespace;
class HandleTable;
class PnpManager;
class DriverLoader;
class LoggerDriver;
class DeviceInterfaces;
class WorkQueue;
class ProcessTable;

struct WindowsVersion {
    unsigned major = 10;
    unsigned minor = 0;
    unsigned build = 19045;
};

struct MachineOptions {
    Clock::Mode clockMode = Clock::Mode::Virtual;
    // Where the registry and the event log are kept; empty keeps them in memory only.
    std::filesystem::path stateDir;
    WindowsVersion windowsVersion;
};

class Machine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The running machine; a platform call made without one is a rule violation.
    static Machine& current();
    static bool exists();

    const MachineOptions& options() const { return options_; }
    void set_windows_version(WindowsVersion version) { options_.windowsVersion = version; }

    Clock& clock() { return *clock_; }
    Registry& registry() { return *registry_; }
    EventLog& event_log() { return *eventLog_; }
    ObjectNamespace& names() { return *names_; }
    HandleTable& kernel_handles() { return *kernelHandles_; }
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
    MachineOptions options_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<EventLog> eventLog_;
    std::unique_ptr<ObjectNamespace> names_;
    std::unique_ptr<HandleTable> kernelHandles_;
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
