// The main content component while other threads change what it shows (run
// under ThreadSanitizer too): another client changing rate and buffer size
// through the PAL interface while the panel pumps, and the root device
// removed while the user's choice is being sent.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bus_system.h"
#include "panel_fixture.h"

namespace {

using namespace vexa::test;
using namespace cpl::test;
using platform::device::VexaModel;

class MainContentRaceTest : public RootLibraryTest {
protected:
    ~MainContentRaceTest() override {
        panel_.reset();
        pumpFor(1);
    }
    void start() {
        panel_ = std::make_unique<MainContentComponent>(
            []() -> std::unique_ptr<cpl::PanelSystem> { return std::make_unique<BusSystem<event_bus>>(); }, actions_);
    }

    ScopedLook look_;
    std::shared_ptr<RecordingActions> actions_ = std::make_shared<RecordingActions>();
    std::unique_ptr<MainContentComponent> panel_;
};

// Another client sets rates and sizes as fast as the driver takes them while the panel pumps: no
// race, no lost bit; at the end the panel shows the bus's last values.
TEST_P(MainContentRaceTest, SettingsChangeWhilePanelPumps) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(pumpUntil([&] { return panel_->bufferSizeBox().getText() == "512"; }));
    mrak::vexa::reference<event_bus> other(new event_bus, 0);
    other->create(nullptr, pal_path());
    other->open();
    std::atomic<bool> done{false};
    std::thread client([&] {
        const uint32_t rates[] = {96000, 44100, 48000, 192000};
        for (int i = 0; i < 12; ++i) {
            other->set_sample_rate(rates[i % 4]);
            other->set_buffer_size(i % 2 == 0 ? 256 : 512);
        }
        done = true;
    });
    while (!done) pumpFor(1);
    client.join();
    other->close();
    // 192000 last, with 512 frames.
    EXPECT_TRUE(pumpUntil([&] {
        return panel_->pendingBits() == 0 && panel_->sampleRateBox().getSelectedId() == 192000 &&
               panel_->bufferSizeBox().getText() == "512";
    }));
    EXPECT_TRUE(actions_->boxes.empty());
}

// The root device goes and comes back while the user keeps choosing rates: each choice either
// reaches the driver or shows the driver-error box; nothing crashes and the panel keeps running.
TEST_P(MainContentRaceTest, RootRemovedWhileChoiceIsSent) {
    plug(VexaModel::CantileQe);
    start();
    ASSERT_TRUE(pumpUntil([&] { return panel_->bufferSizeBox().getText() == "512"; }));
    std::atomic<bool> done{false};
    std::thread remover([&] {
        root_.restart_root();
        done = true;
    });
    for (int i = 0; !done || i < 4; ++i) {
        panel_->sampleRateBox().setSelectedId(i % 2 == 0 ? 96000 : 48000, juce::sendNotificationSync);
        pumpFor(1);
    }
    remover.join();
    for (const juce::String& box : actions_->boxes) EXPECT_TRUE(box.startsWith("Driver error: ")) << box;
    EXPECT_TRUE(actions_->quitsAfterBoxes.empty());
    pumpFor(20);
    panel_->buttonClicked(&panel_->informationButton());
    EXPECT_TRUE(actions_->boxes.back().startsWith("Driver version : ")) << "the panel still answers";
}

INSTANTIATE_TEST_SUITE_P(Roads, MainContentRaceTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
