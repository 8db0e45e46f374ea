#include "window_state.h"

#include <cstdlib>

namespace cpl {

namespace {

// The C library's strtol: what the number reads as is part of the stored
// file's meaning, so no stricter parser replaces it.
int leadingNumber(const juce::String& text) {
    const long value = std::strtol(text.toRawUTF8(), nullptr, 10);
    const int truncated = static_cast<int>(static_cast<juce::uint32>(value));  // taken as a 32-bit integer
    return truncated < 1 ? 0 : truncated;
}

}  // namespace

juce::Point<int> savedWindowPosition(const juce::String& savedState) {
    return {leadingNumber(savedState), leadingNumber(savedState.fromFirstOccurrenceOf(" ", false, false))};
}

juce::String restoredWindowState(const juce::String& savedState, int width, int height) {
    const auto position = savedWindowPosition(savedState);
    return juce::String::formatted("%d %d %d %d", position.x, position.y, width, height);
}

}  // namespace cpl
