// TheSystem and the main content component over the library's real system,
// the root driver's test image, the real USB function driver and simulated
// interfaces, on both roads: "bus changed" once per changed, a failed
// creation, failures of the arrival/removal thread, and the start-up matrix
// (no root interface, a version mismatch, another library error) with the
// root device going and coming back under a running panel.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "panel_fixture.h"
#include "platform/kernel/fault.h"
#include "the_system.h"

namespace {

using namespace vexa::test;
using namespace cpl::test;
using mrak::vexa::reference;
using platform::device::VexaModel;

const juce::String kDriverNotFound = "Driver not found.\n\nPlease check the driver configuration.";
const juce::String kNoDevicesFound = "No devices found.\n\nConnect device(s).";
const juce::String kDriverErrorTail = "\n\nCheck the driver configuration or device connections.";

class CountingListener : public juce::ActionListener {
public:
    void actionListenerCallback(const juce::String& message) override { messages.add(message); }
    juce::StringArray messages;
};

class TheSystemTest : public RootLibraryTest {
protected:
    ~TheSystemTest() override {
        panel_.reset();
        pumpFor(1);
        platform::fault::clear();
    }
    void startPanel() { panel_ = std::make_unique<MainContentComponent>(cpl::createLibrarySystem, actions_); }
    // Arms `call` to fail with `status` once the creation has registered for notifications and, for
    // any call but CreateFile, once the bus has opened its handle: the bus's own CreateFile, or
    // its first request (the version request), meets the fault. The arming waits for those steps
    // because the process's first SetupAPI use opens a handle and sends requests of its own.
    std::unique_ptr<platform::fault::ScopedObserver> failBusCall(std::string call, NTSTATUS status) {
        auto stage = std::make_shared<std::atomic<int>>(0);
        return std::make_unique<platform::fault::ScopedObserver>([=](std::string_view seen) {
            if (stage->load() == 0 && seen == "CM_Register_Notification") {
                if (call == "CreateFile") {
                    platform::fault::inject(call, status);
                    stage->store(2);
                } else {
                    stage->store(1);
                }
            } else if (stage->load() == 1 && seen == "CreateFile") {
                platform::fault::inject(call, status);
                stage->store(2);
            }
        });
    }
    bool settled(uint32_t rate, const char* size) {
        return pumpUntil([&] {
            return panel_->pendingBits() == 0 && panel_->sampleRateBox().getSelectedId() == static_cast<int>(rate) &&
                   panel_->bufferSizeBox().getText() == size;
        });
    }

    ScopedLook look_;
    std::shared_ptr<RecordingActions> actions_ = std::make_shared<RecordingActions>();
    std::unique_ptr<MainContentComponent> panel_;
};

// Every changed posts "bus changed" once to each listener, also with the same bus path; the first
// scan inside the creation reaches nobody; the path is the bus's before the message goes.
TEST_P(TheSystemTest, BusChangedOncePerChanged) {
    plug(VexaModel::CantileQe);
    reference<TheSystem> system = TheSystem::create_instance();
    CountingListener listener;
    system->addActionListener(&listener);
    pumpFor(20);
    EXPECT_TRUE(listener.messages.isEmpty()) << "the creation's scan came before any listener";
    for (int i = 0; i < 3; ++i) system->changed();
    ASSERT_TRUE(pumpUntil([&] { return listener.messages.size() == 3; }));
    pumpFor(20);
    EXPECT_EQ(listener.messages.joinIntoString(","), "bus changed,bus changed,bus changed");
    {
        mrak::vexa::lock_scope hold;
        EXPECT_EQ(system->bus_path, pal_path());
    }
    system->removeActionListener(&listener);
    system->close();
}

// A creation that fails throws the library's exception unchanged and leaves no system behind.
TEST_P(TheSystemTest, FailedCreationRethrows) {
    platform::fault::inject("CM_Register_Notification", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_THROW(TheSystem::create_instance(), mrak::vexa::xptn_resource);
    platform::fault::clear();
    reference<TheSystem> system = TheSystem::create_instance();
    EXPECT_EQ(system->bus_count(), 1u) << "the next creation works";
    system->close();
}

// A failure on the arrival/removal thread (a bus that cannot be opened) sets settings_error.
TEST_P(TheSystemTest, ThreadFailureSetsSettingsError) {
    root_.remove_root();
    reference<TheSystem> system = TheSystem::create_instance();
    EXPECT_EQ(system->settings_error.load(), 0);
    platform::fault::inject("CreateFile", STATUS_ACCESS_DENIED);
    root_.add_root(u"ROOT\\QUVVexaUSBRoot\\0001");
    ASSERT_TRUE(pumpUntil([&] { return system->settings_error.load() == 1; }));
    system->close();
}

// No root interface at start: only "No devices found", the panel keeps running with disabled
// combos and "no info"; the interface arriving later is attached and filled in.
TEST_P(TheSystemTest, NoRootInterfaceThenItArrives) {
    plug(VexaModel::CantileQe);
    root_.remove_root();
    startPanel();
    EXPECT_EQ(actions_->boxes, std::vector<juce::String>{kNoDevicesFound});
    EXPECT_TRUE(actions_->quitsAfterBoxes.empty());
    pumpFor(20);
    EXPECT_FALSE(panel_->sampleRateBox().isEnabled());
    EXPECT_EQ(panel_->deviceDetails().getText(), "      no info");
    root_.add_root(u"ROOT\\QUVVexaUSBRoot\\0001");
    ASSERT_TRUE(settled(48000, "512"));
    EXPECT_TRUE(panel_->deviceDetails().getText().startsWith("Product Name : Cantile-QE"));
}

// The root interface arrives while "No devices found" is still open, the message loop running
// inside the box as a modal box's does: "bus changed" reaches a whole component from within its
// own constructor, which attaches and shows the Cantile-QE.
TEST_P(TheSystemTest, RootArrivesWhileNoDevicesBoxIsOpen) {
    plug(VexaModel::CantileQe);
    root_.remove_root();
    cpl::LibrarySystem* system = nullptr;
    bool attachedInsideBox = false;
    actions_->duringBox = [&](const juce::String&) {
        root_.add_root(u"ROOT\\QUVVexaUSBRoot\\0001");
        attachedInsideBox = pumpUntil([&] {
            reference<event_bus> first = system->firstBus();
            return first && first->listener_count() == 1;
        });
        pumpFor(20);  // the dispatcher's run, still inside the box
    };
    panel_ = std::make_unique<MainContentComponent>(
        [&]() -> std::unique_ptr<cpl::PanelSystem> {
            auto made = cpl::createLibrarySystem();
            system = static_cast<cpl::LibrarySystem*>(made.get());
            return made;
        },
        actions_);
    EXPECT_TRUE(attachedInsideBox);
    EXPECT_EQ(actions_->boxes, std::vector<juce::String>{kNoDevicesFound});
    EXPECT_TRUE(actions_->quitsAfterBoxes.empty());
    ASSERT_TRUE(settled(48000, "512"));
    EXPECT_TRUE(panel_->deviceDetails().getText().startsWith("Product Name : Cantile-QE"));
}

// A version the library does not accept: its box, then "Driver not found", then one quit.
TEST_P(TheSystemTest, VersionMismatch) {
    plug(VexaModel::CantileQe);
    {
        auto fault = failBusCall("DeviceIoControl", STATUS_SUCCESS);  // the version request answers no bytes
        startPanel();
    }
    platform::fault::clear();
    EXPECT_EQ(actions_->boxes,
              (std::vector<juce::String>{"Error: Driver version mismatch\n\nThis application requires driver version "
                                         "4.3.2\n\nPlease check the driver configuration.",
                                         kDriverNotFound}));
    EXPECT_EQ(actions_->quitsAfterBoxes, std::vector<size_t>{2});
    EXPECT_FALSE(panel_->hasSystem());
}

// Another library error from the creation: the driver-error box, then "Driver not found", one quit.
TEST_P(TheSystemTest, AnotherLibraryError) {
    plug(VexaModel::CantileQe);
    {
        auto fault = failBusCall("CreateFile", STATUS_ACCESS_DENIED);
        startPanel();
    }
    platform::fault::clear();
    EXPECT_EQ(actions_->boxes, (std::vector<juce::String>{"Driver error: Driver access error" + kDriverErrorTail,
                                                          kDriverNotFound}));
    EXPECT_EQ(actions_->quitsAfterBoxes, std::vector<size_t>{2});
}

// The root device goes under a running panel: it keeps its last values; when it comes back the
// panel attaches to the new bus and follows it.
TEST_P(TheSystemTest, RootGoesAndComesBack) {
    plug(VexaModel::CantileQe);
    startPanel();
    EXPECT_TRUE(actions_->boxes.empty());
    ASSERT_TRUE(settled(48000, "512"));
    root_.remove_root();
    ASSERT_TRUE(pumpUntil([&] { return !panel_->attachedBus(); }));
    pumpFor(20);
    EXPECT_EQ(panel_->sampleRateBox().getSelectedId(), 48000) << "the last values stay";
    root_.add_root(u"ROOT\\QUVVexaUSBRoot\\0001");
    // The user chooses once the panel lists the interface's rates again: the new bus is
    // attached before its device arrives, and until then the combos are empty.
    ASSERT_TRUE(pumpUntil([&] {
        reference<event_bus> b = panel_->attachedBus();
        if (!b || panel_->pendingBits() != 0 || panel_->sampleRateBox().indexOfItemId(96000) < 0) return false;
        mrak::vexa::lock_scope hold;
        return !b->empty();
    }));
    panel_->sampleRateBox().setSelectedId(96000, juce::sendNotificationSync);
    EXPECT_TRUE(settled(96000, "1024")) << (actions_->boxes.empty() ? juce::String() : actions_->boxes.back());
}

INSTANTIATE_TEST_SUITE_P(Roads, TheSystemTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
