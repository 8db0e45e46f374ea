// Test equipment for the main content component: look defaults and the
// panel's look-and-feel installed for a test, message boxes and quits
// recorded instead of shown, the JUCE loop pumped until a condition holds,
// and a machine with the root driver's test image, the real USB function
// driver and simulated interfaces.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "look_defaults.h"
#include "look_defaults_file.h"
#include "main_content.h"
#include "mrak_look_and_feel.h"
#include "support/library_fixture.h"

namespace cpl::test {

// cpl.defs with these values over the built-ins, as the process-wide look
// defaults, and the panel's look-and-feel as the default one, for a scope.
class ScopedLook {
public:
    explicit ScopedLook(const std::map<juce::String, juce::String>& values = {}) : defaults(values) {
        lookDefaults = defaults.get();
        laf = std::make_unique<MRAKLookAndFeel>(defaults.get());
        juce::LookAndFeel::setDefaultLookAndFeel(laf.get());
    }
    ~ScopedLook() {
        juce::LookAndFeel::setDefaultLookAndFeel(nullptr);
        lookDefaults = nullptr;
    }
    ScopedLook(const ScopedLook&) = delete;
    ScopedLook& operator=(const ScopedLook&) = delete;

private:
    LookDefaultsFile defaults;
    std::unique_ptr<MRAKLookAndFeel> laf;
};

// Records each box and quit in order; a box may run the test's code while it is "open".
class RecordingActions : public PanelActions {
public:
    void showMessage(const juce::String& text) override {
        boxes.push_back(text);
        if (duringBox) duringBox(text);
    }
    void requestQuit() override { quitsAfterBoxes.push_back(boxes.size()); }

    std::vector<juce::String> boxes;
    std::vector<size_t> quitsAfterBoxes;  // how many boxes had been shown at each quit request
    std::function<void(const juce::String&)> duringBox;
};

// Runs the JUCE loop in short slices until `condition` holds; false after 20 s.
template <typename Condition>
bool pumpUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        juce::MessageManager::getInstance()->runDispatchLoopUntil(2);
    }
    return true;
}

// Runs the JUCE loop for `ms` of wall time (so pending callbacks do run).
inline void pumpFor(int ms) { juce::MessageManager::getInstance()->runDispatchLoopUntil(ms); }

// With VEXA_PANEL_SNAPSHOTS naming a folder, saves the component's snapshot there as NAME.png
// (for a person to look at; nothing is checked).
inline void saveSnapshot(juce::Component& c, const juce::String& name) {
    const juce::String folder = juce::SystemStats::getEnvironmentVariable("VEXA_PANEL_SNAPSHOTS", {});
    if (folder.isEmpty()) return;
    const juce::File file = juce::File(folder).getChildFile(name + ".png");
    file.deleteFile();
    juce::FileOutputStream out(file);
    juce::PNGImageFormat().writeImageToStream(c.createComponentSnapshot(c.getLocalBounds(), true, 1.0f), out);
}

inline juce::StringArray itemTexts(juce::ComboBox& box) {
    juce::StringArray texts;
    for (int i = 0; i < box.getNumItems(); ++i) texts.add(box.getItemText(i));
    return texts;
}

inline std::vector<int> itemIds(juce::ComboBox& box) {
    std::vector<int> ids;
    for (int i = 0; i < box.getNumItems(); ++i) ids.push_back(box.getItemId(i));
    return ids;
}

}  // namespace cpl::test
