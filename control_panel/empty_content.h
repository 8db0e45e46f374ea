// The main window's content until the main content component exists: an
// empty area of that component's size in the window's background colour.
#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

#include "mrak_look_and_feel.h"

namespace cpl {

inline constexpr int kContentWidth = 380;
inline constexpr int kContentHeight = 370;

class EmptyContent : public juce::Component {
public:
    EmptyContent() { setSize(kContentWidth, kContentHeight); }

    // The look-and-feel's "WindowBackgroundColour".
    void paint(juce::Graphics& g) override { g.fillAll(findColour(MRAKLookAndFeel::windowBackgroundColourId)); }

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(EmptyContent)
};

}  // namespace cpl
