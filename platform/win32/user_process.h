// Who a Win32 call is made by: a process on the simulated machine. A process
// lives in this program (tests acting as one or several processes, of either
// bitness) or behind vexa-machine's socket (real programs); the Win32 calls
// are written once against this interface and do not know which.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/nt_types.h"
#include "platform/machine/user_registry.h"

namespace platform {
class EventObject;
}

namespace platform::win32 {

// Told once when a request has completed, after its output has been written.
using IoDone = std::function<void(NTSTATUS status, ULONG_PTR information)>;

// Threads a process creates hold it (CreateThread), hence the shared ownership.
class UserProcess : public std::enable_shared_from_this<UserProcess> {
public:
    virtual ~UserProcess() = default;

    virtual ULONG process_id() const = 0;
    virtual bool is_32bit() const = 0;

    // `path` is an NT path (`\??\...`).
    virtual NTSTATUS create_file(std::u16string_view path, HANDLE* handle) = 0;
    virtual NTSTATUS close_handle(HANDLE handle) = 0;
    // Sends a device I/O control from `thread`. `done` runs exactly once, also
    // for a call refused before it became a request, and the output has
    // reached `output` (up to `outputLength`) by then. Returns STATUS_PENDING
    // when the request had not completed by the time the call returns, else its status.
    virtual NTSTATUS device_io_control(HANDLE handle, ULONG code, const void* input, ULONG inputLength, void* output,
                                       ULONG outputLength, uint64_t thread, IoDone done) = 0;
    // Cancels the pending requests on `handle` sent by `thread` (all threads when empty).
    virtual void cancel_io(HANDLE handle, std::optional<uint64_t> thread) = 0;
    virtual NTSTATUS create_event(bool manualReset, bool initialState, HANDLE* handle) = 0;
    // The event behind a handle, referenced (release() it); null for anything
    // else, and for every handle once the machine has gone.
    virtual EventObject* reference_event(HANDLE handle) = 0;
    // A descriptor that becomes readable, for good, once the machine behind
    // the process has gone, and the objects its handles named with it (a wait
    // on them then fails); -1 for a machine that cannot go under the process
    // (one in this program).
    virtual int machine_gone_fd() { return -1; }
    // Symbolic links (`\??\...`) of the interfaces of a class.
    virtual std::vector<std::u16string> interfaces(const GUID& interfaceClass, bool presentOnly) = 0;
    // Told of an interface that arrived (`arrived`) or went, with its symbolic link (`\??\...`).
    using InterfaceListener =
        std::function<void(const GUID& interfaceClass, const std::u16string& symbolicLink, bool arrived)>;
    // Follows the arrivals and removals of interfaces of `interfaceClass` (of
    // every class with `allClasses`) from now on; 0 when refused. The listener
    // runs on a thread of the road's (the machine's thread that changed the
    // interface, or the connection's reader) and must only hand the change on.
    // A change already under way when unsubscribing may still reach it once.
    virtual uint64_t subscribe_interfaces(const GUID& interfaceClass, bool allClasses, InterfaceListener listener) = 0;
    virtual void unsubscribe_interfaces(uint64_t subscription) = 0;
    // Ends the process as Windows does: pending requests cancelled, handles closed.
    virtual void end() = 0;

    // The machine's registry, as the Reg* calls use it.
    virtual user_registry::Result registry(const user_registry::Call& call) = 0;
    // The built file installed at a Windows path, with the path as installed.
    struct InstalledFile {
        std::u16string windowsPath;
        std::string file;
    };
    virtual std::optional<InstalledFile> find_installed_file(std::u16string_view windowsPath) = 0;
    // Where a program started for this process reaches the machine; empty when nowhere.
    virtual std::string machine_socket() = 0;

    // The path of the program the process runs (GetModuleFileName of no
    // module): "C:\Program Files\<name>\<name>.exe" until a test sets another.
    std::string image_path() const;
    void set_image_path(std::string path);

private:
    mutable std::mutex imagePathLock_;
    std::string imagePath_;  // guarded by imagePathLock_
};

// A process in this program, on the machine that runs here.
std::shared_ptr<UserProcess> create_local_process(bool is32Bit, std::string name = "process");
// A process of this program on the machine behind `socketPath`; null with `error` set when none answers.
std::shared_ptr<UserProcess> connect_to_machine(const std::string& socketPath, bool is32Bit, std::string name,
                                                std::string* error);
// VEXA_MACHINE_SOCKET when set, else the path vexa-machine listens on by default.
std::string default_socket_path();

// The process Win32 calls on this thread are made by: the scope's, else the
// default. Without a default one is made on first use: a local process when
// a machine runs in this program, else a connection to the default socket.
UserProcess* current_process();
void set_default_process(std::shared_ptr<UserProcess> process);

class ScopedProcess {
public:
    explicit ScopedProcess(std::shared_ptr<UserProcess> process);
    ~ScopedProcess();
    ScopedProcess(const ScopedProcess&) = delete;
    ScopedProcess& operator=(const ScopedProcess&) = delete;

private:
    std::shared_ptr<UserProcess> process_;
    UserProcess* previous_;
};

// The calling thread's identity, as CancelIo matches requests by it.
uint64_t current_thread_token();

}  // namespace platform::win32
