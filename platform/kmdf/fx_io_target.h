// The state machine every framework I/O target shares. Subclasses (USB pipes
// and devices, remote targets) hook start and stop, and bracket each request
// they send with begin_io/end_io so a stop can wait for what is in flight.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "fx_object.h"
#include "platform/kmdf/wdf_io_target.h"

namespace platform::kmdf {

class FxTargetRequest;

class FxIoTarget : public FxObject {
public:
    explicit FxIoTarget(FxType type, WDF_IO_TARGET_STATE initial = WdfIoTargetStarted)
        : FxObject(type), state_(initial) {}

    NTSTATUS start();
    void stop(WDF_IO_TARGET_SENT_IO_ACTION action);
    WDF_IO_TARGET_STATE state() const { return state_.load(); }
    bool started() const { return state() == WdfIoTargetStarted; }

    // A request is in flight from begin_io until end_io. begin_io fails when
    // the target is not started (the caller queues or refuses the request).
    bool begin_io();
    void end_io();

    static FxIoTarget* from_handle(WDFIOTARGET handle, const char* call);

    // WdfRequestSend: a started target takes the request at once, a stopped one
    // keeps it (in order) until it starts, a closed one refuses it.
    bool send(FxTargetRequest* request, bool ignoreState);
    // Cancels one request the target holds; false when it holds it no more.
    virtual bool cancel(FxTargetRequest* request);
    // Completes a request the target took (and drops it from the in-flight count).
    void finish(FxTargetRequest* request, NTSTATUS status, ULONG_PTR information, LONG usbdStatus);

protected:
    // Called with no lock held: after the state became Started; after it
    // became Stopped (cancel what is in flight here when asked).
    virtual void on_started() {}
    virtual void on_stopping(WDF_IO_TARGET_SENT_IO_ACTION) {}
    // Takes a request for real; a failure refuses it (nothing completes).
    virtual NTSTATUS start_request(FxTargetRequest* request);
    void set_state(WDF_IO_TARGET_STATE state);
    void dispose() override;

private:
    // Takes a request for the in-flight count while the target is started;
    // false (and nothing counted) otherwise.
    bool enter_started();

    // A request enters by counting itself in flight and then reading the
    // state; a stop writes the state and then reads the count. Both in
    // sequentially consistent order, so either the stop sees the request and
    // waits for it, or the request sees the stop and backs out: the per-request
    // path takes no lock.
    mutable std::mutex lock_;
    std::condition_variable drained_;
    std::atomic<WDF_IO_TARGET_STATE> state_;  // written under lock_, read without it
    std::atomic<unsigned> inFlight_{0};
    std::atomic<unsigned> stopsWaiting_{0};  // stops waiting for the count to reach zero
    std::deque<FxTargetRequest*> queued_;  // sent while stopped; guarded by lock_
};

}  // namespace platform::kmdf
