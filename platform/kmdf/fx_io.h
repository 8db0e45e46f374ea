// The framework's I/O objects behind WDFREQUEST, WDFQUEUE and WDFFILEOBJECT.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>

#include "fx_object.h"
#include "platform/kernel/io.h"
#include "platform/kmdf/wdf_fileobject.h"

namespace platform::kmdf {

class FxDevice;
class FxIoQueue;

class FxFileObject : public FxObject {
public:
    static constexpr FxType kType = FxType::FileObject;

    FxFileObject(FxDevice* device, FILE_OBJECT* wdm) : FxObject(FxType::FileObject), device_(device), wdm_(wdm) {}
    FxDevice* device() const { return device_; }
    // The WDM file object; null once its close has been served.
    FILE_OBJECT* wdm() const;

    // The framework object of a WDM file object, with a reference the caller
    // drops (release); null when there is none (never opened, or closed).
    static FxFileObject* take(FILE_OBJECT* wdm);
    // The framework object of a WDM file object, unreferenced: for
    // comparisons, or while the caller's request keeps it.
    static FxFileObject* peek(FILE_OBJECT* wdm);
    // Links a WDM file object to its framework object, or unlinks it (null).
    static void link(FILE_OBJECT* wdm, FxFileObject* file);

    // A removed device's files stay until their handles close, as on Windows:
    // the handle's cleanup and close still reach the driver (in the closing
    // process, which may unmap what the driver mapped into it only there).
    bool outlives_parent() const override { return wdm() != nullptr; }

protected:
    void dispose() override;

private:
    FxDevice* device_;
    FILE_OBJECT* wdm_;  // guarded by the link lock (file_object.cpp); cleared when the WDM object goes
};

// One IRP as the framework hands it to the driver. The framework's reference
// goes at completion; whoever else looks at the request holds its own.
class FxRequest : public FxObject {
public:
    static constexpr FxType kType = FxType::Request;

    FxRequest(FxDevice* device, IRP* irp);

    static FxRequest* from_irp(IRP* irp) { return static_cast<FxRequest*>(irp->DriverContext[0]); }

    IRP* irp() const { return irp_; }
    FxDevice* device() const { return device_; }
    FxFileObject* file() const;
    UCHAR major() const { return major_; }

    // Exactly once; the IRP goes back to its sender. Up to DISPATCH_LEVEL.
    void complete(NTSTATUS status, ULONG_PTR information);
    ULONG_PTR information() const { return information_; }
    bool completed() const { return completed_.load(std::memory_order_acquire); }
    bool completing() const { return completing_.load(std::memory_order_acquire); }
    NTSTATUS final_status() const { return finalStatus_; }

    // The queue that holds the request while it waits (null while the driver owns it).
    FxIoQueue* queue() const { return queue_.load(std::memory_order_acquire); }
    void set_queue(FxIoQueue* queue) { queue_.store(queue, std::memory_order_release); }
    // The sequential queue that presented it; told when the request leaves the driver.
    void set_presenter(FxIoQueue* queue) { presenter_ = queue; }
    void left_driver();

private:
    FxDevice* device_;
    IRP* irp_;
    UCHAR major_;
    ULONG_PTR information_ = 0;
    NTSTATUS finalStatus_ = STATUS_PENDING;
    std::atomic<bool> completing_{false};  // set by the one completion (a second is a rule violation)
    std::atomic<bool> completed_{false};   // set once the sender has been told
    std::atomic<FxIoQueue*> queue_{nullptr};
    FxIoQueue* presenter_ = nullptr;  // written by the presenting queue before the driver sees the request
};

class FxIoQueue : public FxObject {
public:
    static constexpr FxType kType = FxType::Queue;

    FxIoQueue(FxDevice* device, const WDF_IO_QUEUE_CONFIG& config);

    FxDevice* device() const { return device_; }
    bool is_default() const { return config_.DefaultQueue; }

    // Takes a request in: it waits (cancellable) until presented or retrieved.
    NTSTATUS enqueue(FxRequest* request);
    // Hands the oldest waiting request (of `file`, when given) to the driver.
    NTSTATUS retrieve(FxFileObject* file, FxRequest** request);
    // The request a sequential queue presented has been completed or forwarded.
    void request_left(FxRequest* request);
    // Cancels the waiting requests of a file (its handle was cleaned up).
    void flush_file(FxFileObject* file);

protected:
    void dispose() override;

private:
    static void cancel_routine(DEVICE_OBJECT* device, IRP* irp);
    // Removes a waiting request whose cancel routine the caller now owns.
    bool remove_waiting(FxRequest* request);
    template <typename Match>
    void cancel_waiting(Match match);
    void cancel(FxRequest* request);
    void present();
    void run_presenter();
    void invoke(FxRequest* request);

    FxDevice* device_;
    WDF_IO_QUEUE_CONFIG config_;
    std::mutex lock_;
    std::deque<FxRequest*> waiting_;  // guarded by lock_; kept alive by the framework's reference
    FxRequest* active_ = nullptr;      // guarded by lock_; sequential queues only
    bool presenting_ = false;          // guarded by lock_: one thread runs the presenting loop
    bool stopped_ = false;             // guarded by lock_
};

}  // namespace platform::kmdf
