#include "pnp_notifications.h"

#include "machine.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/ntstatus.h"

namespace platform {

PnpNotifications::PnpNotifications(Machine& machine) : machine_(machine) {
    subscription_ = machine_.interfaces().subscribe([this](const InterfaceRecord& record, bool arrived) {
        std::vector<uint64_t> ids;
        {
            std::lock_guard lock(lock_);
            for (auto& [id, r] : registrations_) {
                if (!r.removed && r.interfaceClass == record.interfaceClass) ids.push_back(id);
            }
        }
        for (uint64_t id : ids) post(id, record, arrived);
    });
}

PnpNotifications::~PnpNotifications() {
    machine_.interfaces().unsubscribe(subscription_);
    worker_.drain();
}

uint64_t PnpNotifications::add(const GUID& interfaceClass, bool includeExisting,
                               PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context) {
    uint64_t id;
    {
        std::lock_guard lock(lock_);
        id = nextId_++;
        registrations_[id] = Registration{interfaceClass, callback, context, false, false, 0, {}};
    }
    if (includeExisting) {
        for (const InterfaceRecord& record : machine_.interfaces().list(interfaceClass, true)) post(id, record, true);
    }
    return id;
}

void PnpNotifications::remove(uint64_t id) {
    std::unique_lock lock(lock_);
    auto it = registrations_.find(id);
    if (it == registrations_.end()) return;
    it->second.removed = true;
    if (it->second.running != 0 && it->second.runner == std::this_thread::get_id()) {
        // Called from its own callback: the delivery erases it when the callback returns.
        it->second.orphaned = true;
        return;
    }
    // A callback of this registration still running finishes first.
    idle_.wait(lock, [&] {
        auto found = registrations_.find(id);
        return found == registrations_.end() || found->second.running == 0;
    });
    registrations_.erase(id);
}

void PnpNotifications::post(uint64_t id, const InterfaceRecord& record, bool arrived) {
    worker_.post([this, id, record, arrived] { deliver(id, record, arrived); });
}

void PnpNotifications::deliver(uint64_t id, InterfaceRecord record, bool arrived) {
    Registration registration;
    {
        std::lock_guard lock(lock_);
        auto it = registrations_.find(id);
        if (it == registrations_.end() || it->second.removed) return;
        it->second.running += 1;
        it->second.runner = std::this_thread::get_id();
        registration = it->second;
    }
    UNICODE_STRING link{static_cast<USHORT>(record.symbolicLink.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(record.symbolicLink.size() * sizeof(WCHAR)), record.symbolicLink.data()};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{1, sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION),
                                                      arrived ? GUID_DEVICE_INTERFACE_ARRIVAL
                                                              : GUID_DEVICE_INTERFACE_REMOVAL,
                                                      record.interfaceClass, &link};
    registration.callback(&notification, registration.context);
    {
        std::lock_guard lock(lock_);
        auto it = registrations_.find(id);
        if (it != registrations_.end()) {
            it->second.running -= 1;
            if (it->second.running == 0 && it->second.orphaned) registrations_.erase(it);
        }
    }
    idle_.notify_all();
}

}  // namespace platform

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, PVOID eventCategoryData,
                                        PDRIVER_OBJECT, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context,
                                        PVOID* notificationEntry) {
    platform::require_passive("IoRegisterPlugPlayNotification");
    if (category != EventCategoryDeviceInterfaceChange || eventCategoryData == nullptr || callback == nullptr ||
        notificationEntry == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto status = platform::fault::hit("IoRegisterPlugPlayNotification")) return *status;
    auto& notifications = platform::Machine::current().attachment<platform::PnpNotifications>();
    uint64_t id = notifications.add(*static_cast<const GUID*>(eventCategoryData),
                                    (flags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) != 0, callback,
                                    context);
    *notificationEntry = reinterpret_cast<PVOID>(static_cast<uintptr_t>(id));
    return STATUS_SUCCESS;
}

NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID notificationEntry) {
    platform::require_passive("IoUnregisterPlugPlayNotificationEx");
    if (notificationEntry == nullptr) return STATUS_INVALID_PARAMETER;
    platform::Machine::current().attachment<platform::PnpNotifications>().remove(
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(notificationEntry)));
    return STATUS_SUCCESS;
}

void platform::drain_pnp_notifications() {
    if (Machine::exists()) Machine::current().attachment<PnpNotifications>().drain();
}
