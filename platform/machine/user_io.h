// The I/O manager's user-mode side: handles opened by processes, device I/O
// controls with METHOD_BUFFERED semantics (one system buffer; the output
// length decides what the caller receives; an NT error status delivers no
// data), cancellation and events. A request runs in the calling thread; one
// the driver pends is told its result later, from whichever thread completes it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/kernel/io.h"

namespace platform {

class Process;
class EventObject;

struct UserIoResult {
    NTSTATUS status;
    ULONG_PTR information;
    const uint8_t* output;  // valid during the call only
    size_t outputBytes;     // what reaches the caller's output buffer
};
using UserIoDone = std::function<void(const UserIoResult& result)>;

// One pending user request: the IRP's completion sink. Freed once it has
// completed and no canceller holds it.
class UserRequest : public IrpCompletionSink {
public:
    UserRequest(std::shared_ptr<Process> process, HANDLE handle, uint64_t thread, FILE_OBJECT* file, IRP* irp,
                ULONG outputLength, UserIoDone done);

    HANDLE handle() const { return handle_; }
    uint64_t thread() const { return thread_; }
    IRP* irp() const { return irp_; }

    void irp_completed(IRP* irp) override;
    // Keeps the IRP alive for a canceller; false when it has completed already.
    bool hold();
    void unhold();

private:
    void finish_locked_out();

    std::shared_ptr<Process> process_;
    const HANDLE handle_;
    const uint64_t thread_;
    FILE_OBJECT* file_;  // referenced until completion
    IRP* irp_;
    const ULONG outputLength_;
    UserIoDone done_;
    std::mutex lock_;
    bool completed_ = false;  // guarded by lock_
    int holds_ = 0;           // guarded by lock_
};

namespace user_io {

// `path` is an NT path (`\??\...` or `\Device\...`).
NTSTATUS create_file(Process& process, std::u16string_view path, HANDLE* handle);
// Closes a file or event handle; the last handle of a file sends cleanup.
NTSTATUS close_handle(Process& process, HANDLE handle);
// Runs the request in the calling thread. `done` is told the result exactly
// once (a refusal before the request exists included), possibly before this
// returns; the result here is STATUS_PENDING when the request had not completed by then.
// Faults: "DeviceIoControl" refuses the request at once with its status;
// "DeviceIoControlPended" answers it with its status (and no data) later,
// from a system worker, after this has returned STATUS_PENDING.
NTSTATUS device_io_control(const std::shared_ptr<Process>& process, HANDLE handle, ULONG code, const void* input,
                           ULONG inputLength, ULONG outputLength, uint64_t thread, UserIoDone done);
// Cancels the process's pending requests on `handle` (all handles when null)
// that `thread` sent (every thread when empty).
void cancel_io(Process& process, HANDLE handle, std::optional<uint64_t> thread);
// Enters an event into the process's handle table; `fd` (an eventfd, -1 for a
// new one) is owned by the event from then on.
NTSTATUS create_event(Process& process, bool manualReset, bool initialState, int fd, HANDLE* handle);
// The event behind a handle, referenced (release() it); null for another object.
EventObject* reference_event(Process& process, HANDLE handle);

}  // namespace user_io
}  // namespace platform
