#include "user_io.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "machine.h"
#include "platform/kernel/object_namespace.h"
#include "platform/kernel/event_object.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "process.h"
#include "work_queue.h"

namespace platform {
namespace {

bool IsError(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

// The file object behind a process's handle, referenced; null for anything else.
FILE_OBJECT* ReferenceFile(Process& process, HANDLE handle) {
    PVOID object = nullptr;
    CurrentProcessScope scope(&process);
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, nullptr))) {
        return nullptr;
    }
    return static_cast<FILE_OBJECT*>(object);
}

}  // namespace

UserRequest::UserRequest(std::shared_ptr<Process> process, HANDLE handle, uint64_t thread, FILE_OBJECT* file,
                         IRP* irp, ULONG outputLength, UserIoDone done)
    : process_(std::move(process)),
      handle_(handle),
      thread_(thread),
      file_(file),
      irp_(irp),
      outputLength_(outputLength),
      done_(std::move(done)) {}

void UserRequest::irp_completed(IRP* irp) {
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    size_t bytes = 0;
    if (!IsError(status) && irp->OwnedBufferBytes != 0) bytes = std::min<size_t>(information, outputLength_);
    process_->remove_request(this);
    done_(UserIoResult{status, information, static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer), bytes});
    done_ = nullptr;

    // The last reference to a file sends IRP_MJ_CLOSE, which must not run at
    // the completing thread's raised level.
    FILE_OBJECT* file = file_;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
        ObDereferenceObject(file);
    } else {
        Machine::current().workers().post([file] { ObDereferenceObject(file); });
    }
    bool last;
    {
        std::lock_guard lock(lock_);
        completed_ = true;
        last = holds_ == 0;
    }
    if (last) finish_locked_out();
}

bool UserRequest::hold() {
    std::lock_guard lock(lock_);
    if (completed_) return false;
    ++holds_;
    return true;
}

void UserRequest::unhold() {
    bool last;
    {
        std::lock_guard lock(lock_);
        last = --holds_ == 0 && completed_;
    }
    if (last) finish_locked_out();
}

void UserRequest::finish_locked_out() {
    free_irp(irp_);
    delete this;
}

namespace user_io {

NTSTATUS create_file(Process& process, std::u16string_view path, HANDLE* handle) {
    require_passive("CreateFile");
    if (auto status = fault::hit("CreateFile")) return *status;
    auto resolved = Machine::current().names().resolve(path);
    if (!resolved) return STATUS_OBJECT_NAME_NOT_FOUND;
    CurrentProcessScope scope(&process);
    FILE_OBJECT* file = create_file_object(resolved->device, resolved->remainder, process.id(), process.is_32bit());
    NTSTATUS status = open_file(file);
    if (!NT_SUCCESS(status)) return status;
    *handle = process.handles().insert(*IoFileObjectType, file);
    return status;
}

NTSTATUS close_handle(Process& process, HANDLE handle) {
    require_passive("CloseHandle");
    HandleTable::Entry entry{};
    if (!process.handles().remove(handle, &entry)) return STATUS_INVALID_HANDLE;
    CurrentProcessScope scope(&process);
    if (entry.type == *IoFileObjectType) {
        release_file_handle(static_cast<FILE_OBJECT*>(entry.object));
    } else if (entry.type == *ExEventObjectType) {
        static_cast<EventObject*>(entry.object)->release();
    }
    return STATUS_SUCCESS;
}

NTSTATUS device_io_control(const std::shared_ptr<Process>& process, HANDLE handle, ULONG code, const void* input,
                           ULONG inputLength, ULONG outputLength, uint64_t thread, UserIoDone done) {
    require_passive("DeviceIoControl");
    auto refuse = [&done](NTSTATUS status) {
        done(UserIoResult{status, 0, nullptr, 0});
        return status;
    };
    FILE_OBJECT* file = ReferenceFile(*process, handle);
    if (file == nullptr) return refuse(STATUS_INVALID_HANDLE);
    if (auto status = fault::hit("DeviceIoControl")) {
        ObDereferenceObject(file);
        return refuse(*status);
    }
    if (auto status = fault::hit("DeviceIoControlPended")) {
        // As a driver that pends the request and completes it with `status`
        // and no data: the caller is told "pending" first, the result later.
        ObDereferenceObject(file);
        Machine::current().workers().post([done = std::move(done), final = *status] {
            done(UserIoResult{final, 0, nullptr, 0});
        });
        return STATUS_PENDING;
    }
    // The system buffer comes from the caller's lengths: a length the memory
    // cannot hold fails the request, as the pool would refuse it.
    ULONG bytes = std::max(inputLength, outputLength);
    uint8_t* buffer = nullptr;
    if (bytes != 0) {
        buffer = fault::hit("SystemBuffer") ? nullptr : new (std::nothrow) uint8_t[bytes];
        if (buffer == nullptr) {
            ObDereferenceObject(file);
            return refuse(STATUS_INSUFFICIENT_RESOURCES);
        }
        std::memset(buffer, 0, bytes);
        if (input != nullptr && inputLength != 0) std::memcpy(buffer, input, inputLength);
    }
    IRP* irp = allocate_irp();
    irp->RequestorMode = UserMode;
    irp->RequestorProcessId = process->id();
    irp->RequestorIs32Bit = process->is_32bit();
    irp->Stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    irp->Stack.FileObject = file;
    irp->Stack.Parameters.DeviceIoControl.IoControlCode = code;
    irp->Stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    irp->Stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    if (bytes != 0) {
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->OwnedBufferBytes = bytes;
    }
    auto* request = new UserRequest(process, handle, thread, file, irp, outputLength, std::move(done));
    irp->CompletionSink = request;
    if (!process->add_request(request)) {
        // The process is ending: its requests are being cancelled, so this one never starts.
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    CurrentProcessScope scope(process.get());
    return IoCallDriver(IoGetRelatedDeviceObject(file), irp);
}

void cancel_io(Process& process, HANDLE handle, std::optional<uint64_t> thread) {
    std::vector<UserRequest*> held = process.hold_requests([&](const UserRequest& request) {
        return (handle == nullptr || request.handle() == handle) && (!thread || request.thread() == *thread);
    });
    for (UserRequest* request : held) {
        IoCancelIrp(request->irp());
        request->unhold();
    }
}

NTSTATUS create_event(Process& process, bool manualReset, bool initialState, int fd, HANDLE* handle) {
    EventObject* event = EventObject::create(manualReset, initialState, fd);
    if (event == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *handle = process.handles().insert(*ExEventObjectType, event);
    return STATUS_SUCCESS;
}

EventObject* reference_event(Process& process, HANDLE handle) {
    HandleTable::Entry entry{};
    bool found = process.handles().find_and(handle, &entry, [](HandleTable::Entry& e) {
        if (e.type != *ExEventObjectType) return false;
        static_cast<EventObject*>(e.object)->reference();
        return true;
    });
    return found ? static_cast<EventObject*>(entry.object) : nullptr;
}

}  // namespace user_io
}  // namespace platform
