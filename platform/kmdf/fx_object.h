// The framework's object model behind the WDF handles: every handle points at
// an FxObject. Objects form a tree by parent; deleting one deletes its
// children first (their clean-up callbacks run before the parent's), all but
// those that outlive their parent's deletion (a file whose handle is still
// open goes at its close), and the memory goes when the last reference is
// dropped (destroy callback).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/kmdf/wdf_object.h"

namespace platform::kmdf {

class FxDriver;
class FxDevice;

enum class FxType {
    Generic,
    Driver,
    Device,
    Memory,
    SpinLock,
    WaitLock,
    WorkItem,
    Queue,
    Request,
    TargetRequest,
    FileObject,
    IoTarget,
    Key,
    String,
    ChildList,
    UsbDevice,
    UsbInterface,
    UsbPipe,
};

class FxObject {
public:
    explicit FxObject(FxType type);
    virtual ~FxObject();
    FxObject(const FxObject&) = delete;
    FxObject& operator=(const FxObject&) = delete;

    // Applies the attributes: parent (the given one, else `defaultParent`),
    // callbacks, execution level, synchronisation scope and context.
    NTSTATUS attach(const WDF_OBJECT_ATTRIBUTES* attributes, FxObject* defaultParent);

    // The checked way from a handle back to its object (a bad handle is a rule violation).
    static FxObject* from(WDFOBJECT handle, const char* call) {
        auto* object = static_cast<FxObject*>(handle);
        if (object != nullptr && object->magic_ == kLiveMagic) [[likely]] return object;
        return bad_handle(handle, call);
    }

    FxType type() const { return type_; }
    FxObject* parent() const { return parent_; }
    WDFOBJECT handle() { return this; }
    template <typename H>
    H as_handle() {
        return reinterpret_cast<H>(static_cast<FxObject*>(this));
    }

    PVOID context(const WDF_OBJECT_CONTEXT_TYPE_INFO* type) const;
    NTSTATUS add_context(const WDF_OBJECT_ATTRIBUTES* attributes, PVOID* context);

    // Nearest device at or above this object; null when none.
    FxDevice* owning_device();
    WDF_EXECUTION_LEVEL execution_level() const;
    WDF_SYNCHRONIZATION_SCOPE synchronization_scope() const;

    // WdfObjectDelete: children, then this object's clean-up; memory on last release.
    void delete_object();
    // Left standing when its parent is deleted, to be deleted on its own
    // later; the parent's memory must last until then (a file holds its
    // device's from its create to its close).
    virtual bool outlives_parent() const { return false; }
    bool deleting() const { return deleting_.load(std::memory_order_acquire); }
    void add_reference();
    // A reference unless the last one has gone already (the object is being destroyed).
    bool try_add_reference();
    void release();

protected:
    // Called during deletion before the clean-up callback (stop activity here).
    virtual void dispose() {}
    // Called when the last reference goes, before the memory is freed.
    virtual void destroy() {}

private:
    static constexpr uint32_t kLiveMagic = 0x4F784657;  // "WFxO"
    static constexpr uint32_t kDeadMagic = 0xDEADF0B1;

    // Reports a null or dead handle; null.
    static FxObject* bad_handle(WDFOBJECT handle, const char* call);

    struct Context {
        const WDF_OBJECT_CONTEXT_TYPE_INFO* type;
        void* memory;
    };

    // What every call on the handle reads comes first, on one cache line:
    // the checks, the reference count and the first context slots.
    uint32_t magic_;
    FxType type_;
    std::atomic<int> references_{1};
    std::atomic<bool> deleting_{false};
    FxObject* parent_ = nullptr;
    // The first contexts are read without the tree lock (a driver looks its
    // context up on every packet): each slot is written once under the lock,
    // then published by the count (release).
    static constexpr size_t kFirstContexts = 4;
    std::atomic<size_t> firstContextCount_{0};
    std::array<Context, kFirstContexts> firstContexts_{};
    std::vector<FxObject*> children_;  // guarded by the tree lock
    std::vector<Context> moreContexts_;  // guarded by the tree lock
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup_ = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroyCallback_ = nullptr;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE syncScope_ = WdfSynchronizationScopeInheritFromParent;
};

// Reports a handle of another object type than the call takes (a rule violation).
void ReportWrongHandleType(const char* call);

// The one checked way from a handle to its framework object of class T, whose
// `kType` names the object type the handle must be: a null, dead or mistyped
// handle is a rule violation.
template <typename T>
T* object_of(WDFOBJECT handle, const char* call) {
    FxObject* object = FxObject::from(handle, call);
    if (object == nullptr || object->type() != T::kType) {
        ReportWrongHandleType(call);
        return nullptr;
    }
    return static_cast<T*>(object);
}

}  // namespace platform::kmdf
