#include "fx_object.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>

#include "fx_callback.h"
#include "fx_device.h"
#include "fx_driver.h"
#include "platform/kernel/rules.h"

namespace platform::kmdf {
namespace {

std::recursive_mutex& TreeLock() {
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace

void ReportWrongHandleType(const char* call) {
    rule_violation("WDF handle", std::string(call) + " was given a handle of another object type");
}

FxObject::FxObject(FxType type) : magic_(kLiveMagic), type_(type) {}

FxObject::~FxObject() { magic_ = kDeadMagic; }

FxObject* FxObject::bad_handle(WDFOBJECT handle, const char* call) {
    auto* object = static_cast<FxObject*>(handle);
    if (object == nullptr) {
        rule_violation("WDF handle", std::string(call) + " was given a null handle");
        return nullptr;
    }
    if (object->magic_ != kLiveMagic) {
        rule_violation("WDF handle", std::string(call) + " was given a handle that is not a live framework object");
        return nullptr;
    }
    return object;
}

NTSTATUS FxObject::attach(const WDF_OBJECT_ATTRIBUTES* attributes, FxObject* defaultParent) {
    FxObject* parent = defaultParent;
    if (attributes != nullptr) {
        if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) return STATUS_INFO_LENGTH_MISMATCH;
        if (attributes->ParentObject != nullptr) {
            parent = from(attributes->ParentObject, "object attributes (ParentObject)");
            if (parent == nullptr) return STATUS_INVALID_PARAMETER;
        }
        cleanup_ = attributes->EvtCleanupCallback;
        destroyCallback_ = attributes->EvtDestroyCallback;
        executionLevel_ = attributes->ExecutionLevel;
        syncScope_ = attributes->SynchronizationScope;
    }
    if (attributes != nullptr && attributes->ContextTypeInfo != nullptr) {
        PVOID unused;
        NTSTATUS status = add_context(attributes, &unused);
        if (!NT_SUCCESS(status)) return status;
    }
    if (parent != nullptr) {
        std::lock_guard lock(TreeLock());
        if (parent->deleting()) return STATUS_DELETE_PENDING;
        parent_ = parent;
        parent->children_.push_back(this);
    }
    return STATUS_SUCCESS;
}

PVOID FxObject::context(const WDF_OBJECT_CONTEXT_TYPE_INFO* type) const {
    size_t first = firstContextCount_.load(std::memory_order_acquire);
    for (size_t i = 0; i < first; ++i) {
        const Context& c = firstContexts_[i];
        if (c.type == type->UniqueType || c.type == type) return c.memory;
    }
    if (first < kFirstContexts) return nullptr;
    std::lock_guard lock(TreeLock());
    for (const Context& c : moreContexts_) {
        if (c.type == type->UniqueType || c.type == type) return c.memory;
    }
    return nullptr;
}

NTSTATUS FxObject::add_context(const WDF_OBJECT_ATTRIBUTES* attributes, PVOID* context) {
    const WDF_OBJECT_CONTEXT_TYPE_INFO* type = attributes->ContextTypeInfo;
    if (type == nullptr) return STATUS_INVALID_PARAMETER;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* unique = type->UniqueType != nullptr ? type->UniqueType : type;
    size_t bytes = std::max(attributes->ContextSizeOverride, type->ContextSize);
    std::lock_guard lock(TreeLock());
    size_t first = firstContextCount_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < first; ++i) {
        if (firstContexts_[i].type == unique) return STATUS_OBJECT_NAME_EXISTS;
    }
    for (const Context& c : moreContexts_) {
        if (c.type == unique) return STATUS_OBJECT_NAME_EXISTS;
    }
    void* memory = std::calloc(1, bytes == 0 ? 1 : bytes);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (first < kFirstContexts) {
        firstContexts_[first] = Context{unique, memory};
        firstContextCount_.store(first + 1, std::memory_order_release);
    } else {
        moreContexts_.push_back(Context{unique, memory});
    }
    *context = memory;
    return STATUS_SUCCESS;
}

FxDevice* FxObject::owning_device() {
    for (FxObject* o = this; o != nullptr; o = o->parent_) {
        if (o->type_ == FxType::Device) return static_cast<FxDevice*>(o);
    }
    return nullptr;
}

WDF_EXECUTION_LEVEL FxObject::execution_level() const {
    for (const FxObject* o = this; o != nullptr; o = o->parent_) {
        if (o->executionLevel_ != WdfExecutionLevelInheritFromParent &&
            o->executionLevel_ != WdfExecutionLevelInvalid) {
            return o->executionLevel_;
        }
    }
    return WdfExecutionLevelDispatch;
}

WDF_SYNCHRONIZATION_SCOPE FxObject::synchronization_scope() const {
    for (const FxObject* o = this; o != nullptr; o = o->parent_) {
        if (o->syncScope_ != WdfSynchronizationScopeInheritFromParent &&
            o->syncScope_ != WdfSynchronizationScopeInvalid) {
            return o->syncScope_;
        }
    }
    return WdfSynchronizationScopeNone;
}

void FxObject::delete_object() {
    std::vector<FxObject*> children;
    {
        std::lock_guard lock(TreeLock());
        if (deleting_.exchange(true)) return;
        // Referenced while listed: a child deleting itself on another thread
        // meanwhile keeps its memory until this is done with it.
        for (FxObject* child : children_) {
            if (!child->outlives_parent() && child->try_add_reference()) children.push_back(child);
        }
    }
    // Newest first, so objects go in the reverse order of their creation.
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        (*it)->delete_object();
        (*it)->release();
    }
    dispose();
    if (cleanup_ != nullptr) CallDriver("EvtCleanupCallback", [&] { cleanup_(handle()); });
    {
        std::lock_guard lock(TreeLock());
        if (parent_ != nullptr) {
            auto& siblings = parent_->children_;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
        }
    }
    release();
}

void FxObject::add_reference() { references_.fetch_add(1, std::memory_order_relaxed); }

bool FxObject::try_add_reference() {
    int references = references_.load(std::memory_order_relaxed);
    while (references > 0) {
        if (references_.compare_exchange_weak(references, references + 1, std::memory_order_acq_rel)) return true;
    }
    return false;
}

void FxObject::release() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (destroyCallback_ != nullptr) CallDriver("EvtDestroyCallback", [&] { destroyCallback_(handle()); });
    destroy();
    {
        std::lock_guard lock(TreeLock());
        size_t first = firstContextCount_.load(std::memory_order_relaxed);
        for (size_t i = 0; i < first; ++i) std::free(firstContexts_[i].memory);
        firstContextCount_.store(0, std::memory_order_relaxed);
        for (Context& c : moreContexts_) std::free(c.memory);
        moreContexts_.clear();
    }
    delete this;
}

}  // namespace platform::kmdf

using platform::kmdf::FxObject;
using platform::kmdf::FxType;

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT handle, const WDF_OBJECT_CONTEXT_TYPE_INFO* typeInfo) {
    FxObject* object = FxObject::from(handle, "WdfObjectGetTypedContext");
    return object == nullptr ? nullptr : object->context(typeInfo);
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT handle, PWDF_OBJECT_ATTRIBUTES attributes, PVOID* context) {
    FxObject* object = FxObject::from(handle, "WdfObjectAllocateContext");
    if (object == nullptr || attributes == nullptr) return STATUS_INVALID_PARAMETER;
    return object->add_context(attributes, context);
}

void WdfObjectDelete(WDFOBJECT handle) {
    FxObject* object = FxObject::from(handle, "WdfObjectDelete");
    if (object == nullptr) return;
    if (object->type() == FxType::Device || object->type() == FxType::Driver) {
        platform::rule_violation("WDF", "WdfObjectDelete on a device or driver object, which the framework owns");
        return;
    }
    object->delete_object();
}

void WdfObjectReference(WDFOBJECT handle) {
    if (FxObject* object = FxObject::from(handle, "WdfObjectReference")) object->add_reference();
}

void WdfObjectDereference(WDFOBJECT handle) {
    if (FxObject* object = FxObject::from(handle, "WdfObjectDereference")) object->release();
}

NTSTATUS platform::kmdf::ObjectCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes,
                                      WDFOBJECT* out) {
    auto* object = new FxObject(FxType::Generic);
    FxObject* defaultParent = globals->Driver ? FxObject::from(globals->Driver, "WdfObjectCreate") : nullptr;
    NTSTATUS status = object->attach(attributes, defaultParent);
    if (!NT_SUCCESS(status)) {
        object->release();
        return status;
    }
    *out = object->handle();
    return STATUS_SUCCESS;
}
