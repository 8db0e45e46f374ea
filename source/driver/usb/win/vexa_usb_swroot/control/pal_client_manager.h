// The PAL clients: "\PAL" handles registered for notifications. A client's
// kIoctlWaitNotification waits in one manual queue until something changes;
// Notify completes one waiting request per client or keeps the record in the
// client's backlog. One spin lock covers the client list, the backlogs and
// the wait path's "take a record or wait" step, so a notification racing a
// wait request never strands a record.
#pragma once

#include "engine/audio_client_manager.h"
#include "engine/pal_notifier.h"
#include "platform/kmdf/wdf.h"
#include "public/pal_interface.h"

inline constexpr ULONG kMaxPalClients = 5;
inline constexpr ULONG kPalBacklogRecords = 32;

class PalClient : public PoolObject {
public:
    explicit PalClient(WDFFILEOBJECT fileObject) : fileObject_(fileObject) {}
    virtual ~PalClient() = default;

    WDFFILEOBJECT FileObject() const { return fileObject_; }
    // A full backlog drops its oldest record; returns true when one was dropped.
    bool Push(const vexa::pal::PalNotification& record);
    // False when the backlog is empty.
    bool Pop(vexa::pal::PalNotification* record);
    ULONG Count() const { return count_; }

private:
    WDFFILEOBJECT fileObject_;
    // Ring of undelivered records, oldest at readIndex_; guarded by the manager's lock.
    vexa::pal::PalNotification backlog_[kPalBacklogRecords] = {};
    ULONG count_ = 0;
    ULONG readIndex_ = 0;
    ULONG writeIndex_ = 0;
};

// The wait queue's clean-up, PASSIVE_LEVEL: the queue goes with the root device.
EVT_WDF_OBJECT_CONTEXT_CLEANUP PalEvtWaitQueueCleanup;

class PalClientManager : public AudioClientArbiter, public PalNotifier {
public:
    PalClientManager() = default;
    ~PalClientManager() override;

    // PASSIVE_LEVEL: creates the wait queue (manual) and the lock.
    [[nodiscard]] NTSTATUS Init(WDFDEVICE fdo);
    // STATUS_INVALID_DEVICE_STATE when listed already; a sixth client is refused
    // (STATUS_INSUFFICIENT_RESOURCES) and nothing of it is kept.
    [[nodiscard]] NTSTATUS Register(PalClient* client);
    // Removes the client and cancels its waiting requests. Up to DISPATCH_LEVEL.
    [[nodiscard]] NTSTATUS Unregister(PalClient* client);
    // One record to every registered client: to a waiting request, else into its backlog.
    [[nodiscard]] NTSTATUS Notify(ULONG kind, ULONG64 param64, ULONG param32) override;
    // The wait path of the handle `file`: STATUS_SUCCESS with `*record` to
    // deliver now, STATUS_PENDING when the request now waits in the queue
    // (the caller no longer owns it), or the status to complete it with.
    [[nodiscard]] NTSTATUS WaitForNotification(WDFFILEOBJECT file, WDFREQUEST request,
                                               vexa::pal::PalNotification* record);

    // The wait queue is being deleted (with the root device).
    void QueueGone();

private:
    PalClient* FindLocked(WDFFILEOBJECT file) const;

    WDFQUEUE waitQueue_ = nullptr;              // guarded by lock_; null once the queue has gone
    WDFDEVICE device_ = nullptr;
    WDFSPINLOCK lock_ = nullptr;                // spin, DISPATCH_LEVEL
    PalClient* clients_[kMaxPalClients] = {};  // guarded by lock_, packed from slot 0
    ULONG64 clientCount_ = 0;                  // guarded by lock_
};
