// Device-interface notification for user mode (CM_Register_Notification) on
// both roads: the filter's class and no other, in order, as the process that
// registered; nothing from before the registration or after unregistering;
// unregistering waits for a callback in flight and is a reported rule
// violation from the callback itself; malformed registrations refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/rules.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/pnp_manager.h"
#include "platform/win32/cfgmgr32.h"
#include "platform/win32/windows.h"
#include "support/road_fixture.h"
#include "support/thread_end.h"

namespace {

using namespace vexa::test;

const GUID kWatched{0x1C0FFEE1, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kOther{0x1C0FFEE2, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 9}};
constexpr auto kPatience = std::chrono::seconds(20);

struct Seen {
    CM_NOTIFY_ACTION action;
    GUID interfaceClass;
    std::u16string link;
    DWORD size;
    DWORD processId;
};

// What one registration's callbacks were given; the callback may also block,
// set an event or unregister itself, as a test asks.
class Recorder {
public:
    static DWORD callback(HCMNOTIFICATION notify, PVOID context, CM_NOTIFY_ACTION action, CM_NOTIFY_EVENT_DATA* data,
                          DWORD size) {
        auto* self = static_cast<Recorder*>(context);
        EXPECT_EQ(data->FilterType, CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE);
        Seen seen{action, data->u.DeviceInterface.ClassGuid, data->u.DeviceInterface.SymbolicLink, size,
                  GetCurrentProcessId()};
        if (self->event != nullptr) {
            EXPECT_TRUE(SetEvent(self->event));
        }
        {
            std::unique_lock lock(self->lock_);
            self->seen_.push_back(seen);
            self->changed_.notify_all();
            if (self->block) {
                self->blocked_ = true;
                self->changed_.notify_all();
                self->changed_.wait(lock, [&] { return !self->block; });
                self->returning = true;
            }
        }
        if (self->unregisterItself) {
            if (self->threadEnd != nullptr) self->threadEnd->arm();
            CM_Unregister_Notification(notify);
        }
        return ERROR_SUCCESS;
    }

    bool wait_for(size_t count) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, kPatience, [&] { return seen_.size() >= count; });
    }
    bool wait_blocked() {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, kPatience, [&] { return blocked_; });
    }
    void unblock() {
        std::lock_guard lock(lock_);
        block = false;
        changed_.notify_all();
    }
    std::vector<Seen> seen() {
        std::lock_guard lock(lock_);
        return seen_;
    }

    HANDLE event = nullptr;
    bool block = false;  // guarded by lock_ once callbacks may run
    std::atomic<bool> returning{false};
    std::atomic<bool> unregisterItself{false};
    ThreadEnd* threadEnd = nullptr;  // armed on the callback's thread when it unregisters itself

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
    bool blocked_ = false;
};

class CmNotificationTest : public RoadTest {
protected:
    CmNotificationTest() {
        node_ = machine_.pnp().add_node(u"ROOT\\CMTEST\\0000", {u"Root\\CmTest"}, "CmTest");
    }
    ~CmNotificationTest() override { platform::fault::clear(); }

    uint64_t add_interface(const GUID& interfaceClass, const std::u16string& reference) {
        uint64_t id = machine_.interfaces().add(interfaceClass, &node_->pdo, reference);
        EXPECT_NE(id, 0u);
        return id;
    }
    void set(uint64_t id, bool enabled) { machine_.interfaces().set_enabled(id, enabled); }

    HCMNOTIFICATION subscribe(Recorder* recorder, const GUID& interfaceClass, DWORD flags = 0) {
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof(filter);
        filter.Flags = flags;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = interfaceClass;
        HCMNOTIFICATION handle = nullptr;
        EXPECT_EQ(CM_Register_Notification(&filter, recorder, Recorder::callback, &handle), CR_SUCCESS);
        EXPECT_NE(handle, nullptr);
        return handle;
    }

    std::u16string link(const GUID& interfaceClass, const std::u16string& reference) {
        return u"\\\\?\\ROOT#CMTEST#0000#" + platform::guid_to_string(interfaceClass) + u"\\" + reference;
    }

    platform::DevNode* node_ = nullptr;
};

// Arrival and removal reach the callback in the order they happened, with the class, the path as
// SetupAPI names it and the record's size, on a thread acting as the registering process; another
// class does not, unless the filter asks for every class.
TEST_P(CmNotificationTest, ChangesOfTheClassArriveInOrder) {
    Recorder watched;
    Recorder all;
    HCMNOTIFICATION one = subscribe(&watched, kWatched);
    HCMNOTIFICATION every = subscribe(&all, GUID{}, CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES);
    uint64_t a = add_interface(kWatched, u"A");
    uint64_t b = add_interface(kWatched, u"B");
    uint64_t other = add_interface(kOther, u"X");
    set(a, true);
    set(other, true);
    set(a, false);
    set(b, true);
    ASSERT_TRUE(watched.wait_for(3));
    ASSERT_TRUE(all.wait_for(4));
    std::vector<Seen> seen = watched.seen();
    ASSERT_EQ(seen.size(), 3u);
    std::vector<std::pair<CM_NOTIFY_ACTION, std::u16string>> order;
    for (const Seen& s : seen) {
        order.emplace_back(s.action, s.link);
        EXPECT_TRUE(s.interfaceClass == kWatched);
        EXPECT_EQ(s.size, 24 + (s.link.size() + 1) * sizeof(WCHAR));
        EXPECT_EQ(s.processId, process_->process_id());
    }
    EXPECT_EQ(order, (std::vector<std::pair<CM_NOTIFY_ACTION, std::u16string>>{
                         {CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, link(kWatched, u"A")},
                         {CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, link(kWatched, u"A")},
                         {CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, link(kWatched, u"B")}}));
    std::vector<Seen> everything = all.seen();
    ASSERT_EQ(everything.size(), 4u);
    EXPECT_TRUE(everything[1].interfaceClass == kOther);
    EXPECT_EQ(everything[1].link, link(kOther, u"X"));
    EXPECT_EQ(CM_Unregister_Notification(one), CR_SUCCESS);
    EXPECT_EQ(CM_Unregister_Notification(every), CR_SUCCESS);
}

// Interfaces present before the registration are not announced, and nothing reaches a
// registration after it is gone (a second registration sees the change, so it was delivered).
TEST_P(CmNotificationTest, NothingBeforeRegisteringOrAfterUnregistering) {
    uint64_t early = add_interface(kWatched, u"Early");
    set(early, true);
    Recorder gone;
    Recorder sentinel;
    HCMNOTIFICATION first = subscribe(&gone, kWatched);
    EXPECT_EQ(CM_Unregister_Notification(first), CR_SUCCESS);
    HCMNOTIFICATION second = subscribe(&sentinel, kWatched);
    set(early, false);
    ASSERT_TRUE(sentinel.wait_for(1));
    EXPECT_EQ(sentinel.seen()[0].action, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
    EXPECT_TRUE(gone.seen().empty());
    EXPECT_EQ(CM_Unregister_Notification(second), CR_SUCCESS);
    EXPECT_EQ(CM_Unregister_Notification(second), CR_INVALID_POINTER) << "a handle used after it was unregistered";
}

// Unregistering waits for the callback in flight to return (its context may go right after).
TEST_P(CmNotificationTest, UnregisteringWaitsForTheCallbackInFlight) {
    Recorder recorder;
    recorder.block = true;
    HCMNOTIFICATION handle = subscribe(&recorder, kWatched);
    uint64_t id = add_interface(kWatched, u"A");
    set(id, true);
    ASSERT_TRUE(recorder.wait_blocked());
    std::atomic<bool> callbackHadReturned{false};
    std::thread unregistering([&] {
        EXPECT_EQ(CM_Unregister_Notification(handle), CR_SUCCESS);
        callbackHadReturned = recorder.returning.load();
    });
    recorder.unblock();
    unregistering.join();
    EXPECT_TRUE(callbackHadReturned);
}

// A callback may signal an event of the process that registered: how a program wakes its own thread.
TEST_P(CmNotificationTest, CallbackSetsAnEventOfItsProcess) {
    Recorder recorder;
    recorder.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(recorder.event, nullptr);
    HCMNOTIFICATION handle = subscribe(&recorder, kWatched);
    set(add_interface(kWatched, u"A"), true);
    EXPECT_EQ(WaitForSingleObject(recorder.event, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(CM_Unregister_Notification(handle), CR_SUCCESS);
    CloseHandle(recorder.event);
}

// Unregistering from the registration's own callback never returns on Windows: a reported rule
// violation here, and the registration still ends without hanging.
TEST_P(CmNotificationTest, UnregisteringFromItsOwnCallbackIsAViolation) {
    std::mutex lock;
    std::vector<std::string> rules;
    platform::ScopedRuleHandler handler([&](const std::string& rule, const std::string&) {
        std::lock_guard hold(lock);
        rules.push_back(rule);
    });
    Recorder recorder;
    ThreadEnd threadEnd;
    recorder.threadEnd = &threadEnd;
    recorder.unregisterItself = true;
    subscribe(&recorder, kWatched);
    set(add_interface(kWatched, u"A"), true);
    ASSERT_TRUE(threadEnd.wait()) << "the callback's thread ends once the callback returns";
    std::lock_guard hold(lock);
    EXPECT_EQ(rules, (std::vector<std::string>{"CM_Unregister_Notification"}));
}

// Malformed registrations are refused with the configuration manager's codes; a failed
// registration hands out no handle.
TEST_P(CmNotificationTest, MalformedRegistrationsAreRefused) {
    struct Row {
        const char* what;
        std::function<void(CM_NOTIFY_FILTER&)> change;
        CONFIGRET expected;
    };
    std::vector<Row> table = {
        {"size", [](CM_NOTIFY_FILTER& f) { f.cbSize = 32; }, CR_INVALID_DATA},
        {"reserved", [](CM_NOTIFY_FILTER& f) { f.Reserved = 1; }, CR_INVALID_DATA},
        {"flags", [](CM_NOTIFY_FILTER& f) { f.Flags = 0x2; }, CR_INVALID_FLAG},
        {"handle filter", [](CM_NOTIFY_FILTER& f) { f.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE; },
         CR_CALL_NOT_IMPLEMENTED},
        {"fault", [](CM_NOTIFY_FILTER&) { platform::fault::inject("CM_Register_Notification", STATUS_UNSUCCESSFUL); },
         CR_FAILURE},
        {"out of memory",
         [](CM_NOTIFY_FILTER&) {
             platform::fault::inject("CM_Register_Notification", STATUS_INSUFFICIENT_RESOURCES);
         },
         CR_OUT_OF_MEMORY},
    };
    Recorder recorder;
    for (const Row& row : table) {
        CM_NOTIFY_FILTER filter{};
        filter.cbSize = sizeof(filter);
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = kWatched;
        row.change(filter);
        HCMNOTIFICATION handle = nullptr;
        EXPECT_EQ(CM_Register_Notification(&filter, &recorder, Recorder::callback, &handle), row.expected) << row.what;
        EXPECT_EQ(handle, nullptr) << row.what;
    }
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    HCMNOTIFICATION handle = nullptr;
    EXPECT_EQ(CM_Register_Notification(nullptr, &recorder, Recorder::callback, &handle), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Register_Notification(&filter, &recorder, nullptr, &handle), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Register_Notification(&filter, &recorder, Recorder::callback, nullptr), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Unregister_Notification(nullptr), CR_INVALID_POINTER);
    set(add_interface(kWatched, u"A"), true);
    EXPECT_TRUE(recorder.seen().empty());
}

INSTANTIATE_TEST_SUITE_P(Roads, CmNotificationTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
