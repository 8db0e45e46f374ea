// The object manager's share: object types, handles and the references
// that keep kernel objects (files, devices, events) alive.
#include "event_object.h"
#include "fault.h"
#include "io.h"
#include "kernel.h"
#include "ntstatus.h"
#include "rules.h"

struct OBJECT_TYPE {
    const char* name;
};

namespace {

OBJECT_TYPE g_fileType{"File"};
OBJECT_TYPE g_eventType{"Event"};
POBJECT_TYPE g_fileTypePointer = &g_fileType;
POBJECT_TYPE g_eventTypePointer = &g_eventType;

}  // namespace

POBJECT_TYPE* IoFileObjectType = &g_fileTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;

NTSTATUS ZwClose(HANDLE handle) {
    platform::require_passive("ZwClose");
    platform::HandleTable::Entry entry{};
    if (!platform::Kernel::current().handles().remove(handle, &entry)) {
        platform::rule_violation("handle", "ZwClose of a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    if (entry.type == *IoFileObjectType) platform::release_file_handle(static_cast<FILE_OBJECT*>(entry.object));
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                   PVOID* object, PVOID) {
    platform::require_passive("ObReferenceObjectByHandle");
    if (auto status = platform::fault::hit("ObReferenceObjectByHandle")) return *status;
    platform::HandleTable::Entry entry{};
    // A user-mode handle belongs to the process the request came from: another
    // process's handle, or a kernel handle, means nothing there.
    platform::Kernel& kernel = platform::Kernel::current();
    platform::HandleTable* processHandles = mode == UserMode ? kernel.host().current_process_handles() : nullptr;
    if (mode == UserMode && processHandles == nullptr) return STATUS_INVALID_HANDLE;
    platform::HandleTable& table = processHandles != nullptr ? *processHandles : kernel.handles();
    bool typeMatches = true;
    // The reference is taken while the handle is held, so a close racing this cannot free the object first.
    bool found = table.find_and(handle, &entry, [&](platform::HandleTable::Entry& e) {
        typeMatches = type == nullptr || e.type == type;
        if (!typeMatches) return true;
        if (e.type == *ExEventObjectType) {
            auto* event = static_cast<platform::EventObject*>(e.object);
            event->reference();
            e.object = event->kevent();
        } else {
            ObReferenceObject(e.object);
        }
        return true;
    });
    if (!found) return STATUS_INVALID_HANDLE;
    if (!typeMatches) return STATUS_OBJECT_TYPE_MISMATCH;
    *object = entry.object;
    return STATUS_SUCCESS;
}

void ObReferenceObject(PVOID object) {
    if (platform::EventObject* event = platform::EventObject::from_kevent(static_cast<KEVENT*>(object))) {
        event->reference();
        return;
    }
    switch (*static_cast<const CSHORT*>(object)) {
        case IO_TYPE_DEVICE:
            platform::reference_device(static_cast<DEVICE_OBJECT*>(object));
            return;
        case IO_TYPE_FILE:
            static_cast<FILE_OBJECT*>(object)->PointerCount.fetch_add(1);
            return;
        default:
            platform::rule_violation("object", "ObReferenceObject on an object this layer does not count");
    }
}

void ObDereferenceObject(PVOID object) {
    if (platform::EventObject* event = platform::EventObject::from_kevent(static_cast<KEVENT*>(object))) {
        event->release();
        return;
    }
    switch (*static_cast<const CSHORT*>(object)) {
        case IO_TYPE_DEVICE:
            platform::dereference_device(static_cast<DEVICE_OBJECT*>(object));
            return;
        case IO_TYPE_FILE:
            platform::dereference_file(static_cast<FILE_OBJECT*>(object));
            return;
        default:
            platform::rule_violation("object", "ObDereferenceObject on an object this layer does not count");
    }
}
