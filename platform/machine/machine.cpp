#include "machine.h"

#include "pnp_children.h"

#include <atomic>

#include "device_interfaces.h"
#include "driver_loader.h"
#include "event_log.h"
#include "logger_driver.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "pnp_children.h"
#include "pnp_manager.h"
#include "process.h"
#include "registry.h"
#include "work_queue.h"

namespace platform {
namespace {

std::atomic<Machine*> g_current{nullptr};

constexpr unsigned kWorkerThreads = 4;

}  // namespace

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
    // The kernel reports a second machine; the first stays the current one.
    kernel_ = std::make_unique<Kernel>(options_.clockMode, static_cast<KernelHost&>(*this));
    Machine* expected = nullptr;
    g_current.compare_exchange_strong(expected, this);
    if (!options_.stateDir.empty()) std::filesystem::create_directories(options_.stateDir);
    registry_ = std::make_unique<Registry>(options_.stateDir.empty() ? std::filesystem::path()
                                                                     : options_.stateDir / "registry.dat");
    eventLog_ = std::make_unique<EventLog>(options_.stateDir);
    interfaces_ = std::make_unique<DeviceInterfaces>();
    workers_ = std::make_unique<WorkQueue>(kWorkerThreads);
    drivers_ = std::make_unique<DriverLoader>();
    pnp_ = std::make_unique<PnpManager>();
    logger_ = std::make_unique<LoggerDriver>();
    processes_ = std::make_unique<ProcessTable>();
    if (options_.clockMode == Clock::Mode::RealTime) clock().start();
}

Machine::~Machine() {
    shutdown();
    processes_.reset();
    // Attachments go newest first, each before the components it uses.
    {
        std::lock_guard lock(attachmentsLock_);
        attachments_.clear();
        while (!attachmentOrder_.empty()) attachmentOrder_.pop_back();
    }
    logger_.reset();
    pnp_.reset();
    drivers_.reset();
    workers_.reset();
    interfaces_.reset();
    eventLog_.reset();
    registry_.reset();
    fault::clear();
    Machine* self = this;
    g_current.compare_exchange_strong(self, nullptr);
    kernel_.reset();
}

Machine& Machine::current() {
    Machine* machine = g_current.load();
    if (machine == nullptr) {
        rule_violation("machine", "a platform call was made with no machine running");
        std::abort();
    }
    return *machine;
}

bool Machine::exists() { return g_current.load() != nullptr; }

void Machine::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    processes_->end_all();
    workers_->drain();
    pnp_->remove_all();
    workers_->drain();
    wait_for_pnp_idle();  // enumerations under way finish before the drivers go
    drivers_->unload_all();
    clock().stop();
    registry_->save();
}

HandleTable* Machine::current_process_handles() {
    Process* process = current_process();
    return process != nullptr ? &process->handles() : nullptr;
}

std::shared_ptr<UserMemory> Machine::current_process_memory() {
    Process* process = current_process();
    // Empty while the process is being destroyed: its mappings go with it.
    return process != nullptr ? process->weak_from_this().lock() : nullptr;
}

// The unload runs on a system worker, as Windows runs it: not inside the
// stack of whoever dropped the last reference (a driver deleting its target, say).
void Machine::driver_without_devices(DRIVER_OBJECT* driver) {
    LoadedDriver* loaded = driver != nullptr ? DriverLoader::of(driver) : nullptr;
    if (loaded == nullptr || drivers_ == nullptr || workers_ == nullptr) return;
    std::string service = loaded->service;
    workers_->post([this, service] { drivers_->unload_if_idle(service); });
}

void Machine::write_error_log(DRIVER_OBJECT* source, const IO_ERROR_LOG_PACKET& packet, uint64_t time) {
    LoadedDriver* driver = source != nullptr ? DriverLoader::of(source) : nullptr;
    std::string service = driver != nullptr ? driver->service : "System";
    std::filesystem::path image = driver != nullptr ? driver->image : std::filesystem::path();
    eventLog_->write(service, image, packet, time);
}

}  // namespace platform
