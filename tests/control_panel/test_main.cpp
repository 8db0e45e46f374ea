// The panel's headless tests: JUCE initialised once for the whole run with no
// display, and every JUCE assertion that trips during a test fails that test.
#include <cstdlib>

#include <gtest/gtest.h>

#include <juce_gui_basics/juce_gui_basics.h>

namespace {

// JUCE is built to log its assertions in every build; they arrive here.
class AssertionCatcher : public juce::Logger {
protected:
    void logMessage(const juce::String& message) override {
        if (message.startsWith("JUCE Assertion failure")) ADD_FAILURE() << message;
    }
};

}  // namespace

int main(int argc, char** argv) {
    // No window system, on a desktop too. An empty or missing DISPLAY would
    // not do: JUCE then tries ":0.0", which may be another test's Xvfb.
    ::setenv("DISPLAY", "/nonexistent/vexa-panel-tests:0", 1);
    ::testing::InitGoogleTest(&argc, argv);

    const juce::ScopedJuceInitialiser_GUI juce;
    AssertionCatcher catcher;
    juce::Logger::setCurrentLogger(&catcher);
    const int result = RUN_ALL_TESTS();
    juce::Logger::setCurrentLogger(nullptr);
    return result;
}
