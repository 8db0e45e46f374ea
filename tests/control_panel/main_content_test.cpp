// The main content component headless, against the root driver's test image,
// the real USB function driver and simulated interfaces, with the JUCE loop
// pumped: a Cantile-QE's values, the user's choices reaching the driver and
// the registry, choices that send nothing, a refused setting, one ASIO client
// holding the rate, unplugging, a device arriving while a start-up box is
// open, coalesced notifications, the start-up boxes for every failure, and
// the information box.
#include <gtest/gtest.h>

#include <new>
#include <thread>

#include "bus_system.h"
#include "common/xptn.h"
#include "panel_fixture.h"
#include "platform/kernel/fault.h"
#include "platform/machine/registry.h"
#include "settings_text.h"
#include "support/asio_interface_client.h"

namespace {

using namespace vexa::test;
using namespace cpl::test;
using platform::device::VexaModel;

const juce::String kDriverNotFound = "Driver not found.\n\nPlease check the driver configuration.";
const juce::String kDriverErrorTail = "\n\nCheck the driver configuration or device connections.";
const juce::String kSettingsError =
    "Error: Could not open driver settings file.\nChanges to settings cannot be saved.\n\n"
    "Contact technical support for more information.";

class MainContentTest : public RootLibraryTest {
protected:
    ~MainContentTest() override {
        panel_.reset();
        pumpFor(1);
    }

    // The component over a BusSystem of `Bus`; `prepare` runs on the new system before the component sees it.
    template <typename Bus = event_bus>
    BusSystem<Bus>* start(std::function<void(BusSystem<Bus>&)> prepare = {}) {
        BusSystem<Bus>* made = nullptr;
        panel_ = std::make_unique<MainContentComponent>(
            [&]() -> std::unique_ptr<cpl::PanelSystem> {
                auto system = std::make_unique<BusSystem<Bus>>();
                made = system.get();
                if (prepare) prepare(*system);
                return system;
            },
            actions_);
        return made;
    }
    void startWith(cpl::SystemFactory factory) {
        panel_ = std::make_unique<MainContentComponent>(std::move(factory), actions_);
    }
    // The panel shows the bus's values and has nothing left to do.
    bool settled(uint32_t rate, const char* size) {
        return pumpUntil([&] {
            return panel_->pendingBits() == 0 && panel_->sampleRateBox().getSelectedId() == static_cast<int>(rate) &&
                   panel_->bufferSizeBox().getText() == size;
        });
    }
    std::optional<uint32_t> stored(const char16_t* name) {
        auto value = root_.machine().registry().get(
            std::u16string(platform::kServicesKey) + u"\\QUVVexaUSBRoot\\Parameters", name);
        return value ? value->as_dword() : std::nullopt;
    }

    ScopedLook look_;
    std::shared_ptr<RecordingActions> actions_ = std::make_shared<RecordingActions>();
    std::unique_ptr<MainContentComponent> panel_;
};

const std::vector<int> kQeRates = {44100, 48000, 88200, 96000, 176400, 192000};

// A Cantile-QE at 48 kHz: its rates, the sizes 48 to 2048 showing 512, the five modes on "Normal",
// the device's text; no box.
TEST_P(MainContentTest, CantileQeAt48kHz) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(settled(48000, "512"));
    saveSnapshot(*panel_, "cantile-qe");
    EXPECT_TRUE(actions_->boxes.empty());
    EXPECT_EQ(itemIds(panel_->sampleRateBox()), kQeRates);
    EXPECT_EQ(itemTexts(panel_->sampleRateBox()).joinIntoString(","), "44100,48000,88200,96000,176400,192000");
    EXPECT_EQ(itemTexts(panel_->bufferSizeBox()).joinIntoString(","), "48,64,96,128,192,256,512,1024,2048");
    EXPECT_EQ(panel_->bufferSizeBox().getSelectedId(), 512);
    EXPECT_EQ(itemTexts(panel_->operationModeBox()).joinIntoString(","),
              "Lowest Latency,Lower Latency,Normal,Safe Mode 1,Safe Mode 2");
    EXPECT_EQ(itemIds(panel_->operationModeBox()), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(panel_->operationModeBox().getText(), "Normal");
    EXPECT_TRUE(panel_->sampleRateBox().isEnabled());
    EXPECT_TRUE(panel_->bufferSizeBox().isEnabled());
    EXPECT_TRUE(panel_->operationModeBox().isEnabled());
    EXPECT_TRUE(panel_->sampleRateBox().isVisible());
    EXPECT_FALSE(panel_->sampleRateText().isVisible());
    const auto firmware = platform::device::data_sheet(VexaModel::CantileQe).firmwareVersion;
    EXPECT_EQ(panel_->deviceDetails().getText(), "Product Name : Cantile-QE\nSerial Number : 1\n\nFirmware App Version : " +
                                                      cpl::versionText(firmware) + "\n");
}

// Choosing 96000 reaches the driver and its registry; the sizes follow (96 to 4096, showing 1024).
TEST_P(MainContentTest, ChoosingARateReachesDriverAndRegistry) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(settled(48000, "512"));
    panel_->sampleRateBox().setSelectedId(96000, juce::sendNotificationSync);
    ASSERT_TRUE(settled(96000, "1024"));
    EXPECT_EQ(itemTexts(panel_->bufferSizeBox()).joinIntoString(","), "96,128,192,256,384,512,1024,2048,4096");
    EXPECT_EQ(stored(u"Sampling Rate"), 96000u);
    EXPECT_TRUE(actions_->boxes.empty());

    panel_->operationModeBox().setSelectedId(2, juce::sendNotificationSync);  // "Lower Latency" is mode 1
    ASSERT_TRUE(pumpUntil([&] { return stored(u"Operation Mode") == 1u && panel_->pendingBits() == 0; }));
    panel_->bufferSizeBox().setSelectedId(2048, juce::sendNotificationSync);
    ASSERT_TRUE(settled(96000, "2048"));
}

// Choosing what is in effect sends nothing; a rate another client sets is shown and never sent back.
TEST_P(MainContentTest, ProgrammaticSelectionsNeverEcho) {
    plug(VexaModel::CantileQe);
    BusSystem<CountingBus>* system = start<CountingBus>();
    ASSERT_TRUE(settled(48000, "512"));
    panel_->sampleRateBox().setSelectedId(48000, juce::sendNotificationSync);
    panel_->bufferSizeBox().setSelectedId(512, juce::sendNotificationSync);
    panel_->operationModeBox().setSelectedId(3, juce::sendNotificationSync);
    EXPECT_EQ(system->bus()->sets.load(), 0);

    mrak::vexa::reference<event_bus> other(new event_bus, 0);  // another client of the root driver
    other->create(nullptr, pal_path());
    other->open();
    other->set_sample_rate(96000);
    ASSERT_TRUE(settled(96000, "1024"));
    pumpFor(50);
    EXPECT_EQ(system->bus()->sets.load(), 0) << "the new rate was sent back";
    EXPECT_EQ(stored(u"Sampling Rate"), 96000u);
    other->close();
}

// The bus's rate list changes while its rate does not: the new list is shown all the same, as the
// single-rate text in place of the combo box, formatted when the look asks for it.
TEST_P(MainContentTest, NewRateListWithTheSameRate) {
    plug(VexaModel::CantileQe);
    for (bool formatted : {false, true}) {
        SCOPED_TRACE(formatted ? "formatted" : "plain");
        ScopedLook look(formatted ? std::map<juce::String, juce::String>{{"ComboUseFormattedSampleRates", "1"}}
                                  : std::map<juce::String, juce::String>{});
        BusSystem<NarrowingBus>* system = start<NarrowingBus>();
        ASSERT_TRUE(settled(48000, "512"));
        EXPECT_EQ(panel_->sampleRateBox().getItemText(0), formatted ? "44 100 Hz" : "44100");
        system->bus()->narrowed = true;
        panel_->sample_rate_changed();  // as the bus's thread raises it
        ASSERT_TRUE(pumpUntil([&] { return panel_->sampleRateText().isVisible(); }));
        EXPECT_EQ(panel_->pendingBits(), 0u);
        EXPECT_FALSE(panel_->sampleRateBox().isVisible());
        EXPECT_FALSE(panel_->sampleRateBox().isEnabled());
        EXPECT_EQ(panel_->sampleRateBox().getNumItems(), 1);
        EXPECT_EQ(panel_->sampleRateText().getText(), formatted ? "48 000 Hz" : "48000");
        panel_.reset();  // before this look goes
    }
}

// A setting the driver refuses shows the driver-error box and puts the combo back; the panel goes on.
TEST_P(MainContentTest, RefusedSettingIsReportedAndUndone) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(settled(48000, "512"));
    platform::fault::inject("DeviceIoControl", STATUS_UNSUCCESSFUL);
    panel_->sampleRateBox().setSelectedId(96000, juce::sendNotificationSync);
    platform::fault::clear();
    ASSERT_EQ(actions_->boxes.size(), 1u);
    EXPECT_EQ(actions_->boxes[0], "Driver error: Driver streaming parameter locked" + kDriverErrorTail);
    EXPECT_EQ(panel_->sampleRateBox().getSelectedId(), 48000);
    EXPECT_TRUE(actions_->quitsAfterBoxes.empty());
    panel_->sampleRateBox().setSelectedId(96000, juce::sendNotificationSync);
    EXPECT_TRUE(settled(96000, "1024")) << "the next choice goes through";
}

// One ASIO connection holds the rate: the rate combo is disabled while it is open, and enabled after.
TEST_P(MainContentTest, OneAsioClientDisablesTheRate) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(settled(48000, "512"));
    {
        AsioInterfaceClient host;
        ASSERT_TRUE(host.open());
        ASSERT_TRUE(host.open_session().ok());
        ASSERT_TRUE(pumpUntil([&] { return !panel_->sampleRateBox().isEnabled(); }));
        EXPECT_TRUE(panel_->bufferSizeBox().isEnabled());
    }
    EXPECT_TRUE(pumpUntil([&] { return panel_->sampleRateBox().isEnabled(); }));
}

// Unplugging the only interface: "none found", the combos empty and disabled; plugging again fills them.
TEST_P(MainContentTest, UnplugAndReplug) {
    unsigned port = plug(VexaModel::CantileQe).number;
    start();
    ASSERT_TRUE(settled(48000, "512"));
    root_.ports().unplug(port);
    ASSERT_TRUE(pumpUntil([&] { return panel_->deviceDetails().getText() == "none found" && panel_->pendingBits() == 0; }));
    EXPECT_FALSE(panel_->sampleRateBox().isEnabled());
    EXPECT_FALSE(panel_->bufferSizeBox().isEnabled());
    EXPECT_FALSE(panel_->operationModeBox().isEnabled());
    EXPECT_EQ(panel_->sampleRateBox().getNumItems(), 0);
    EXPECT_EQ(panel_->bufferSizeBox().getText(), "");
    plug(VexaModel::CantileQk);
    ASSERT_TRUE(pumpUntil([&] { return panel_->deviceDetails().getText().startsWith("Product Name : Cantile-QK"); }));
    EXPECT_TRUE(pumpUntil([&] { return panel_->sampleRateBox().isEnabled() && panel_->pendingBits() == 0; }));
}

// A device plugged while a start-up box is open reaches a whole component, which shows it.
TEST_P(MainContentTest, DeviceArrivesWhileStartupBoxIsOpen) {
    actions_->duringBox = [&](const juce::String&) {
        plug(VexaModel::CantileQe);
        pumpFor(200);  // the loop runs inside the box, as a modal box's does
    };
    start<event_bus>([](BusSystem<event_bus>& system) { system.settingsError = true; });
    EXPECT_EQ(actions_->boxes, std::vector<juce::String>{kSettingsError});
    EXPECT_TRUE(actions_->quitsAfterBoxes.empty());
    ASSERT_TRUE(settled(48000, "512"));
    EXPECT_TRUE(panel_->deviceDetails().getText().startsWith("Product Name : Cantile-QE"));
}

// Fifty notifications from a library thread before the loop runs: one dispatcher run does all.
TEST_P(MainContentTest, NotificationsCoalesce) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(settled(48000, "512"));
    const int runs = panel_->dispatcherRuns();
    std::thread library([&] {
        for (int i = 0; i < 10; ++i) {
            panel_->sample_rate_changed();
            panel_->buffer_size_changed();
            panel_->buffer_size_max_changed();
            panel_->operation_mode_changed();
            panel_->devices_changed();
        }
    });
    library.join();
    pumpFor(50);
    EXPECT_EQ(panel_->dispatcherRuns(), runs + 1);
    EXPECT_EQ(panel_->pendingBits(), 0u);
    EXPECT_EQ(panel_->sampleRateBox().getSelectedId(), 48000);
}

// Every failure to create the system: its box, then "Driver not found", then one quit after the
// last; the component is whole (children, size, disabled combos) whatever happened.
TEST_P(MainContentTest, StartupMatrix) {
    struct Row {
        const char* guards;
        cpl::SystemFactory factory;
        std::vector<juce::String> boxes;
        std::vector<size_t> quits;
    };
    const Row rows[] = {
        {"a version mismatch",
         []() -> std::unique_ptr<cpl::PanelSystem> {
             throw mrak::vexa::make_xptn<mrak::vexa::xptn_driver_version>("test", 1, "create");
         },
         {"Error: Driver version mismatch\n\nThis application requires driver version 4.3.2\n\n"
          "Please check the driver configuration.",
          kDriverNotFound},
         {2}},
        {"another library error",
         []() -> std::unique_ptr<cpl::PanelSystem> {
             throw mrak::vexa::make_xptn<mrak::vexa::xptn_resource>("test", 1, "create");
         },
         {"Driver error: System resource exhausted" + kDriverErrorTail, kDriverNotFound},
         {2}},
        {"a standard exception", []() -> std::unique_ptr<cpl::PanelSystem> { throw std::bad_alloc(); },
         {"Driver error: std::bad_alloc" + kDriverErrorTail, kDriverNotFound},
         {2}},
        {"anything else", []() -> std::unique_ptr<cpl::PanelSystem> { throw 42; },
         {"Driver error: unknown error" + kDriverErrorTail, kDriverNotFound},
         {2}},
        {"no machine", []() -> std::unique_ptr<cpl::PanelSystem> { return nullptr; }, {kDriverNotFound}, {1}},
    };
    for (const Row& row : rows) {
        actions_ = std::make_shared<RecordingActions>();
        startWith(row.factory);
        EXPECT_EQ(actions_->boxes, row.boxes) << row.guards;
        EXPECT_EQ(actions_->quitsAfterBoxes, row.quits) << row.guards;
        EXPECT_FALSE(panel_->hasSystem());
        EXPECT_EQ(panel_->getBounds(), juce::Rectangle<int>(0, 0, 380, 370)) << row.guards;
        EXPECT_FALSE(panel_->sampleRateBox().isEnabled()) << row.guards;
        EXPECT_EQ(panel_->deviceDetails().getText(), "      no info") << row.guards;
        pumpFor(5);
        panel_.reset();
    }
}

// The settings error is shown once and cleared.
TEST_P(MainContentTest, SettingsErrorShownOnce) {
    plug(VexaModel::CantileQe);
    BusSystem<event_bus>* system = start<event_bus>([](BusSystem<event_bus>& s) { s.settingsError = true; });
    EXPECT_EQ(actions_->boxes, std::vector<juce::String>{kSettingsError});
    EXPECT_FALSE(system->settingsError.load());
    EXPECT_TRUE(actions_->quitsAfterBoxes.empty());
}

// The information box: the root driver's version with a bus, "unavailable" without one.
TEST_P(MainContentTest, InformationBox) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(settled(48000, "512"));
    panel_->buttonClicked(&panel_->informationButton());
    ASSERT_EQ(actions_->boxes.size(), 1u);
    EXPECT_EQ(actions_->boxes[0], "Driver version : 4.3.2.47999\n\nPAL version : 4.3.2.47999\n\nQUV VEXA USB Platform\n\n"
                                  "Drivers and control panel for VEXA USB audio interfaces");
    actions_ = std::make_shared<RecordingActions>();
    startWith([]() -> std::unique_ptr<cpl::PanelSystem> { return nullptr; });
    panel_->buttonClicked(&panel_->informationButton());
    ASSERT_EQ(actions_->boxes.size(), 2u);
    EXPECT_TRUE(actions_->boxes[1].startsWith("Driver version : unavailable\n")) << actions_->boxes[1];
}

INSTANTIATE_TEST_SUITE_P(Roads, MainContentTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
