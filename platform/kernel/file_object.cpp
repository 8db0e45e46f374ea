// File objects: opening a device by name, the handle and reference counts
// that send cleanup and close, and the device a file object leads to.
#include "fault.h"
#include "io.h"
#include "kernel.h"
#include "ntstatus.h"
#include "rules.h"

namespace {

DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

}  // namespace

namespace platform {

FILE_OBJECT* create_file_object(DEVICE_OBJECT* device, std::u16string_view name, ULONG processId, bool is32Bit) {
    auto* file = new FILE_OBJECT{};
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    // An open file holds its device: a removed device stays (and keeps its
    // driver loaded) until the file's close has been served.
    file->DeviceObject = reference_top_of_stack(device);
    file->NameStorage = name;
    file->FileName = UNICODE_STRING{static_cast<USHORT>(file->NameStorage.size() * 2),
                                    static_cast<USHORT>(file->NameStorage.size() * 2), file->NameStorage.data()};
    file->PointerCount = 1;
    file->HandleCount = 0;
    file->ProcessId = processId;
    file->Is32BitProcess = is32Bit ? TRUE : FALSE;
    return file;
}

namespace {

void FreeFile(FILE_OBJECT* file) {
    DEVICE_OBJECT* device = file->DeviceObject;
    delete file;
    dereference_device(device);
}

NTSTATUS SendFileRequest(FILE_OBJECT* file, UCHAR major) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = allocate_irp();
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

}  // namespace

NTSTATUS open_file(FILE_OBJECT* file) {
    // A device whose removal has begun (or that is deleted) takes no new
    // opens: its driver would never be told of a file opened after it heard
    // of the removal.
    NTSTATUS status = removal_pending(file->DeviceObject) ? STATUS_NO_SUCH_DEVICE : SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        FreeFile(file);
        return status;
    }
    file->HandleCount = 1;
    return status;
}

void release_file_handle(FILE_OBJECT* file) {
    if (file->HandleCount.fetch_sub(1) == 1) SendFileRequest(file, IRP_MJ_CLEANUP);
    ObDereferenceObject(file);
}

void dereference_file(FILE_OBJECT* file) {
    LONG left = file->PointerCount.fetch_sub(1) - 1;
    if (left < 0) rule_violation("object", "file object dereferenced more often than referenced");
    if (left == 0) {
        SendFileRequest(file, IRP_MJ_CLOSE);
        FreeFile(file);
    }
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
