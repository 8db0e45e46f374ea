// Removal with files open, as Windows does it: once a device's removal has
// begun nobody opens it (a remote I/O target opened after the removal's
// listeners ran would never hear of it), a removed device that still has an
// open file keeps that file and its driver until the file closes, and a
// request to a deleted device never reaches its driver.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kmdf/fx_device.h"
#include "platform/kmdf/wdf.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "platform/machine/work_queue.h"
#include "support/probe.h"
#include "support/root_machine.h"
#include "support/rule_recorder.h"

namespace {

using Events = std::vector<std::string>;

constexpr GUID kProbeInterface = {kProbeInterfaceData1, 0x7B1D, 0x4E2A, {0x9F, 0x00, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};
constexpr GUID kProbeQueryInterface = {kProbeQueryInterfaceData1, 0x7B1D, 0x4E2A,
                                       {0x9F, 0x00, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};

std::atomic<int> g_removeCompletes{0};

void CountRemoveComplete(WDFIOTARGET) { g_removeCompletes.fetch_add(1); }

class RemovalTest : public ::testing::Test {
protected:
    RemovalTest() : probe_(VEXA_PROBE_DRIVER) {
        machine_.drivers().install("VexaProbe", probe_.path());
        g_removeCompletes = 0;
    }
    ~RemovalTest() override { platform::win32::set_default_process(nullptr); }

    platform::DevNode* add(const char16_t* instance) {
        return machine_.pnp().add_node(std::u16string(u"ROOT\\VEXAPROBE\\") + instance, {u"Root\\VexaProbe"},
                                       "VexaProbe");
    }
    // The link of the probe interface a node registered.
    std::u16string link_of(platform::DevNode* node) {
        for (const auto& record : machine_.interfaces().list(kProbeInterface, false)) {
            if (record.pdo == &node->pdo) return record.symbolicLink;
        }
        return {};
    }
    // A remote I/O target of `holder`'s device over `link`; the open's status.
    NTSTATUS open_target(platform::DevNode* holder, const std::u16string& link, WDFIOTARGET* target) {
        WDFDEVICE device = platform::kmdf::FxDevice::of(holder->fdo)->as_handle<WDFDEVICE>();
        EXPECT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, target), STATUS_SUCCESS);
        UNICODE_STRING name{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2),
                            const_cast<char16_t*>(link.data())};
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &name, 0x1F0000);
        params.EvtIoTargetRemoveComplete = CountRemoveComplete;
        return WdfIoTargetOpen(*target, &params);
    }
    bool probe_loaded() { return machine_.drivers().find("VexaProbe") != nullptr; }

    vexa::test::ProbeImage probe_;
    platform::Machine machine_;
};

// Once surprise removal has begun, before the device's release: a remote I/O
// target, a kernel open and a user-mode open all fail, and nothing reaches
// the driver; after the removal the holder's own device is untouched.
TEST_F(RemovalTest, OpensFailOnceRemovalHasBegun) {
    vexa::test::RuleRecorder rules;
    platform::DevNode* holder = add(u"0000");
    platform::DevNode* target = add(u"0001");
    std::u16string link = link_of(target);
    ASSERT_FALSE(link.empty());
    machine_.pnp().surprise_remove(*target, /*holdRelease=*/true);
    probe_.state().take();

    WDFIOTARGET remote = nullptr;
    EXPECT_EQ(open_target(holder, link, &remote), STATUS_NO_SUCH_DEVICE);
    UNICODE_STRING name{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK status{};
    EXPECT_EQ(ZwCreateFile(&handle, 0, &attributes, &status, nullptr, 0, 0, 0, 0, nullptr, 0), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(CreateFileW(link.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(probe_.state().take().empty()) << "no create reached the driver";
    EXPECT_EQ(g_removeCompletes.load(), 0);

    WdfObjectDelete(remote);
    machine_.pnp().finish_removal(*target);
    EXPECT_EQ(holder->state, platform::NodeState::Started);
    EXPECT_EQ(rules.count(), 0u) << (rules.count() ? rules.violations()[0] : "");
}

// A removed device with a file still open keeps its driver loaded (and its
// device object on the driver's list) until the file is closed. The file
// itself stays too: its cleanup and its deletion reach the driver when the
// handle closes, not with the device (a driver undoes there what it mapped
// into the process). Then the driver unloads.
TEST_F(RemovalTest, OpenFileKeepsARemovedDevicesDriverLoaded) {
    for (bool surprise : {true, false}) {
        platform::DevNode* node = add(surprise ? u"0000" : u"0001");
        HANDLE handle = CreateFileW(link_of(node).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        probe_.state().take();
        if (surprise) {
            machine_.pnp().surprise_remove(*node);
        } else {
            machine_.pnp().remove(*node);
        }
        machine_.workers().drain();
        Events events = probe_.state().take();
        EXPECT_EQ(std::count(events.begin(), events.end(), "device-cleanup"), 1) << surprise;
        EXPECT_EQ(std::count(events.begin(), events.end(), "unload"), 0) << surprise << ": a file is still open";
        EXPECT_EQ(std::count(events.begin(), events.end(), "file-cleanup"), 0) << surprise << ": its handle is open";
        EXPECT_EQ(std::count(events.begin(), events.end(), "file-gone"), 0) << surprise << ": not with the device";
        EXPECT_TRUE(probe_loaded()) << surprise;

        CloseHandle(handle);
        machine_.workers().drain();
        EXPECT_EQ(probe_.state().take(), (Events{"file-cleanup", "file-gone", "unload", "driver-cleanup"})) << surprise;
        EXPECT_FALSE(probe_loaded()) << surprise;
    }
}

// A removed device's driver that gets a new device before the old one's
// last file closes stays loaded for the new one.
TEST_F(RemovalTest, NewDeviceKeepsADriverThatWaitedToUnload) {
    platform::DevNode* first = add(u"0000");
    HANDLE handle = CreateFileW(link_of(first).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    machine_.pnp().surprise_remove(*first);
    platform::DevNode* second = add(u"0001");
    EXPECT_EQ(second->state, platform::NodeState::Started);
    probe_.state().take();
    CloseHandle(handle);
    machine_.workers().drain();
    Events events = probe_.state().take();
    EXPECT_EQ(std::count(events.begin(), events.end(), "unload"), 0);
    EXPECT_TRUE(probe_loaded());
    machine_.pnp().remove(*second);
    machine_.workers().drain();
    EXPECT_FALSE(probe_loaded());
}

// A deleted device that a file still holds serves that file's close, but
// no other request (a query-interface, a device control) reaches its driver.
TEST_F(RemovalTest, RequestsToADeletedDeviceNeverReachItsDriver) {
    platform::DevNode* node = add(u"0000");
    std::u16string link = link_of(node);
    UNICODE_STRING name{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
    FILE_OBJECT* file = nullptr;
    DEVICE_OBJECT* device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, 0, &file, &device), STATUS_SUCCESS);
    INTERFACE iface{};
    EXPECT_EQ(platform::query_interface(device, kProbeQueryInterface, &iface, sizeof(iface), 1, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(probe_.state().take().back(), "query") << "answered while the device is there";

    machine_.pnp().surprise_remove(*node);
    probe_.state().take();
    EXPECT_EQ(platform::query_interface(device, kProbeQueryInterface, &iface, sizeof(iface), 1, nullptr),
              STATUS_DELETE_PENDING);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    IRP* irp = IoBuildDeviceIoControlRequest(0x222000, device, nullptr, 0, nullptr, 0, FALSE, &done, &status);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_DELETE_PENDING);
    EXPECT_TRUE(probe_.state().take().empty()) << "nothing reached the driver";
    EXPECT_TRUE(probe_loaded());

    ObDereferenceObject(file);  // the close is served, then the device and its driver go
    machine_.workers().drain();
    EXPECT_FALSE(probe_loaded());
}

// A target opened while a surprise removal runs either fails to open or
// hears of the removal, once: never open and untold.
TEST_F(RemovalTest, TargetOpenRacingSurpriseRemoval) {
    vexa::test::RuleRecorder rules;
    platform::DevNode* holder = add(u"HOLD");
    constexpr int kRounds = 100;
    int opened = 0;
    for (int round = 0; round < kRounds; ++round) {
        char16_t instance[8] = {};
        for (int i = 0, v = round; i < 4; ++i, v /= 10) instance[3 - i] = static_cast<char16_t>(u'0' + v % 10);
        platform::DevNode* node = add(instance);
        std::u16string link = link_of(node);
        int heardBefore = g_removeCompletes.load();
        WDFIOTARGET remote = nullptr;
        NTSTATUS status = STATUS_PENDING;
        // Both sides start together; the removal starts a little later each round.
        std::atomic<int> ready{0};
        auto together = [&ready] {
            ready.fetch_add(1);
            while (ready.load() < 2) std::this_thread::yield();
        };
        std::thread opener([&] {
            together();
            status = open_target(holder, link, &remote);
        });
        std::thread remover([&, round] {
            together();
            for (int i = 0; i < round % 16 * 64; ++i) std::this_thread::yield();
            machine_.pnp().surprise_remove(*node);
        });
        opener.join();
        remover.join();
        if (NT_SUCCESS(status)) {
            ++opened;
            EXPECT_EQ(g_removeCompletes.load(), heardBefore + 1) << "round " << round << ": opened, never told";
        } else {
            // Refused while the removal ran (by the I/O manager, or by the
            // framework as the device went), or not found once it was over.
            EXPECT_TRUE(status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING ||
                        status == STATUS_OBJECT_NAME_NOT_FOUND)
                << round << ": " << std::hex << status;
            EXPECT_EQ(g_removeCompletes.load(), heardBefore) << round;
        }
        WdfObjectDelete(remote);
    }
    machine_.workers().drain();
    EXPECT_EQ(rules.count(), 0u) << (rules.count() ? rules.violations()[0] : "");
    EXPECT_EQ(holder->state, platform::NodeState::Started);
    RecordProperty("opened", opened);
}

}  // namespace
