#include "machine.h"

#include <atomic>

#include "device_interfaces.h"
#include "driver_loader.h"
#include "event_log.h"
#include "handle_table.h"
#include "logger_driver.h"
#include "object_namespace.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "pnp_manager.h"
#include "process.h"
#include "registry.h"
#include "work_queue.h"

namespace platform {
namespace {

std::atomic<Machine*> g_current{nullptr};

constexpr uintptr_t kKernelHandleBase = 0xFFFFFFFF80000004ull;  // kernel handles have the top bit set
constexpr unsigned kWorkerThreads = 4;

}  // namespace

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
    Machine* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        rule_violation("machine", "a second machine was created while one is running");
    }
    if (!options_.stateDir.empty()) std::filesystem::create_directories(options_.stateDir);
    clock_ = std::make_unique<Clock>(options_.clockMode);
    registry_ = std::make_unique<Registry>(options_.stateDir.empty() ? std::filesystem::path()
                                                                     : options_.stateDir / "registry.dat");
    eventLog_ = std::make_unique<EventLog>(options_.stateDir);
    names_ = std::make_unique<ObjectNamespace>();
    kernelHandles_ = std::make_unique<HandleTable>(kKernelHandleBase);
    interfaces_ = std::make_unique<DeviceInterfaces>();
    workers_ = std::make_unique<WorkQueue>(kWorkerThreads);
    drivers_ = std::make_unique<DriverLoader>();
    pnp_ = std::make_unique<PnpManager>();
    logger_ = std::make_unique<LoggerDriver>();
    processes_ = std::make_unique<ProcessTable>();
    if (options_.clockMode == Clock::Mode::RealTime) clock_->start();
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
    kernelHandles_.reset();
    names_.reset();
    eventLog_.reset();
    registry_.reset();
    clock_.reset();
    fault::clear();
    g_current.store(nullptr);
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
    drivers_->unload_all();
    clock_->stop();
    registry_->save();
}

}  // namespace platform
