// The control panel's application object and its main window: the program's
// start-up and shut-down order, the user settings and the window's position.
#pragma once

#include <memory>

#include <juce_data_structures/juce_data_structures.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include "panel_trace.h"

namespace cpl {
class QuitSignals;
}

// The process-wide user settings: created by start-up, deleted by shut-down.
extern juce::ApplicationProperties* appProperties;

class cplApplication : public juce::JUCEApplication {
public:
    cplApplication();
    ~cplApplication() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    bool moreThanOneInstanceAllowed() override;
    void initialise(const juce::String& commandLine) override;
    void shutdown() override;
    void anotherInstanceStarted(const juce::String& commandLine) override;
    void systemRequestedQuit() override;

    class MainWindow : public juce::DocumentWindow {
    public:
        explicit MainWindow(const juce::String& name);
        ~MainWindow() override;

        void closeButtonPressed() override;

    private:
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MainWindow)
    };

private:
    std::unique_ptr<MainWindow> mainWindow;
    std::unique_ptr<cpl::QuitSignals> quitSignals;
    cpl::trace::LoggerReference logger;  // taken by start-up, dropped by a quit request

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(cplApplication)
};

// JUCE's application factory.
juce::JUCEApplicationBase* createApplication();

namespace cpl {

inline constexpr const char* kProgramName = "QUVVexaUSB";
inline constexpr const char* kWindowPositionKey = "mainWindowPos";
inline constexpr const char* kDefaultTitle = "Control Panel";

// Where the user settings live and how they are written.
juce::PropertiesFile::Options userSettingsOptions();

}  // namespace cpl
