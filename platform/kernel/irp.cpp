// IRPs: building, sending and completing them, and their cancellation.
#include <algorithm>
#include <mutex>

#include "fault.h"
#include "io.h"
#include "ntstatus.h"
#include "rules.h"

namespace {

constexpr ULONG kSystemProcessId = 4;

KSPIN_LOCK g_cancelLock = 0;

// Taken around reading a device object's handler and pinning it, and around
// clearing it: a handler read under it is alive until it is pinned.
std::mutex g_handlerLock;

}  // namespace

void platform::clear_irp_handler(DEVICE_OBJECT* device) {
    std::lock_guard lock(g_handlerLock);
    device->Handler = nullptr;
}

IRP* IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT* device, PVOID inputBuffer,
                                   ULONG inputLength, PVOID outputBuffer, ULONG outputLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT* event, IO_STATUS_BLOCK* ioStatus) {
    platform::require_passive("IoBuildDeviceIoControlRequest");
    if (device == nullptr || platform::fault::hit("IoBuildDeviceIoControlRequest")) return nullptr;
    IRP* irp = platform::allocate_irp();
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
    IRP* irp = platform::allocate_irp();
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
    NTSTATUS refusal = STATUS_SUCCESS;
    UCHAR major = irp->Stack.MajorFunction;
    // The caller's reference keeps the device object; its handler (the
    // framework's device) may be going on another thread: it is pinned for the dispatch.
    platform::IrpHandler* handler = nullptr;
    {
        std::lock_guard lock(g_handlerLock);
        if (device->Handler != nullptr && device->Handler->pin()) handler = device->Handler;
    }
    if (__atomic_load_n(&device->DeletePending, __ATOMIC_ACQUIRE) && major != IRP_MJ_CLEANUP &&
        major != IRP_MJ_CLOSE) {
        // A deleted device's driver may be on its way out: only what its open
        // files still owe (cleanup, close) reaches it.
        refusal = STATUS_DELETE_PENDING;
    } else if (handler == nullptr) {
        refusal = STATUS_INVALID_DEVICE_REQUEST;
    }
    if (refusal != STATUS_SUCCESS) {
        if (handler != nullptr) handler->unpin();
        irp->IoStatus.Status = refusal;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return refusal;
    }
    NTSTATUS status = handler->dispatch_irp(device, irp);
    handler->unpin();
    return status;
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
    platform::free_irp(irp);
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

BOOLEAN IoIs32bitProcess(IRP* irp) { return irp != nullptr && irp->RequestorIs32Bit; }

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

}  // namespace platform
