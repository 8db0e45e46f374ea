// CM_Register_Notification for device interfaces: each registration has a
// thread of its own that runs its callbacks in order, acting as the process
// that registered, fed by that process's subscription to the machine's
// interface changes (in this program or across the socket).
#include "cfgmgr32.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/rules.h"
#include "user_process.h"

namespace platform::win32 {
namespace {

struct InterfaceChange {
    GUID interfaceClass;
    std::u16string symbolicLink;  // NT form, as the machine names it
    bool arrived;
};

class Registration : public std::enable_shared_from_this<Registration> {
public:
    Registration(HCMNOTIFICATION handle, PCM_NOTIFY_CALLBACK callback, PVOID context,
                 std::shared_ptr<UserProcess> process)
        : handle_(handle), callback_(callback), context_(context), process_(std::move(process)) {}

    void start() {
        thread_ = std::thread([self = shared_from_this()] { self->deliver_main(); });
        threadId_ = thread_.get_id();
    }

    // From the subscription's thread: queued for the callback thread, unless closed.
    void post(InterfaceChange change) {
        std::lock_guard lock(lock_);
        if (closed_) return;
        queue_.push_back(std::move(change));
        wake_.notify_one();
    }

    // No callback starts after this; one in flight finishes first, unless
    // this is its own thread (then it ends once the callback returns).
    void close() {
        {
            std::lock_guard lock(lock_);
            closed_ = true;
            queue_.clear();
            wake_.notify_one();
        }
        if (std::this_thread::get_id() == threadId_) {
            rule_violation("CM_Unregister_Notification",
                           "called from the registration's own callback, which never returns on Windows");
            thread_.detach();
            return;
        }
        thread_.join();
    }

    UserProcess& process() { return *process_; }
    uint64_t subscription = 0;  // set before the registration is listed; read when it is unregistered

private:
    void deliver_main() {
        ScopedProcess acting(process_);
        for (;;) {
            InterfaceChange change;
            {
                std::unique_lock lock(lock_);
                wake_.wait(lock, [&] { return closed_ || !queue_.empty(); });
                if (closed_) return;
                change = std::move(queue_.front());
                queue_.pop_front();
            }
            deliver(change);
        }
    }

    void deliver(const InterfaceChange& change) {
        // "\??\X" is "\\?\X" to a Win32 caller, as SetupAPI reports it.
        std::u16string link = change.symbolicLink;
        if (link.rfind(u"\\??\\", 0) == 0) link = u"\\\\?\\" + link.substr(4);
        size_t bytes = offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) + (link.size() + 1) * sizeof(WCHAR);
        std::vector<uint64_t> storage((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
        auto* data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(storage.data());
        data->FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        data->u.DeviceInterface.ClassGuid = change.interfaceClass;
        std::memcpy(data->u.DeviceInterface.SymbolicLink, link.c_str(), (link.size() + 1) * sizeof(WCHAR));
        callback_(handle_, context_,
                  change.arrived ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
                  data, static_cast<DWORD>(bytes));
    }

    const HCMNOTIFICATION handle_;
    const PCM_NOTIFY_CALLBACK callback_;
    const PVOID context_;
    const std::shared_ptr<UserProcess> process_;  // held as a thread holds its process
    std::thread thread_;
    std::thread::id threadId_;

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<InterfaceChange> queue_;  // guarded by lock_
    bool closed_ = false;                // guarded by lock_
};

// Program-wide, never destroyed: a callback thread may outlive static destruction.
struct RegistrationTable {
    std::mutex lock;
    std::map<HCMNOTIFICATION, std::shared_ptr<Registration>> registrations;  // guarded by lock
    uintptr_t next = 0x4C000000;                                          // guarded by lock; handle values
};
RegistrationTable& Table() {
    static auto* table = new RegistrationTable;
    return *table;
}

constexpr uintptr_t kHandleStep = 4;

}  // namespace
}  // namespace platform::win32

using platform::win32::Registration;

CONFIGRET CM_Register_Notification(const CM_NOTIFY_FILTER* filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                   HCMNOTIFICATION* notifyContext) {
    if (filter == nullptr || callback == nullptr || notifyContext == nullptr) return CR_INVALID_POINTER;
    if (filter->cbSize != sizeof(CM_NOTIFY_FILTER) || filter->Reserved != 0) return CR_INVALID_DATA;
    if ((filter->Flags & ~CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0) return CR_INVALID_FLAG;
    if (filter->FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE) return CR_CALL_NOT_IMPLEMENTED;
    if (auto status = platform::fault::hit("CM_Register_Notification")) {
        return *status == STATUS_INSUFFICIENT_RESOURCES ? CR_OUT_OF_MEMORY : CR_FAILURE;
    }
    platform::win32::UserProcess* process = platform::win32::current_process();
    if (process == nullptr) return CR_FAILURE;

    auto& table = platform::win32::Table();
    HCMNOTIFICATION handle;
    {
        std::lock_guard lock(table.lock);
        handle = reinterpret_cast<HCMNOTIFICATION>(table.next);
        table.next += platform::win32::kHandleStep;
    }
    auto registration = std::make_shared<Registration>(handle, callback, context, process->shared_from_this());
    registration->start();
    std::weak_ptr<Registration> weak = registration;
    uint64_t subscription = process->subscribe_interfaces(
        filter->u.DeviceInterface.ClassGuid, (filter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0,
        [weak](const GUID& interfaceClass, const std::u16string& link, bool arrived) {
            if (auto target = weak.lock()) target->post({interfaceClass, link, arrived});
        });
    if (subscription == 0) {
        registration->close();
        return CR_FAILURE;
    }
    registration->subscription = subscription;
    {
        std::lock_guard lock(table.lock);
        table.registrations[handle] = registration;
    }
    *notifyContext = handle;
    return CR_SUCCESS;
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notifyContext) {
    std::shared_ptr<Registration> registration;
    {
        auto& table = platform::win32::Table();
        std::lock_guard lock(table.lock);
        auto it = table.registrations.find(notifyContext);
        if (it == table.registrations.end()) return CR_INVALID_POINTER;
        registration = std::move(it->second);
        table.registrations.erase(it);
    }
    registration->process().unsubscribe_interfaces(registration->subscription);
    registration->close();
    return CR_SUCCESS;
}
