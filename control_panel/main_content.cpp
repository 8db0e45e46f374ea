#include "main_content.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "common/xptn.h"
#include "look_defaults.h"
#include "look_geometry.h"
#include "mrak_look_and_feel.h"
#include "resources.h"
#include "settings_text.h"
#include "source/driver/usb/win/user_common/logger.h"
#include "source/driver/usb/win/version.h"

// The component's trace points: file number 1200.
#define LOG_FILE_NUMBER 1200

using mrak::vexa::lock_scope;
using mrak::vexa::reference;

namespace cpl {

namespace {

constexpr float kLabelFontHeight = 15.0f;
constexpr int kBorder = 25;
constexpr int kGroupIndent = 50;  // the groups' width is W - kGroupIndent
constexpr int kBusGroupHeight = 145;
constexpr int kDeviceGroupTop = 190;
constexpr int kDeviceGroupHeight = 125;
constexpr int kLabelX = 50;
constexpr int kLabelWidth = 114;
constexpr int kLabelHeight = 24;
constexpr int kComboX = 170;
constexpr int kComboWidth = 150;
constexpr int kComboHeight = 22;
constexpr int kRateRowY = 65;
constexpr int kBufferRowY = 97;
constexpr int kModeRowY = 129;
constexpr int kDetailsX = 55;
constexpr int kDetailsY = 230;
constexpr int kDetailsIndent = 110;  // the details' width is W - kDetailsIndent
constexpr int kDetailsHeight = 80;
constexpr int kInfoButtonFromRight = 48;
constexpr int kInfoButtonY = 330;
constexpr int kInfoButtonWidth = 23;
constexpr int kInfoButtonHeight = 24;
// A header this tall or taller carries its text.
constexpr int kHeaderTextMinHeight = 25;

constexpr ULONG kInfo = vexa::log::kLogInfo;
constexpr ULONG kError = vexa::log::kLogError;

const char* const kNoInfoText = "      no info";

// The mismatch box names the driver version wanted: major.minor.sub-minor of the system's own.
const char* const kVersionMismatchRequires = "\n\nThis application requires driver version ";
const char* const kVersionMismatchTail = "\n\nPlease check the driver configuration.";
const char* const kDriverErrorTail = "\n\nCheck the driver configuration or device connections.";
const char* const kDriverNotFound = "Driver not found.\n\nPlease check the driver configuration.";
const char* const kNoDevicesFound = "No devices found.\n\nConnect device(s).";
const char* const kSettingsFileError =
    "Error: Could not open driver settings file.\nChanges to settings cannot be saved.\n\n"
    "Contact technical support for more information.";

juce::Label* makeLabel(const juce::String& name, const juce::String& text, juce::Justification justification) {
    auto* label = new juce::Label(name, text);
    label->setFont(juce::Font(kLabelFontHeight, juce::Font::plain));
    label->setJustificationType(justification);
    label->setEditable(false, false, false);
    label->setColour(juce::TextEditor::textColourId, juce::Colours::black);
    label->setColour(juce::TextEditor::backgroundColourId, juce::Colours::transparentBlack);
    return label;
}

juce::ComboBox* makeCombo(const juce::String& name, juce::ComboBox::Listener* listener) {
    auto* combo = new juce::ComboBox(name);
    combo->setEditableText(false);
    combo->setJustificationType(juce::Justification::centred);
    combo->setTextWhenNothingSelected({});
    combo->setTextWhenNoChoicesAvailable("(no choices)");
    combo->addListener(listener);
    return combo;
}

// The main display's height less task bars and the like; nothing without a display.
std::optional<int> usableDisplayHeight() {
    if (const auto* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay())
        return display->userArea.getHeight();
    return std::nullopt;
}

}  // namespace

void DesktopActions::showMessage(const juce::String& text) {
    juce::AlertWindow::showMessageBox(juce::MessageBoxIconType::NoIcon, kMessageBoxTitle, text);
}

void DesktopActions::requestQuit() {
    juce::JUCEApplicationBase::quit();
}

}  // namespace cpl

using namespace cpl;

// The children, the look values, the size and the disabled combo boxes come
// before anything runs a message loop (the start-up boxes do): a device that
// arrives while a box is open finds a whole component.
MainContentComponent::MainContentComponent(SystemFactory createSystem, std::shared_ptr<PanelActions> panelActions)
    : actions(std::move(panelActions)) {
    readLookValues();
    if (useWindowBackgroundImage)
        backgroundImage = juce::ImageFileFormat::loadFrom(resources::background_png, resources::background_png_size);
    createChildren();
    setSize(kMainContentWidth, kMainContentHeight + headerHeight);
    sampleRateCombo->setEnabled(false);
    bufferSizeCombo->setEnabled(false);
    opModeCombo->setEnabled(false);
    record(kPendingLook);
    startSystem(createSystem);
}

MainContentComponent::~MainContentComponent() {
    cancelPendingUpdate();
    if (theSystem != nullptr) {
        theSystem->broadcaster().removeActionListener(this);
        // Every bus is detached (which reaches detach here) and closed: no
        // library thread calls this component after it.
        theSystem->close();
    }
    {
        // A bus that left the system's list earlier may still list this component.
        lock_scope hold;
        reference<event_bus> attachedTo = bus;
        if (attachedTo) attachedTo->remove_listener(this);
    }
    sampleRateCombo->removeListener(this);
    bufferSizeCombo->removeListener(this);
    opModeCombo->removeListener(this);
    infoButton->removeListener(this);
    devsGroup.reset();
    busConfigGroup.reset();
    devDetailsLabel.reset();
    sampleRateLabel.reset();
    bufferSizeLabel.reset();
    opModeLabel.reset();
    sampleRateCombo.reset();
    bufferSizeCombo.reset();
    opModeCombo.reset();
    infoButton.reset();
    sampleRateTextBox.reset();
    theSystem.reset();
}

void MainContentComponent::readLookValues() {
    LookDefaults* defaults = lookDefaults;
    titleString = defaults != nullptr ? defaults->text("TitleString") : juce::String();
    // A band taller than the display would make a window that cannot be shown or even
    // painted (a 32768-pixel window, 1.5 GB, a crash, or 370 + H past an int).
    const int headerLimit = headerHeightLimit(usableDisplayHeight(), kMainContentHeight, kMainWindowFrameHeight);
    headerHeight = defaults != nullptr ? std::clamp(defaults->integer("HeaderHeight"), 0, headerLimit) : 0;
    const juce::String colourText = defaults != nullptr ? defaults->text("HeaderColour") : juce::String();
    headerColour = juce::Colour(static_cast<juce::uint32>(colourText.getHexValue32()));
    headerString = defaults != nullptr ? defaults->text("HeaderString") : juce::String();
    useWindowBackgroundImage = defaults != nullptr && defaults->integer("UseWindowBackgroundImage") != 0;
}

void MainContentComponent::createChildren() {
    devsGroup.reset(new juce::GroupComponent("devs group", "Current Device"));
    busConfigGroup.reset(new juce::GroupComponent("bus config group", "Bus Settings"));

    devDetailsLabel.reset(makeLabel("devDetailsLabel", kNoInfoText, juce::Justification::topLeft));
    devDetailsLabel->setColour(juce::Label::outlineColourId, juce::Colours::black);

    sampleRateLabel.reset(makeLabel("sample rate label", "Sample rate:", juce::Justification::centredRight));
    bufferSizeLabel.reset(makeLabel("buffer size label", "Buffer size:", juce::Justification::centredRight));
    opModeLabel.reset(makeLabel("op mode label", "Operation mode:", juce::Justification::centredRight));

    sampleRateCombo.reset(makeCombo("sample rate combo box", this));
    bufferSizeCombo.reset(makeCombo("buffer size combo box", this));
    bufferSizeCombo->setExplicitFocusOrder(1);
    opModeCombo.reset(makeCombo("operation mode combo box", this));
    opModeCombo->setExplicitFocusOrder(2);

    infoButton.reset(new juce::TextButton("info button"));
    infoButton->setButtonText("?");
    infoButton->addListener(this);

    sampleRateTextBox.reset(makeLabel("sample rate text box", {}, juce::Justification::centred));

    for (juce::Component* child :
         {static_cast<juce::Component*>(devsGroup.get()), static_cast<juce::Component*>(busConfigGroup.get()),
          static_cast<juce::Component*>(devDetailsLabel.get()), static_cast<juce::Component*>(sampleRateLabel.get()),
          static_cast<juce::Component*>(bufferSizeLabel.get()), static_cast<juce::Component*>(opModeLabel.get()),
          static_cast<juce::Component*>(sampleRateCombo.get()), static_cast<juce::Component*>(bufferSizeCombo.get()),
          static_cast<juce::Component*>(opModeCombo.get()), static_cast<juce::Component*>(infoButton.get()),
          static_cast<juce::Component*>(sampleRateTextBox.get())})
        addAndMakeVisible(child);
}

// The boxes are collected first and shown in turn; quit is requested once,
// after the last, so no box opens after the quit that would close it at once.
void MainContentComponent::startSystem(SystemFactory& createSystem) {
    juce::StringArray boxes;
    try {
        theSystem = createSystem();
    } catch (const mrak::vexa::xptn_driver_version& e) {
        boxes.add("Error: " + juce::String(e.message()) + kVersionMismatchRequires + ::vexa::version::kShortText +
                  kVersionMismatchTail);
    } catch (const mrak::exception::base& e) {
        boxes.add("Driver error: " + juce::String(e.message()) + kDriverErrorTail);
    } catch (const std::exception& e) {
        boxes.add("Driver error: " + juce::String(e.what()) + kDriverErrorTail);
    } catch (...) {
        boxes.add(juce::String("Driver error: unknown error") + kDriverErrorTail);
    }

    bool quitAfter = false;
    if (theSystem != nullptr) {
        theSystem->broadcaster().addActionListener(this);
        if (!theSystem->firstBus())
            boxes.add(kNoDevicesFound);
        else
            theSystem->changed();
        if (theSystem->takeSettingsError()) boxes.add(kSettingsFileError);
    } else {
        boxes.add(kDriverNotFound);
        quitAfter = true;
    }

    for (const juce::String& text : boxes) actions->showMessage(text);
    if (quitAfter) actions->requestQuit();
}

reference<event_bus> MainContentComponent::attachedBus() {
    lock_scope hold;
    return bus;
}

void MainContentComponent::record(uint32_t bits) {
    pending.fetch_or(bits, std::memory_order_acq_rel);
    triggerAsyncUpdate();
}

void MainContentComponent::attach(reference<event_bus> r) {
    TRACE(kInfo, this);
    bus_listener::attach(std::move(r));
    record(kPendingAttach);
}

void MainContentComponent::detach() {
    TRACE(kInfo, this);
    bus_listener::detach();
    record(kPendingAttach);
}

// Each records its bit; the trace carries the mask after it.
#define RECORD_HOOK(hook, bit)                     \
    void MainContentComponent::hook() {            \
        record(bit);                               \
        TRACE(kInfo, this, pendingBits());         \
    }

RECORD_HOOK(single_asio_client_changed, kPendingSingleAsioClient)
RECORD_HOOK(sample_rate_changed, kPendingSampleRate)
RECORD_HOOK(devices_changed, kPendingDevicesChanged)
RECORD_HOOK(devices_updated, kPendingDevicesUpdated)
RECORD_HOOK(operation_mode_changed, kPendingOperationMode)
RECORD_HOOK(buffer_size_changed, kPendingBufferSize)
RECORD_HOOK(buffer_size_max_changed, kPendingBufferSizeMax)
RECORD_HOOK(buffer_size_min_changed, kPendingBufferSizeMin)

#undef RECORD_HOOK

void MainContentComponent::actionListenerCallback(const juce::String& message) {
    if (message != "bus changed" || theSystem == nullptr) return;
    reference<event_bus> first = theSystem->firstBus();
    TRACE(kInfo, this, first.get());
    if (first) first->add_listener(this);
}

// Whether the bus lists a device, read under the lock.
bool MainContentComponent::hasDevice(event_bus& b) {
    lock_scope hold;
    return !b.empty();
}

// Steps in a fixed order: the attach's bits are taken by the steps after it,
// and the device list's change by the three it re-reads.
void MainContentComponent::handleAsyncUpdate() {
    ++dispatchCount;
    if (takePending(kPendingLook)) applyLook();
    reference<event_bus> b = attachedBus();
    if (!b) {
        TRACE(kError, this, pendingBits());
        return;  // the remaining bits wait for a bus
    }

    bool needRefresh = false;
    if (takePending(kPendingAttach)) expandAttach();
    const bool device = hasDevice(*b);
    if (device && takePending(kPendingDevicesUpdated)) TRACE(kInfo, this);
    if (takePending(kPendingDevicesChanged)) {
        updateDevices(*b, device);
        needRefresh = true;
    }
    if (takePending(kPendingSampleRate)) {
        updateSampleRate(*b);
        // The rate list may have changed while the rate did not: the full
        // refresh rebuilds it in every case.
        needRefresh = true;
    }
    takePending(kPendingNothing);
    // A new mode or buffer size alone changes the selection only.
    if (takePending(kPendingOperationMode) && device) updateOperationMode(*b);
    if (takePending(kPendingBufferSize) && device) updateBufferSize(*b);
    if (takePending(kPendingBufferSizeMax) && rereadBufferSizeMax(*b)) needRefresh = true;
    if (takePending(kPendingBufferSizeMin) && rereadBufferSizeMin(*b)) needRefresh = true;
    if (takePending(kPendingSingleAsioClient) && rereadSingleAsioClient(*b)) needRefresh = true;
    if (needRefresh) refreshBusSettings();
}

// Clears the bit; true when it was set.
bool MainContentComponent::takePending(uint32_t bit) {
    return (pending.fetch_and(~bit, std::memory_order_acq_rel) & bit) != 0;
}

void MainContentComponent::applyLook() {
    lookAndFeelChanged();
    refreshBusSettings();
}

void MainContentComponent::expandAttach() {
    pending.fetch_or(kPendingAfterAttach, std::memory_order_acq_rel);
    TRACE(kInfo, this, pendingBits());
}

void MainContentComponent::updateDevices(event_bus& b, bool device) {
    TRACE(kInfo, this, device);
    if (device) {
        sampleRateCombo->setEnabled(true);
        bufferSizeCombo->setEnabled(true);
        opModeCombo->setEnabled(true);
        pending.fetch_or(kPendingAfterDevices, std::memory_order_acq_rel);
        showDeviceDetails(b);
    } else {
        cachedMaxBufferSize = cachedMinBufferSize = cachedBufferSize = cachedModeId = cachedSampleRate = 0;
        sampleRateCombo->setEnabled(false);
        bufferSizeCombo->setEnabled(false);
        opModeCombo->setEnabled(false);
        devDetailsLabel->setText("none found", juce::dontSendNotification);
    }
}

void MainContentComponent::updateSampleRate(event_bus& b) {
    const uint32_t rate = b.sample_rate();
    if (rate != cachedSampleRate) {
        cachedSampleRate = rate;
        sampleRateCombo->setSelectedId(static_cast<int>(rate), juce::dontSendNotification);
    }
}

void MainContentComponent::updateOperationMode(event_bus& b) {
    const uint32_t id = b.operation_mode() + 1;
    if (id != cachedModeId) {
        cachedModeId = id;
        // Every mode the bus names (ids 1 to 5), the last "Safe Mode 2" too.
        if (opModeCombo->indexOfItemId(static_cast<int>(id)) >= 0)
            opModeCombo->setSelectedId(static_cast<int>(id), juce::dontSendNotification);
    }
}

void MainContentComponent::updateBufferSize(event_bus& b) {
    const uint32_t size = b.buffer_size();
    if (size != cachedBufferSize) {
        cachedBufferSize = size;
        bufferSizeCombo->setText(juce::String(size), juce::dontSendNotification);
    }
}

bool MainContentComponent::rereadBufferSizeMax(event_bus& b) {
    const uint32_t v = b.buffer_size_max();
    if (v == cachedMaxBufferSize) return false;
    cachedMaxBufferSize = v;
    return true;
}

bool MainContentComponent::rereadBufferSizeMin(event_bus& b) {
    const uint32_t v = b.buffer_size_min();
    if (v == cachedMinBufferSize) return false;
    cachedMinBufferSize = v;
    return true;
}

bool MainContentComponent::rereadSingleAsioClient(event_bus& b) {
    const bool single = b.single_asio_client();
    if (single == cachedSingleAsioClient) return false;
    cachedSingleAsioClient = single;
    return true;
}

void MainContentComponent::lookAndFeelChanged() {
    readLookValues();
    if (titleString.isNotEmpty() && getParentComponent() != nullptr) getParentComponent()->setName(titleString);
    if (sampleRateTextBox != nullptr) {
        sampleRateTextBox->setColour(juce::Label::outlineColourId, findColour(juce::ComboBox::outlineColourId));
        sampleRateTextBox->setColour(juce::Label::textColourId, findColour(juce::ComboBox::textColourId));
        sampleRateTextBox->setColour(juce::Label::backgroundColourId, findColour(juce::ComboBox::backgroundColourId));
        devDetailsLabel->setColour(juce::Label::outlineColourId, findColour(juce::Label::outlineColourId));
    }
    repaint();
}

void MainContentComponent::resized() {
    const int w = getWidth();
    const int h = headerHeight;
    busConfigGroup->setBounds(kBorder, h + kBorder, w - kGroupIndent, kBusGroupHeight);
    devsGroup->setBounds(kBorder, h + kDeviceGroupTop, w - kGroupIndent, kDeviceGroupHeight);
    sampleRateLabel->setBounds(kLabelX, h + kRateRowY, kLabelWidth, kLabelHeight);
    bufferSizeLabel->setBounds(kLabelX, h + kBufferRowY, kLabelWidth, kLabelHeight);
    opModeLabel->setBounds(kLabelX, h + kModeRowY, kLabelWidth, kLabelHeight);
    sampleRateCombo->setBounds(kComboX, h + kRateRowY, kComboWidth, kComboHeight);
    sampleRateTextBox->setBounds(kComboX, h + kRateRowY, kComboWidth, kComboHeight);
    bufferSizeCombo->setBounds(kComboX, h + kBufferRowY, kComboWidth, kComboHeight);
    opModeCombo->setBounds(kComboX, h + kModeRowY, kComboWidth, kComboHeight);
    devDetailsLabel->setBounds(kDetailsX, h + kDetailsY, w - kDetailsIndent, kDetailsHeight);
    infoButton->setBounds(w - kInfoButtonFromRight, h + kInfoButtonY, kInfoButtonWidth, kInfoButtonHeight);
}

void MainContentComponent::paint(juce::Graphics& g) {
    // An image that did not decode leaves the colour fill.
    if (useWindowBackgroundImage && backgroundImage.isValid()) {
        g.setTiledImageFill(backgroundImage, 0, 0, 1.0f);
    } else {
        g.setColour(findColour(MRAKLookAndFeel::windowBackgroundColourId));
    }
    g.fillAll();
    if (headerHeight > 0) {
        g.setColour(headerColour);
        g.fillRect(0, 0, getWidth(), headerHeight);
    }
    if (headerHeight >= kHeaderTextMinHeight) {
        g.setColour(juce::Colours::white);
        g.drawFittedText(headerString, juce::Rectangle<int>(0, 0, getWidth(), headerHeight),
                         juce::Justification::centred, 1, 0.0f);
    }
}
