// PAL clients and their notifications.
#define LOG_FILE_NUMBER 111

#include "control/pal_client_manager.h"

#include "device/lock_scope.h"
#include "logger.h"

using namespace vexa::log;
using vexa::pal::PalNotification;

namespace {

constexpr ULONG kBacklogMask = kPalBacklogRecords - 1;
static_assert((kPalBacklogRecords & kBacklogMask) == 0, "the backlog is a power-of-two ring");

// A waiting request taken out of the queue, to be completed once the lock is released.
struct Delivery {
    WDFREQUEST request;
    PalNotification record;
};

// Completes a waiting request with a record; a request whose buffer cannot
// be had gives the record back to the caller to keep.
bool Deliver(const Delivery& delivery) {
    PVOID buffer = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(delivery.request, sizeof(PalNotification), &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogRequest, status);
        WdfRequestComplete(delivery.request, status);
        return false;
    }
    RtlCopyMemory(buffer, &delivery.record, sizeof(delivery.record));
    WdfRequestCompleteWithInformation(delivery.request, STATUS_SUCCESS, sizeof(PalNotification));
    return true;
}

struct PAL_QUEUE_CONTEXT {
    PalClientManager* manager;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PAL_QUEUE_CONTEXT, GetPalQueueContext)

}  // namespace

bool PalClient::Push(const PalNotification& record) {
    bool dropped = count_ == kPalBacklogRecords;
    if (dropped) {
        // Full: the oldest record makes room, so the ring never hands out a stale one.
        readIndex_ = (readIndex_ + 1) & kBacklogMask;
        --count_;
    }
    backlog_[writeIndex_] = record;
    writeIndex_ = (writeIndex_ + 1) & kBacklogMask;
    ++count_;
    return dropped;
}

bool PalClient::Pop(PalNotification* record) {
    if (count_ == 0) return false;
    *record = backlog_[readIndex_];
    readIndex_ = (readIndex_ + 1) & kBacklogMask;
    --count_;
    return true;
}

void PalEvtWaitQueueCleanup(WDFOBJECT queue) {
    PAGED_CODE();
    GetPalQueueContext(queue)->manager->QueueGone();
}

// PASSIVE_LEVEL
NTSTATUS PalClientManager::Init(WDFDEVICE fdo) {
    device_ = fdo;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    // The lock belongs to the driver, not the device: the device's clean-up
    // still notifies after the device's own children (the queue) have gone.
    NTSTATUS status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock_);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogRequest, status);
        return status;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PAL_QUEUE_CONTEXT);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.EvtCleanupCallback = PalEvtWaitQueueCleanup;
    WDFQUEUE queue = nullptr;
    status = WdfIoQueueCreate(fdo, &config, &attributes, &queue);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogRequest, status);
        return status;
    }
    GetPalQueueContext(queue)->manager = this;
    SpinLockScope lock(lock_);
    waitQueue_ = queue;
    return STATUS_SUCCESS;
}

PalClientManager::~PalClientManager() {
    if (lock_ != nullptr) WdfObjectDelete(lock_);
}

void PalClientManager::QueueGone() {
    SpinLockScope lock(lock_);
    waitQueue_ = nullptr;
}

PalClient* PalClientManager::FindLocked(WDFFILEOBJECT file) const {
    for (ULONG64 i = 0; i < clientCount_; ++i) {
        if (clients_[i]->FileObject() == file) return clients_[i];
    }
    return nullptr;
}

NTSTATUS PalClientManager::Register(PalClient* client) {
    SpinLockScope lock(lock_);
    for (ULONG64 i = 0; i < clientCount_; ++i) {
        if (clients_[i] == client) return STATUS_INVALID_DEVICE_STATE;
    }
    if (clientCount_ == kMaxPalClients) {
        // A client not listed would never have its waits completed: refuse it outright.
        TRACE(kLogWarning | kLogRequest, clientCount_);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    clients_[clientCount_++] = client;
    return STATUS_SUCCESS;
}

NTSTATUS PalClientManager::Unregister(PalClient* client) {
    {
        SpinLockScope lock(lock_);
        ULONG64 slot = 0;
        while (slot < clientCount_ && clients_[slot] != client) ++slot;
        if (slot == clientCount_) return STATUS_INVALID_DEVICE_STATE;
        for (; slot + 1 < clientCount_; ++slot) clients_[slot] = clients_[slot + 1];
        clients_[--clientCount_] = nullptr;
    }
    // No longer listed, so no wait of this handle can enter the queue any more.
    for (;;) {
        WDFREQUEST request = nullptr;
        NTSTATUS status;
        {
            SpinLockScope lock(lock_);
            status = waitQueue_ != nullptr
                         ? WdfIoQueueRetrieveRequestByFileObject(waitQueue_, client->FileObject(), &request)
                         : STATUS_NO_MORE_ENTRIES;
        }
        if (status == STATUS_NO_MORE_ENTRIES) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) {
            TRACE(kLogError | kLogRequest, status);
            return status;
        }
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

NTSTATUS PalClientManager::Notify(ULONG kind, ULONG64 param64, ULONG param32) {
    PalNotification record{kind, param32, param64};
    Delivery deliveries[kMaxPalClients];
    PalClient* receivers[kMaxPalClients] = {};
    ULONG count = 0;
    NTSTATUS status = STATUS_SUCCESS;
    {
        SpinLockScope lock(lock_);
        for (ULONG64 i = 0; i < clientCount_; ++i) {
            PalClient* client = clients_[i];
            WDFREQUEST request = nullptr;
            status = waitQueue_ != nullptr
                         ? WdfIoQueueRetrieveRequestByFileObject(waitQueue_, client->FileObject(), &request)
                         : STATUS_NO_MORE_ENTRIES;
            if (NT_SUCCESS(status)) {
                receivers[count] = client;
                deliveries[count++] = Delivery{request, record};
                continue;
            }
            if (status != STATUS_NO_MORE_ENTRIES && status != STATUS_WDF_PAUSED) {
                TRACE(kLogError | kLogRequest, status, kind);
            }
            // Nobody waits: the record waits for the client's next request.
            if (client->Push(record)) TRACE(kLogWarning | kLogRequest, kind, kPalBacklogRecords);
            status = STATUS_SUCCESS;
        }
    }
    for (ULONG i = 0; i < count; ++i) {
        if (Deliver(deliveries[i])) continue;
        // Not delivered: kept for the next wait, if the client is still listed.
        SpinLockScope lock(lock_);
        for (ULONG64 k = 0; k < clientCount_; ++k) {
            if (clients_[k] == receivers[i]) receivers[i]->Push(record);
        }
    }
    TRACE(kLogDetail | kLogRequest, kind, param32, param64, count);
    return status;
}

NTSTATUS PalClientManager::WaitForNotification(WDFFILEOBJECT file, WDFREQUEST request, PalNotification* record) {
    SpinLockScope lock(lock_);
    PalClient* client = file != nullptr ? FindLocked(file) : nullptr;
    if (client == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    if (client->Pop(record)) return STATUS_SUCCESS;
    if (waitQueue_ == nullptr) return STATUS_DEVICE_REMOVED;
    // Checked and parked under the lock that Notify takes: a record sent now
    // finds this request in the queue.
    NTSTATUS status = WdfRequestForwardToIoQueue(request, waitQueue_);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogRequest, status);
        return status;
    }
    return STATUS_PENDING;
}
