// Framework objects: handles, attributes, typed contexts, parents and deletion.
#pragma once

#include "platform/kernel/ntddk.h"

#define WDF_DECLARE_HANDLE(name) \
    struct name##__;             \
    using name = name##__*

using WDFOBJECT = void*;
using WDFCONTEXT = void*;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFSPINLOCK);
WDF_DECLARE_HANDLE(WDFWAITLOCK);
WDF_DECLARE_HANDLE(WDFWORKITEM);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFFILEOBJECT);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFKEY);
WDF_DECLARE_HANDLE(WDFSTRING);
WDF_DECLARE_HANDLE(WDFCHILDLIST);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);

inline constexpr WDFOBJECT WDF_NO_HANDLE = nullptr;

enum WDF_EXECUTION_LEVEL : ULONG {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
};

enum WDF_SYNCHRONIZATION_SCOPE : ULONG {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
};

enum WDF_TRI_STATE : ULONG { WdfFalse = 0, WdfTrue = 1, WdfUseDefault = 2 };

using EVT_WDF_OBJECT_CONTEXT_CLEANUP = void(WDFOBJECT object);
using PFN_WDF_OBJECT_CONTEXT_CLEANUP = EVT_WDF_OBJECT_CONTEXT_CLEANUP*;
using EVT_WDF_OBJECT_CONTEXT_DESTROY = void(WDFOBJECT object);
using PFN_WDF_OBJECT_CONTEXT_DESTROY = EVT_WDF_OBJECT_CONTEXT_DESTROY*;

struct WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    const char* ContextName;
    size_t ContextSize;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* UniqueType;
    PVOID EvtDriverGetUniqueContextType;
};

struct WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    const WDF_OBJECT_CONTEXT_TYPE_INFO* ContextTypeInfo;
};
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;
inline constexpr PWDF_OBJECT_ATTRIBUTES WDF_NO_OBJECT_ATTRIBUTES = nullptr;

inline void WDF_OBJECT_ATTRIBUTES_INIT(WDF_OBJECT_ATTRIBUTES* attributes) {
    std::memset(attributes, 0, sizeof(*attributes));
    attributes->Size = sizeof(*attributes);
    attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

// Declares a context type and its accessor, as the framework's macro does.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(type, accessor)                                                  \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_##type##_TYPE_INFO = {                                     \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #type, sizeof(type), &WDF_##type##_TYPE_INFO, nullptr};        \
    inline type* accessor(WDFOBJECT handle) {                                                                \
        return static_cast<type*>(WdfObjectGetTypedContextWorker(handle, &WDF_##type##_TYPE_INFO));          \
    }
#define WDF_DECLARE_CONTEXT_TYPE(type) WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(type, WdfObjectGet_##type)
#define WDF_GET_CONTEXT_TYPE_INFO(type) (&WDF_##type##_TYPE_INFO)

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(attributes, type) \
    do {                                                          \
        WDF_OBJECT_ATTRIBUTES_INIT(attributes);                   \
        (attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(type); \
    } while (0)
#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(attributes, type) \
    ((attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(type))

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT handle, const WDF_OBJECT_CONTEXT_TYPE_INFO* typeInfo);
NTSTATUS WdfObjectAllocateContext(WDFOBJECT handle, PWDF_OBJECT_ATTRIBUTES attributes, PVOID* context);
// Deletes an object with its children: children's clean-up callbacks run
// before their parent's.
void WdfObjectDelete(WDFOBJECT object);
void WdfObjectReference(WDFOBJECT object);
void WdfObjectDereference(WDFOBJECT object);
// The framework state of the calling driver module. Each driver image has its
// own copy (hidden symbol), filled by WdfDriverCreate; it gives objects
// without an explicit parent their default parent, the driver.
struct WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
};
__attribute__((visibility("hidden"))) inline WDF_DRIVER_GLOBALS WdfDriverGlobals = {nullptr};

namespace platform::kmdf {
NTSTATUS ObjectCreate(WDF_DRIVER_GLOBALS* globals, PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT* object);
}

// Creates a general object (a parent for others); its default parent is the driver.
inline NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT* object) {
    return platform::kmdf::ObjectCreate(&WdfDriverGlobals, attributes, object);
}
