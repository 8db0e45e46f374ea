#include "cpl_application.h"

#include "look_defaults.h"
#include "main_content.h"
#include "mrak_look_and_feel.h"
#include "quit_signals.h"
#include "source/driver/usb/win/version.h"
#include "the_system.h"
#include "window_manager.h"
#include "window_state.h"

juce::ApplicationProperties* appProperties = nullptr;

namespace cpl {

juce::PropertiesFile::Options userSettingsOptions() {
    juce::PropertiesFile::Options options;
    options.applicationName = kProgramName;
    options.filenameSuffix = "settings";
    options.folderName = {};
    options.osxLibrarySubFolder = "Preferences";
    options.commonToAllUsers = false;
    options.ignoreCaseOfKeyNames = false;
    options.doNotSave = false;
    options.millisecondsBeforeSaving = 1000;
    options.storageFormat = juce::PropertiesFile::storeAsXML;
    options.processLock = nullptr;
    return options;
}

}  // namespace cpl

juce::JUCEApplicationBase* createApplication() {
    return new cplApplication();
}

cplApplication::cplApplication() = default;

cplApplication::~cplApplication() = default;

const juce::String cplApplication::getApplicationName() {
    return juce::String(cpl::kProgramName) + " Control Panel";
}

const juce::String cplApplication::getApplicationVersion() {
    return ::vexa::version::kText;
}

// A second start ends without initialising. On Windows it first hands its
// command line to the running instance; JUCE cannot do that on Linux, so there
// the second process just ends.
bool cplApplication::moreThanOneInstanceAllowed() {
    return false;
}

// Message thread. The order matters: the look defaults and the look-and-feel
// exist before the window's first component does.
void cplApplication::initialise(const juce::String&) {
    // First, so a quit request during start-up waits for the message loop
    // instead of ending the process.
    quitSignals = std::make_unique<cpl::QuitSignals>([this] { systemRequestedQuit(); });

    logger.open();  // without a logger tracing stays off and start-up goes on
    cpl::trace::info(cpl::trace::kIdStartUp, cpl::trace::kProgramPackedVersion);

    appProperties = new juce::ApplicationProperties();
    appProperties->setStorageParameters(cpl::userSettingsOptions());  // the files open on first use

    lookDefaults = new LookDefaults();
    lookDefaults->setNames("cpl", "defs");
    cpl::writeBuiltinLookDefaults(lookDefaults->builtins());  // loads the file first

    juce::LookAndFeel::setDefaultLookAndFeel(MRAKLookAndFeel::getInstance());

    mainWindow = std::make_unique<MainWindow>(getApplicationName());

    const auto savedState = appProperties->getUserSettings()->getValue(cpl::kWindowPositionKey, {});

    auto title = lookDefaults->text("TitleString");
    if (title.isEmpty()) title = cpl::kDefaultTitle;
    mainWindow->setName(title);

    mainWindow->restoreWindowStateFromString(
        cpl::restoredWindowState(savedState, mainWindow->getWidth(), mainWindow->getHeight()));
}

// Message thread, after the message loop ended.
void cplApplication::shutdown() {
    if (isInitialising()) return;  // a second instance that never started
    quitSignals.reset();

    cpl::trace::info(cpl::trace::kIdShutDown);

    if (mainWindow != nullptr)
        appProperties->getUserSettings()->setValue(cpl::kWindowPositionKey, mainWindow->getWindowStateAsString());
    mainWindow.reset();

    lookDefaults->releaseBuiltins();
    appProperties->closeFiles();  // saves what is pending

    delete lookDefaults;
    lookDefaults = nullptr;
    delete appProperties;
    appProperties = nullptr;
}

// Never called on Linux (JUCE passes no request between instances there), and
// may come before the window exists or after it is gone.
void cplApplication::anotherInstanceStarted(const juce::String&) {
    if (mainWindow != nullptr) mainWindow->toFront(true);
}

// The only road that closes the logger: shut-down's own trace then finds it off.
void cplApplication::systemRequestedQuit() {
    cpl::trace::info(cpl::trace::kIdQuitRequested);
    logger.close();
    juce::JUCEApplicationBase::quit();
}

cplApplication::MainWindow::MainWindow(const juce::String& name)
    : juce::DocumentWindow(name, juce::Colours::white, juce::DocumentWindow::closeButton, true) {
    // With a window manager the title bar is the desktop's own; a bare X
    // server has none, so the window draws JUCE's.
    setUsingNativeTitleBar(cpl::windowManagerRunning());
    // The content creates the system and may show its start-up boxes before the window is visible.
    setContentOwned(new MainContentComponent(cpl::createLibrarySystem, std::make_shared<cpl::DesktopActions>()), true);
    setVisible(true);
}

cplApplication::MainWindow::~MainWindow() = default;

void cplApplication::MainWindow::closeButtonPressed() {
    juce::JUCEApplication::getInstance()->systemRequestedQuit();
}
