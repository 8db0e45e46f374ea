// The main window's saved position: "mainWindowPos" in the user settings
// holds JUCE's window state string; only its x and y are used again.
#pragma once

#include <juce_graphics/juce_graphics.h>

namespace cpl {

// x is the decimal number the string starts with (leading blanks and a sign
// allowed, 0 when there is none), y the number after its first blank; each
// value below 1 becomes 0. A saved size or frame is ignored.
juce::Point<int> savedWindowPosition(const juce::String& savedState);

// The state string that puts a window of the given size at the saved position.
juce::String restoredWindowState(const juce::String& savedState, int width, int height);

}  // namespace cpl
