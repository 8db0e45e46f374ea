#include "io.h"

#include <algorithm>
#include <string>

#include "event_object.h"
#include "fault.h"
#include "ntstatus.h"
#include "kernel.h"
#include "rules.h"

struct OBJECT_TYPE {
    const char* name;
};

namespace {

OBJECT_TYPE g_fileType{"File"};
OBJECT_TYPE g_eventType{"Event"};
POBJECT_TYPE g_fileTypePointer = &g_fileType;
POBJECT_TYPE g_eventTypePointer = &g_eventType;

constexpr ULONG kSystemProcessId = 4;

IRP* AllocateIrp() { return platform::allocate_irp(); }
void FreeIrp(IRP* irp) { platform::free_irp(irp); }

KSPIN_LOCK g_cancelLock = 0;

DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

// The error-log entry as handed out: the packet follows the writing driver.
struct ErrorLogAllocation {
    DRIVER_OBJECT* source;
    UCHAR size;
    alignas(8) uint8_t packet[ERROR_LOG_MAXIMUM_SIZE];
};

}  // namespace

POBJECT_TYPE* IoFileObjectType = &g_fileTypePointer;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;

IRP* IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT* device, PVOID inputBuffer,
                                   ULONG inputLength, PVOID outputBuffer, ULONG outputLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT* event, IO_STATUS_BLOCK* ioStatus) {
    platform::require_passive("IoBuildDeviceIoControlRequest");
    if (device == nullptr || platform::fault::hit("IoBuildDeviceIoControlRequest")) return nullptr;
    IRP* irp = AllocateIrp();
    irp->Stack.MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    irp->Stack.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    irp->Stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    irp->Stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    irp->UserEvent = event;
    irp->UserIosb = ioStatus;
    irp->UserBuffer = outputBuffer;
    if ((ioControlCode & 3) == METHOD_NEITHER) {
        irp->Stack.Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    } else {
        ULONG bytes = std::max(inputLength, outputLength);
        if (bytes != 0) {
            auto* buffer = new uint8_t[bytes]();
            if (inputBuffer != nullptr && inputLength != 0) std::memcpy(buffer, inputBuffer, inputLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->OwnedBufferBytes = bytes;
        }
    }
    return irp;
}

IRP* IoBuildSynchronousFsdRequest(ULONG majorFunction, DEVICE_OBJECT* device, PVOID buffer, ULONG length,
                                  LARGE_INTEGER*, KEVENT* event, IO_STATUS_BLOCK* ioStatus) {
    platform::require_passive("IoBuildSynchronousFsdRequest");
    if (device == nullptr || platform::fault::hit("IoBuildSynchronousFsdRequest")) return nullptr;
    IRP* irp = AllocateIrp();
    irp->Stack.MajorFunction = static_cast<UCHAR>(majorFunction);
    irp->UserEvent = event;
    irp->UserIosb = ioStatus;
    irp->UserBuffer = buffer;
    irp->Stack.Parameters.Others.Argument1 = buffer;
    irp->Stack.Parameters.Others.Argument2 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(length));
    return irp;
}

NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp) {
    platform::require_dispatch_or_below("IoCallDriver");
    irp->Stack.DeviceObject = device;
    if (device->Handler == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return device->Handler->dispatch_irp(device, irp);
}

void IoCompleteRequest(IRP* irp, CHAR) {
    platform::require_dispatch_or_below("IoCompleteRequest");
    if (irp->IoStatus.Status == STATUS_PENDING) {
        platform::rule_violation("IRP", "IoCompleteRequest with STATUS_PENDING");
    }
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        platform::rule_violation("IRP", "IoCompleteRequest with a cancel routine still set");
    }
    if (irp->CompletionSink != nullptr) {
        irp->CompletionSink->irp_completed(irp);  // the sink frees the IRP
        return;
    }
    UCHAR major = irp->Stack.MajorFunction;
    bool control = major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    // An error status carries no data back (warnings such as a buffer overflow do).
    bool error = (static_cast<uint32_t>(irp->IoStatus.Status) >> 30) == 3;
    if (control && !error && irp->UserBuffer != nullptr && irp->OwnedBufferBytes != 0) {
        size_t bytes = std::min<size_t>(irp->IoStatus.Information, irp->Stack.Parameters.DeviceIoControl.OutputBufferLength);
        std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    KEVENT* event = irp->UserEvent;
    FreeIrp(irp);
    if (event != nullptr) KeSetEvent(event, 0, FALSE);
}

PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine) {
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_ACQ_REL);
}

BOOLEAN IoCancelIrp(IRP* irp) {
    platform::require_dispatch_or_below("IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    routine(irp->Stack.DeviceObject, irp);  // releases the cancel spin lock
    return TRUE;
}

void IoAcquireCancelSpinLock(KIRQL* irql) { KeAcquireSpinLock(&g_cancelLock, irql); }
void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&g_cancelLock, irql); }

HANDLE PsGetCurrentProcessId() {
    ULONG id = platform::Kernel::current().host().current_process_id();
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id));
}

BOOLEAN IoIs32bitProcess(IRP* irp) { return irp != nullptr && irp->RequestorIs32Bit; }

// ---- file objects -------------------------------------------------------------

namespace platform {

IRP* allocate_irp() {
    auto* irp = new IRP{};
    irp->Type = IO_TYPE_IRP;
    irp->Size = sizeof(IRP);
    irp->RequestorMode = KernelMode;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->RequestorProcessId = kSystemProcessId;
    return irp;
}

void free_irp(IRP* irp) {
    if (irp->OwnedBufferBytes != 0) delete[] static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    delete irp;
}

FILE_OBJECT* create_file_object(DEVICE_OBJECT* device, std::u16string_view name, ULONG processId, bool is32Bit) {
    auto* file = new FILE_OBJECT{};
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = TopOfStack(device);
    file->NameStorage = name;
    file->FileName = UNICODE_STRING{static_cast<USHORT>(file->NameStorage.size() * 2),
                                    static_cast<USHORT>(file->NameStorage.size() * 2), file->NameStorage.data()};
    file->PointerCount = 1;
    file->HandleCount = 0;
    file->ProcessId = processId;
    file->Is32BitProcess = is32Bit ? TRUE : FALSE;
    return file;
}

static NTSTATUS SendFileRequest(FILE_OBJECT* file, UCHAR major) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = AllocateIrp();
    irp->Stack.MajorFunction = major;
    irp->Stack.FileObject = file;
    irp->RequestorProcessId = file->ProcessId;
    irp->RequestorIs32Bit = file->Is32BitProcess;
    irp->UserEvent = &done;
    irp->UserIosb = &ioStatus;
    NTSTATUS status = IoCallDriver(file->DeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS open_file(FILE_OBJECT* file) {
    NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        delete file;
        return status;
    }
    file->HandleCount = 1;
    return status;
}

void release_file_handle(FILE_OBJECT* file) {
    if (file->HandleCount.fetch_sub(1) == 1) SendFileRequest(file, IRP_MJ_CLEANUP);
    ObDereferenceObject(file);
}

}  // namespace platform

NTSTATUS ZwCreateFile(HANDLE* handle, ACCESS_MASK, OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* ioStatus,
                      LARGE_INTEGER*, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG) {
    platform::require_passive("ZwCreateFile");
    if (handle == nullptr || attributes == nullptr || attributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("ZwCreateFile")) return *status;
    platform::Kernel& kernel = platform::Kernel::current();
    auto resolved = kernel.names().resolve(platform::view(*attributes->ObjectName));
    if (!resolved) {
        if (ioStatus != nullptr) *ioStatus = IO_STATUS_BLOCK{STATUS_OBJECT_NAME_NOT_FOUND, 0};
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    FILE_OBJECT* file = platform::create_file_object(resolved->device, resolved->remainder, 4, false);
    NTSTATUS status = platform::open_file(file);
    if (ioStatus != nullptr) *ioStatus = IO_STATUS_BLOCK{status, 0};
    if (!NT_SUCCESS(status)) return status;
    *handle = kernel.handles().insert(*IoFileObjectType, file);
    return status;
}

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
    platform::HandleTable::Entry entry{};
    // A user-mode handle belongs to the process the request came from.
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
    if (*static_cast<const CSHORT*>(object) == IO_TYPE_DEVICE) {
        InterlockedIncrement(&static_cast<DEVICE_OBJECT*>(object)->ReferenceCount);
        return;
    }
    auto* file = static_cast<FILE_OBJECT*>(object);
    if (file->Type != IO_TYPE_FILE) {
        platform::rule_violation("object", "ObReferenceObject on an object this layer does not count");
        return;
    }
    file->PointerCount.fetch_add(1);
}

void ObDereferenceObject(PVOID object) {
    if (platform::EventObject* event = platform::EventObject::from_kevent(static_cast<KEVENT*>(object))) {
        event->release();
        return;
    }
    if (*static_cast<const CSHORT*>(object) == IO_TYPE_DEVICE) {
        if (InterlockedDecrement(&static_cast<DEVICE_OBJECT*>(object)->ReferenceCount) < 0) {
            platform::rule_violation("object", "device object dereferenced more often than referenced");
        }
        return;
    }
    auto* file = static_cast<FILE_OBJECT*>(object);
    if (file->Type != IO_TYPE_FILE) {
        platform::rule_violation("object", "ObDereferenceObject on an object this layer does not count");
        return;
    }
    LONG left = file->PointerCount.fetch_sub(1) - 1;
    if (left < 0) platform::rule_violation("object", "file object dereferenced more often than referenced");
    if (left == 0) {
        platform::SendFileRequest(file, IRP_MJ_CLOSE);
        delete file;
    }
}

DEVICE_OBJECT* IoGetRelatedDeviceObject(FILE_OBJECT* file) { return TopOfStack(file->DeviceObject); }

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK access, FILE_OBJECT** file,
                                  DEVICE_OBJECT** device) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = ZwCreateFile(&handle, access, &attributes, &ioStatus, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(handle, access, *IoFileObjectType, KernelMode, &object, nullptr);
    ZwClose(handle);  // the reference keeps the file object open
    if (!NT_SUCCESS(status)) return status;
    *file = static_cast<FILE_OBJECT*>(object);
    *device = IoGetRelatedDeviceObject(*file);
    return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceProperty(DEVICE_OBJECT* pdo, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                             PVOID buffer, ULONG* resultLength) {
    platform::require_passive("IoGetDeviceProperty");
    if (pdo == nullptr || resultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("IoGetDeviceProperty")) return *status;
    std::u16string value = pdo->Handler != nullptr ? pdo->Handler->device_property(pdo, property) : std::u16string();
    if (value.empty()) return STATUS_INVALID_PARAMETER;
    auto bytes = static_cast<ULONG>(value.size() * sizeof(WCHAR));
    *resultLength = bytes;
    if (buffer == nullptr || bufferLength < bytes) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, value.data(), bytes);
    return STATUS_SUCCESS;
}

// ---- error log ---------------------------------------------------------------

PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize) {
    platform::require_dispatch_or_below("IoAllocateErrorLogEntry");
    if (ioObject == nullptr || entrySize < sizeof(IO_ERROR_LOG_PACKET) || entrySize > ERROR_LOG_MAXIMUM_SIZE) {
        return nullptr;
    }
    if (platform::fault::hit("IoAllocateErrorLogEntry")) return nullptr;
    CSHORT type = *static_cast<const CSHORT*>(ioObject);
    DRIVER_OBJECT* source = nullptr;
    if (type == IO_TYPE_DRIVER) {
        source = static_cast<DRIVER_OBJECT*>(ioObject);
    } else if (type == IO_TYPE_DEVICE) {
        source = static_cast<DEVICE_OBJECT*>(ioObject)->DriverObject;
    } else {
        platform::rule_violation("error log", "IoAllocateErrorLogEntry needs a driver or device object");
        return nullptr;
    }
    auto* allocation = new ErrorLogAllocation{};
    allocation->source = source;
    allocation->size = entrySize;
    return allocation->packet;
}

void IoWriteErrorLogEntry(PVOID entry) {
    platform::require_dispatch_or_below("IoWriteErrorLogEntry");
    auto* allocation = reinterpret_cast<ErrorLogAllocation*>(static_cast<uint8_t*>(entry) -
                                                             offsetof(ErrorLogAllocation, packet));
    IO_ERROR_LOG_PACKET packet;
    std::memcpy(&packet, allocation->packet, sizeof(packet));
    platform::Kernel& kernel = platform::Kernel::current();
    kernel.host().write_error_log(allocation->source, packet, kernel.clock().now());
    delete allocation;
}

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* info) {
    if (info == nullptr) return STATUS_INVALID_PARAMETER;
    platform::WindowsVersion version = platform::Kernel::current().host().windows_version();
    info->dwMajorVersion = version.major;
    info->dwMinorVersion = version.minor;
    info->dwBuildNumber = version.build;
    info->dwPlatformId = 2;
    info->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}
