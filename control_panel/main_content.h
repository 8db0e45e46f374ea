// The main window's content: the library's system and the first bus's
// settings and device. Library threads only set bits of `pending` and trigger
// the asynchronous update; every piece of GUI work and every call into the
// library happens on the message thread, with the bus and its devices held
// through references taken under the library lock.
#pragma once

#include <atomic>
#include <memory>

#include <juce_gui_basics/juce_gui_basics.h>

#include "event_bus.h"
#include "panel_seams.h"

namespace cpl {

// Work bits of `pending`.
enum PendingBits : uint32_t {
    kPendingLook = 0x1,
    kPendingAttach = 0x2,
    kPendingDevicesUpdated = 0x4,
    kPendingDevicesChanged = 0x8,
    kPendingSampleRate = 0x20,
    kPendingNothing = 0x40,
    kPendingOperationMode = 0x80,
    kPendingBufferSizeMax = 0x100,
    kPendingBufferSizeMin = 0x200,
    kPendingBufferSize = 0x400,
    kPendingSingleAsioClient = 0x800,
    // What an attach or detach makes the dispatcher re-read (kPendingNothing
    // among them, though it carries no work).
    kPendingAfterAttach = kPendingDevicesChanged | kPendingSampleRate | kPendingNothing | kPendingOperationMode |
                          kPendingBufferSizeMax | kPendingBufferSizeMin | kPendingBufferSize | kPendingSingleAsioClient,
    // What a device list with a device in it makes the dispatcher show again.
    kPendingAfterDevices = kPendingSampleRate | kPendingOperationMode | kPendingBufferSize,
};

inline constexpr int kMainContentWidth = 380;
inline constexpr int kMainContentHeight = 370;  // without the header band
// What the main window adds around its content on a display without a window
// manager: JUCE's title bar (26) and a border above and below (1 each). A
// window manager's frame is about as tall.
inline constexpr int kMainWindowFrameHeight = 28;

}  // namespace cpl

class MainContentComponent : public juce::Component,
                             public juce::ActionListener,
                             public juce::AsyncUpdater,
                             public bus_listener,
                             public juce::ComboBox::Listener,
                             public juce::Button::Listener {
public:
    // Builds everything, then creates the system and shows the start-up boxes in turn.
    MainContentComponent(cpl::SystemFactory createSystem, std::shared_ptr<cpl::PanelActions> actions);
    ~MainContentComponent() override;

    // bus_listener: any thread; each only records the work.
    void attach(mrak::vexa::reference<event_bus> r) override;
    void detach() override;
    void single_asio_client_changed() override;
    void sample_rate_changed() override;
    void devices_changed() override;
    void devices_updated() override;
    void operation_mode_changed() override;
    void buffer_size_changed() override;
    void buffer_size_max_changed() override;
    void buffer_size_min_changed() override;

    void actionListenerCallback(const juce::String& message) override;
    void handleAsyncUpdate() override;
    void lookAndFeelChanged() override;
    void resized() override;
    void paint(juce::Graphics& g) override;
    void comboBoxChanged(juce::ComboBox* box) override;
    void buttonClicked(juce::Button* button) override;

    // Rebuilds the three combo boxes and the rate text from the bus (message thread).
    void refreshBusSettings();

    // For tests: the children and the look values.
    juce::ComboBox& sampleRateBox() { return *sampleRateCombo; }
    juce::ComboBox& bufferSizeBox() { return *bufferSizeCombo; }
    juce::ComboBox& operationModeBox() { return *opModeCombo; }
    juce::Label& sampleRateText() { return *sampleRateTextBox; }
    juce::Label& deviceDetails() { return *devDetailsLabel; }
    juce::Button& informationButton() { return *infoButton; }
    int headerHeightPixels() const { return headerHeight; }
    bool hasSystem() const { return theSystem != nullptr; }
    uint32_t pendingBits() const { return pending.load(std::memory_order_acquire); }
    int dispatcherRuns() const { return dispatchCount; }
    // Replaces the decoded background image (an invalid one stands for bytes that did not decode).
    void setBackgroundImage(juce::Image image) { backgroundImage = std::move(image); }
    // The attached bus, held under the library lock; empty when none.
    mrak::vexa::reference<event_bus> attachedBus();

private:
    void record(uint32_t bits);
    void readLookValues();
    void createChildren();
    void startSystem(cpl::SystemFactory& createSystem);
    void showDeviceDetails(event_bus& b);
    // The update dispatcher's work, one kind of pending bit each, on the
    // message thread; the bus is the attached one.
    bool takePending(uint32_t bit);
    void applyLook();                                 // kPendingLook
    void expandAttach();                              // kPendingAttach
    void updateDevices(event_bus& b, bool device);    // kPendingDevicesChanged
    void updateSampleRate(event_bus& b);              // kPendingSampleRate
    void updateOperationMode(event_bus& b);           // kPendingOperationMode, with a device
    void updateBufferSize(event_bus& b);              // kPendingBufferSize, with a device
    // The bus's limits and its ASIO client count: true when the value changed.
    bool rereadBufferSizeMax(event_bus& b);           // kPendingBufferSizeMax
    bool rereadBufferSizeMin(event_bus& b);           // kPendingBufferSizeMin
    bool rereadSingleAsioClient(event_bus& b);        // kPendingSingleAsioClient
    static bool hasDevice(event_bus& b);
    // After a setter the driver refused: the box, then the combo back on the bus's value.
    void reportRefusedSetting(juce::ComboBox* box, event_bus& b, const juce::String& message);

    std::shared_ptr<cpl::PanelActions> actions;
    std::unique_ptr<cpl::PanelSystem> theSystem;
    // Set by library threads, cleared by the message thread: every change is
    // one atomic read-modify-write, so no bit is lost (acq_rel).
    std::atomic<uint32_t> pending{0};
    int dispatchCount = 0;  // message thread: runs of handleAsyncUpdate
    uint32_t cachedMaxBufferSize = 0;
    uint32_t cachedMinBufferSize = 0;
    uint32_t cachedBufferSize = 0;
    uint32_t cachedModeId = 0;
    uint32_t cachedSampleRate = 0;
    bool cachedSingleAsioClient = false;
    juce::String titleString;
    int headerHeight = 0;  // pixels: 0 .. what leaves the whole window on the display
    juce::Colour headerColour;
    juce::String headerString;
    bool useWindowBackgroundImage = false;
    juce::Image backgroundImage;

    std::unique_ptr<juce::GroupComponent> devsGroup;
    std::unique_ptr<juce::GroupComponent> busConfigGroup;
    std::unique_ptr<juce::Label> devDetailsLabel;
    std::unique_ptr<juce::Label> sampleRateLabel;
    std::unique_ptr<juce::Label> bufferSizeLabel;
    std::unique_ptr<juce::Label> opModeLabel;
    std::unique_ptr<juce::ComboBox> sampleRateCombo;
    std::unique_ptr<juce::ComboBox> bufferSizeCombo;
    std::unique_ptr<juce::ComboBox> opModeCombo;
    std::unique_ptr<juce::TextButton> infoButton;
    std::unique_ptr<juce::Label> sampleRateTextBox;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MainContentComponent)
};
