// A request the driver created and sends to I/O targets (as opposed to one
// the I/O manager brought in). It lives until the driver deletes it; each
// send ends in exactly one completion, after which it may be reused.
#pragma once

#include <atomic>

#include "fx_object.h"
#include "platform/kmdf/wdf_request_send.h"

namespace platform::kmdf {

class FxIoTarget;

// What the request was formatted to do; the target reads it when it is sent.
struct RequestFormat {
    enum class Kind { None, Urb, Write, Read };
    Kind kind = Kind::None;
    FxIoTarget* target = nullptr;
    PVOID urb = nullptr;
    WDFMEMORY memory = nullptr;
    size_t offset = 0;
    size_t length = 0;
};

class FxTargetRequest : public FxObject {
public:
    static constexpr FxType kType = FxType::TargetRequest;

    FxTargetRequest() : FxObject(FxType::TargetRequest) {}

    const RequestFormat& format() const { return format_; }
    void set_format(const RequestFormat& format) { format_ = format; }
    void set_completion(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context) {
        routine_ = routine;
        context_ = context;
    }

    // Sending and completing: a request is in flight from sent() to complete().
    bool in_flight() const { return inFlight_.load(std::memory_order_acquire); }
    void sent();
    void refused(NTSTATUS status);
    // Runs the completion routine at DISPATCH_LEVEL; the target's in-flight count drops after it.
    void complete(NTSTATUS status, ULONG_PTR information, LONG usbdStatus);
    void reuse(NTSTATUS status);

    NTSTATUS status() const { return status_; }
    void set_sent_to(FxIoTarget* target) { sentTo_ = target; }

protected:
    void dispose() override;

private:
    RequestFormat format_;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine_ = nullptr;
    WDFCONTEXT context_ = nullptr;
    std::atomic<bool> inFlight_{false};
    NTSTATUS status_ = STATUS_SUCCESS;
    FxIoTarget* sentTo_ = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS params_{};
    WDF_USB_REQUEST_COMPLETION_PARAMS usbParams_{};
};

}  // namespace platform::kmdf
