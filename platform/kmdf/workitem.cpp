#include <condition_variable>
#include <mutex>
#include <thread>

#include "fx_callback.h"
#include "fx_device.h"
#include "fx_object.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_workitem.h"
#include "platform/machine/machine.h"
#include "platform/machine/work_queue.h"

namespace platform::kmdf {
namespace {

class FxWorkItem : public FxObject {
public:
    static constexpr FxType kType = FxType::WorkItem;

    explicit FxWorkItem(const WDF_WORKITEM_CONFIG& config) : FxObject(FxType::WorkItem), config_(config) {}

    void enqueue() {
        {
            std::lock_guard lock(lock_);
            if (queued_ || deleting()) return;
            queued_ = true;
        }
        add_reference();  // the queued task keeps the object's memory alive
        Machine::current().workers().post([this] { run(); });
    }

protected:
    void dispose() override {
        {
            std::lock_guard lock(lock_);
            // Deleting itself from its own callback: the running task holds a
            // reference, so the memory outlives the callback.
            if (running_ && runner_ == std::this_thread::get_id()) return;
        }
        // Deletion waits for a queued or running callback, as the framework does.
        require_passive("WdfObjectDelete (work item)");
        std::unique_lock lock(lock_);
        idle_.wait(lock, [this] { return !queued_ && !running_; });
    }

private:
    void run() {
        {
            std::lock_guard lock(lock_);
            queued_ = false;
            running_ = true;
            runner_ = std::this_thread::get_id();
        }
        if (!deleting()) {
            FxDevice* device = owning_device();
            bool serialise = config_.AutomaticSerialization && device != nullptr &&
                             synchronization_scope() == WdfSynchronizationScopeDevice;
            auto call = [this] { config_.EvtWorkItemFunc(as_handle<WDFWORKITEM>()); };
            if (serialise) {
                std::lock_guard sync(device->sync_lock());
                CallDriver("EvtWorkItemFunc", call);
            } else {
                CallDriver("EvtWorkItemFunc", call);
            }
        }
        {
            std::lock_guard lock(lock_);
            running_ = false;
            runner_ = {};
        }
        idle_.notify_all();
        release();
    }

    WDF_WORKITEM_CONFIG config_;
    std::mutex lock_;
    std::condition_variable idle_;
    bool queued_ = false;        // guarded by lock_
    bool running_ = false;       // guarded by lock_
    std::thread::id runner_;     // guarded by lock_
};

}  // namespace

NTSTATUS WorkItemCreate(WDF_WORKITEM_CONFIG* config, PWDF_OBJECT_ATTRIBUTES attributes, WDFWORKITEM* workItem) {
    require_dispatch_or_below("WdfWorkItemCreate");
    if (config == nullptr || config->EvtWorkItemFunc == nullptr || workItem == nullptr || attributes == nullptr ||
        attributes->ParentObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = fault::hit("WdfWorkItemCreate")) return *status;
    auto* fx = new FxWorkItem(*config);
    NTSTATUS status = fx->attach(attributes, nullptr);
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    if (fx->owning_device() == nullptr) {
        fx->delete_object();
        return STATUS_INVALID_PARAMETER;
    }
    *workItem = fx->as_handle<WDFWORKITEM>();
    return STATUS_SUCCESS;
}

void WorkItemEnqueue(WDFWORKITEM workItem) {
    require_dispatch_or_below("WdfWorkItemEnqueue");
    if (FxWorkItem* fx = object_of<FxWorkItem>(workItem, "WdfWorkItemEnqueue")) fx->enqueue();
}

WDFOBJECT WorkItemParent(WDFWORKITEM workItem) {
    FxWorkItem* fx = object_of<FxWorkItem>(workItem, "WdfWorkItemGetParentObject");
    return fx == nullptr || fx->parent() == nullptr ? nullptr : fx->parent()->handle();
}

}  // namespace platform::kmdf

NTSTATUS WdfWorkItemCreate(WDF_WORKITEM_CONFIG* config, PWDF_OBJECT_ATTRIBUTES attributes, WDFWORKITEM* workItem) {
    return platform::kmdf::WorkItemCreate(config, attributes, workItem);
}
void WdfWorkItemEnqueue(WDFWORKITEM workItem) { platform::kmdf::WorkItemEnqueue(workItem); }
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM workItem) { return platform::kmdf::WorkItemParent(workItem); }
