// The "Bus Settings" and "Current Device" groups of the main content
// component: filling the combo boxes from the bus, sending the user's choice,
// the device text and the information box. Message thread only.
#include <exception>
#include <limits>

#include "look_defaults.h"
#include "main_content.h"
#include "settings_text.h"
#include "source/driver/usb/win/user_common/logger.h"

// The settings groups' trace points: a file number of their own, so no id is shared with
// main_content.cpp's (1200).
#define LOG_FILE_NUMBER 1204

using mrak::vexa::lock_scope;
using mrak::vexa::reference;
using namespace cpl;

namespace {

bool formattedRates() {
    return lookDefaults != nullptr && lookDefaults->integer("ComboUseFormattedSampleRates") != 0;
}

juce::String rateText(const juce::String& digits, bool formatted) {
    return formatted ? formatSampleRate(digits) : digits;
}

}  // namespace

// Selections and clears made here never notify: only a user's choice reaches
// comboBoxChanged, so a value another client just set is never sent back.
void MainContentComponent::refreshBusSettings() {
    reference<event_bus> b = attachedBus();
    if (!b) {
        TRACE(vexa::log::kLogWarning, this);
        return;
    }
    if (!hasDevice(*b)) {
        for (juce::ComboBox* combo : {opModeCombo.get(), bufferSizeCombo.get(), sampleRateCombo.get()}) {
            combo->clear(juce::dontSendNotification);
            combo->setText({}, juce::dontSendNotification);
        }
        sampleRateTextBox->setText({}, juce::dontSendNotification);
        devDetailsLabel->setText("none found", juce::dontSendNotification);
        return;
    }

    opModeCombo->clear(juce::dontSendNotification);
    for (const auto& [mode, name] : b->operation_modes()) opModeCombo->addItem(name, static_cast<int>(mode + 1));
    opModeCombo->setSelectedId(static_cast<int>(b->operation_mode() + 1), juce::dontSendNotification);

    bufferSizeCombo->setEnabled(true);
    bufferSizeCombo->clear(juce::dontSendNotification);
    cachedMinBufferSize = b->buffer_size_min();
    cachedMaxBufferSize = b->buffer_size_max();
    for (uint32_t size : bufferSizeList(cachedMinBufferSize, cachedMaxBufferSize))
        bufferSizeCombo->addItem(juce::String(size), static_cast<int>(size));
    bufferSizeCombo->setText(juce::String(b->buffer_size()), juce::dontSendNotification);

    sampleRateCombo->clear(juce::dontSendNotification);
    const bool formatted = formattedRates();
    const mrak::vexa::bus_impl::list rates = b->sample_rates();
    for (const auto& [rate, text] : rates) {
        // A rate beyond the largest item id cannot be an item.
        if (rate >= 1 && rate <= static_cast<uint32_t>(std::numeric_limits<int>::max()))
            sampleRateCombo->addItem(rateText(juce::String(text), formatted), static_cast<int>(rate));
    }
    const uint32_t rate = b->sample_rate();
    sampleRateCombo->setSelectedId(static_cast<int>(rate), juce::dontSendNotification);
    sampleRateTextBox->setText(rateText(juce::String(rate), formatted), juce::dontSendNotification);

    if (rates.size() == 1) {
        sampleRateTextBox->setVisible(true);
        sampleRateCombo->setVisible(false);
        sampleRateCombo->setEnabled(false);
    } else {
        sampleRateTextBox->setVisible(false);
        sampleRateCombo->setVisible(true);
        // While exactly one ASIO client is open, the rate is that client's to choose.
        sampleRateCombo->setEnabled(!cachedSingleAsioClient);
    }
}

void MainContentComponent::comboBoxChanged(juce::ComboBox* box) {
    const int id = box->getSelectedId();
    if (id < 1) return;
    reference<event_bus> b = attachedBus();
    if (!b) {
        TRACE(vexa::log::kLogError, this, id);
        return;
    }
    const auto value = static_cast<uint32_t>(id);
    try {
        if (box == sampleRateCombo.get()) {
            if (b->sample_rate() != value) b->set_sample_rate(value);
        } else if (box == bufferSizeCombo.get()) {
            if (b->buffer_size() != value) b->set_buffer_size(value);
        } else if (box == opModeCombo.get()) {
            if (b->operation_mode() != value - 1) b->set_operation_mode(value - 1);
        }
    } catch (const mrak::exception::base& e) {
        TRACE(vexa::log::kLogError, this, id, e.line());
        reportRefusedSetting(box, *b, e.message());
    } catch (const std::exception& e) {
        reportRefusedSetting(box, *b, e.what());
    }
}

void MainContentComponent::reportRefusedSetting(juce::ComboBox* box, event_bus& b, const juce::String& message) {
    actions->showMessage("Driver error: " + message + "\n\nCheck the driver configuration or device connections.");
    if (box == sampleRateCombo.get()) {
        sampleRateCombo->setSelectedId(static_cast<int>(b.sample_rate()), juce::dontSendNotification);
    } else if (box == bufferSizeCombo.get()) {
        bufferSizeCombo->setText(juce::String(b.buffer_size()), juce::dontSendNotification);
    } else if (box == opModeCombo.get()) {
        opModeCombo->setSelectedId(static_cast<int>(b.operation_mode() + 1), juce::dontSendNotification);
    }
}

void MainContentComponent::showDeviceDetails(event_bus& b) {
    reference<event_device> first;
    {
        lock_scope hold;
        if (!b.empty()) first = reference<event_device>(b.front().get(), 0);
    }
    if (!first) return;
    devDetailsLabel->setText(deviceDetailsText(first->info()), juce::dontSendNotification);
}

// Without a bus the box says the driver version is unavailable.
void MainContentComponent::buttonClicked(juce::Button* button) {
    if (button != infoButton.get()) return;
    reference<event_bus> b = attachedBus();
    std::optional<uint64_t> driverVersion;
    if (b) driverVersion = b->driver_version();
    const juce::String vendor1 = lookDefaults != nullptr ? lookDefaults->text("vendorInfo1") : juce::String();
    const juce::String vendor2 = lookDefaults != nullptr ? lookDefaults->text("vendorInfo2") : juce::String();
    actions->showMessage(informationText(driverVersion, vendor1, vendor2));
}
