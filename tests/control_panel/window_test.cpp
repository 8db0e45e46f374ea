// The control panel program under Xvfb: each case starts QUVVexaUSB as its
// own process, with a home folder of its own, on a private X server with no
// window manager, and looks at its window as a user would.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "panel_process.h"
#include "xvfb_display.h"

namespace {

namespace fs = std::filesystem;
using cpl::test::PanelProcess;
using cpl::test::PanelWindow;
using cpl::test::XvfbDisplay;
using namespace std::chrono_literals;

// Sanitizer builds start JUCE slowly.
constexpr auto kTimeout = 60s;

// The content is 380 x 370; JUCE's own title bar adds 26 pixels and its frame one on each side.
constexpr int kContentWidth = 380;
constexpr int kContentHeight = 370;
constexpr int kFramedWidth = kContentWidth + 2;
constexpr int kFramedHeight = kContentHeight + 26 + 2;

// The close button is the title bar's last 23-pixel square, 5 pixels in from the right end.
constexpr int kCloseButtonFromRight = 18;
constexpr int kCloseButtonFromTop = 14;

// JUCE keeps a second instance out with one lock for the whole machine, so the
// window tests of every build tree on it take turns.
class MachineWideTurn {
public:
    MachineWideTurn() {
        const char* folder = ::access("/var/tmp", F_OK) == 0 ? "/var/tmp" : "/tmp";
        fd_ = ::open((std::string(folder) + "/vexa-panel-window-tests.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~MachineWideTurn() {
        if (fd_ >= 0) ::close(fd_);
    }
    MachineWideTurn(const MachineWideTurn&) = delete;
    MachineWideTurn& operator=(const MachineWideTurn&) = delete;

private:
    int fd_ = -1;
};

class PanelWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto xvfb = XvfbDisplay::findXvfb();
        if (xvfb.empty()) GTEST_SKIP() << "Xvfb is not installed (scripts/setup installs it)";

        turn_ = std::make_unique<MachineWideTurn>();
        std::string pattern = (fs::temp_directory_path() / "vexa-panel-home-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        display_ = std::make_unique<XvfbDisplay>(xvfb);
        ASSERT_TRUE(display_->ok()) << display_->error();

        // A panel someone runs by hand would turn every start here into a second instance.
        pid_t holder = 0;
        display_->waitUntil([&] { return (holder = cpl::test::panelInstanceLockHolder()) == 0; }, kTimeout);
        ASSERT_EQ(holder, 0) << "another QUVVexaUSB (pid " << holder << ") runs on this machine";
    }

    void TearDown() override {
        display_.reset();
        if (!home_.empty()) fs::remove_all(home_);
    }

    std::unique_ptr<PanelProcess> start(const std::string& program = VEXA_PANEL_PROGRAM) {
        auto panel = std::make_unique<PanelProcess>(program, display_->name(), home_.string(),
                                                    (home_ / ("output-" + std::to_string(++starts_) + ".txt")).string());
        EXPECT_TRUE(panel->started()) << program;
        return panel;
    }

    // The panel's window once it satisfies `want`; the last one seen otherwise.
    std::optional<PanelWindow> waitForWindow(const std::function<bool(const PanelWindow&)>& want) {
        std::optional<PanelWindow> window;
        display_->waitUntil([&] { return (window = display_->panelWindow()) && want(*window); }, kTimeout);
        return window;
    }

    // Start-up has ended once the window carries its title and its place.
    std::optional<PanelWindow> waitForWindowAt(int x, int y, int width, int height,
                                               const std::string& title = "Control Panel") {
        return waitForWindow([&](const PanelWindow& w) {
            return w.x == x && w.y == y && w.width == width && w.height == height && w.title == title;
        });
    }

    // Nudges the window while it lasts, so input already sent reaches JUCE.
    std::optional<int> waitForExit(PanelProcess& panel) {
        display_->waitUntil([&] {
            if (panel.exitStatus()) return true;
            if (const auto window = display_->panelWindow()) display_->nudge(window->id);
            return false;
        }, kTimeout);
        return panel.exitStatus();
    }

    // The user closes the window with the close button of JUCE's title bar.
    void closeWithButton(const PanelWindow& w) {
        ASSERT_TRUE(display_->click(w.x + w.width - kCloseButtonFromRight, w.y + kCloseButtonFromTop));
    }

    // Ended by itself with status 0, and no JUCE assertion on the way.
    void expectCleanExit(PanelProcess& panel) {
        const auto status = waitForExit(panel);
        ASSERT_TRUE(status.has_value()) << "the panel did not end\n" << panel.output();
        EXPECT_EQ(*status, 0) << panel.output();
        EXPECT_EQ(panel.output().find("JUCE Assertion failure"), std::string::npos) << panel.output();
    }

    fs::path settingsFile() const { return home_ / ".QUVVexaUSB" / "QUVVexaUSB.settings"; }

    std::string settingsText() const {
        std::ifstream in(settingsFile(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The value JUCE wrote as <VALUE name="mainWindowPos" val="..."/>.
    std::optional<std::string> savedPosition() const {
        const auto text = settingsText();
        const std::string prefix = "<VALUE name=\"mainWindowPos\" val=\"";
        const auto start = text.find(prefix);
        if (start == std::string::npos) return std::nullopt;
        const auto end = text.find('"', start + prefix.size());
        if (end == std::string::npos) return std::nullopt;
        return text.substr(start + prefix.size(), end - start - prefix.size());
    }

    void writeSettings(const std::string& position) const {
        fs::create_directories(settingsFile().parent_path());
        std::ofstream(settingsFile()) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<PROPERTIES>\n"
                                      << "  <VALUE name=\"mainWindowPos\" val=\"" << position << "\"/>\n</PROPERTIES>\n";
    }

    // A copy of the program in a folder of its own, with cpl.defs beside it.
    std::string programWithDefaults(const std::string& defaults) const {
        const auto folder = home_ / "program";
        fs::create_directories(folder);
        const auto program = folder / "QUVVexaUSB";
        std::error_code linkError;
        fs::remove(program);
        fs::create_hard_link(VEXA_PANEL_PROGRAM, program, linkError);
        if (linkError) fs::copy_file(VEXA_PANEL_PROGRAM, program, fs::copy_options::overwrite_existing);
        std::ofstream(folder / "cpl.defs") << defaults;
        return program.string();
    }

    std::unique_ptr<XvfbDisplay> display_;
    fs::path home_;

private:
    std::unique_ptr<MachineWideTurn> turn_;
    int starts_ = 0;
};

std::string hex(unsigned long rgb) {
    std::ostringstream s;
    s << std::hex << rgb;
    return s.str();
}

// First start with no settings file: at 0, 0 with the content's size, titled
// "Control Panel", painted with the built-in white background, and the title
// bar's close button ends the program cleanly.
TEST_F(PanelWindowTest, FirstStartOpensAtTheOriginTitledControlPanel) {
    auto panel = start();
    const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
    ASSERT_TRUE(window) << panel->output();
    EXPECT_EQ(window->x, 0);
    EXPECT_EQ(window->y, 0);
    EXPECT_EQ(window->width, kFramedWidth);
    EXPECT_EQ(window->height, kFramedHeight);
    EXPECT_EQ(window->title, "Control Panel");
    EXPECT_TRUE(display_->waitUntil([&] { return display_->pixel(190, 200) == 0xFFFFFF; }, kTimeout))
        << hex(display_->pixel(190, 200));

    closeWithButton(*window);
    expectCleanExit(*panel);
}

// Guards against a close that loses the position: the close button's road
// writes "mainWindowPos" before the window goes.
TEST_F(PanelWindowTest, ClosingWritesTheWindowPosition) {
    auto panel = start();
    const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
    ASSERT_TRUE(window) << panel->output();
    EXPECT_FALSE(fs::exists(settingsFile()));

    closeWithButton(*window);
    expectCleanExit(*panel);
    const auto saved = savedPosition();
    ASSERT_TRUE(saved) << settingsText();
    EXPECT_EQ(saved->rfind("0 0 382 398", 0), 0u) << *saved;
}

// A saved position comes back at the window's current size; a position off
// the screen's left edge comes back at 0, a lone number as x.
TEST_F(PanelWindowTest, RestoresTheSavedPositionAtTheCurrentSize) {
    const struct {
        const char* saved;
        int x, y;
    } cases[] = {{"-40 20 800 600", 0, 20}, {"150", 150, 0}, {"300 200 382 398 frame 0 0 0 0", 300, 200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.saved);
        writeSettings(c.saved);
        auto panel = start();
        const auto window = waitForWindowAt(c.x, c.y, kFramedWidth, kFramedHeight);
        ASSERT_TRUE(window) << panel->output();
        EXPECT_EQ(window->x, c.x);
        EXPECT_EQ(window->y, c.y);
        EXPECT_EQ(window->width, kFramedWidth);
        EXPECT_EQ(window->height, kFramedHeight);

        closeWithButton(*window);
        expectCleanExit(*panel);
        EXPECT_EQ(savedPosition().value_or("").rfind(std::to_string(c.x) + " " + std::to_string(c.y) + " 382 398", 0), 0u);
    }
}

// cpl.defs beside the program names the window and colours its background;
// an empty TitleString falls back to "Control Panel".
TEST_F(PanelWindowTest, TitleAndBackgroundFromTheDefaultsFile) {
    {
        auto panel = start(programWithDefaults(R"(<PROPERTIES><VALUE name="TitleString" val="VEXA Mixer"/>)"
                                               R"(<value name="windowbackgroundcolour" val="FF336699"/></PROPERTIES>)"));
        const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight, "VEXA Mixer");
        ASSERT_TRUE(window) << panel->output();
        EXPECT_EQ(window->title, "VEXA Mixer");
        EXPECT_TRUE(display_->waitUntil([&] { return display_->pixel(190, 200) == 0x336699; }, kTimeout))
            << hex(display_->pixel(190, 200));
        closeWithButton(*window);
        expectCleanExit(*panel);
    }
    {
        auto panel = start(programWithDefaults(R"(<PROPERTIES><VALUE name="TitleString" val=""/></PROPERTIES>)"));
        const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
        ASSERT_TRUE(window) << panel->output();
        EXPECT_EQ(window->title, "Control Panel");
        closeWithButton(*window);
        expectCleanExit(*panel);
    }
}

// Guards against a second start that opens a window or touches the first
// one's settings: on Linux it ends at once, and the first runs on untouched.
TEST_F(PanelWindowTest, SecondStartExitsAtOnceAndLeavesTheSettingsAlone) {
    writeSettings("-40 20 800 600");
    auto first = start();
    const auto window = waitForWindowAt(0, 20, kFramedWidth, kFramedHeight);
    ASSERT_TRUE(window) << first->output();
    const auto before = settingsText();
    const auto writtenBefore = fs::last_write_time(settingsFile());

    auto second = start();
    int mostWindows = 0;
    display_->waitUntil([&] {
        mostWindows = std::max(mostWindows, display_->countPanelWindows());
        return second->exitStatus().has_value();
    }, kTimeout);
    EXPECT_TRUE(second->exitStatus().has_value()) << "the second start still runs";
    expectCleanExit(*second);
    EXPECT_EQ(mostWindows, 1);
    EXPECT_EQ(settingsText(), before);
    EXPECT_EQ(fs::last_write_time(settingsFile()), writtenBefore);

    EXPECT_FALSE(first->exitStatus().has_value());
    const auto still = display_->panelWindow();
    ASSERT_TRUE(still);
    EXPECT_EQ(still->id, window->id);
    EXPECT_EQ(still->y, 20);

    closeWithButton(*still);
    expectCleanExit(*first);
    EXPECT_EQ(savedPosition().value_or("").rfind("0 20 382 398", 0), 0u) << settingsText();
}

// With a window manager on the display the window leaves its title bar to it:
// no JUCE frame, the content's own size, and the manager's close request
// takes the same road as the close button.
TEST_F(PanelWindowTest, WithAWindowManagerTheTitleBarIsNative) {
    display_->pretendWindowManager();
    auto panel = start();
    const auto window = waitForWindowAt(0, 0, kContentWidth, kContentHeight);
    ASSERT_TRUE(window) << panel->output();
    EXPECT_EQ(window->width, kContentWidth);
    EXPECT_EQ(window->height, kContentHeight);
    EXPECT_EQ(window->title, "Control Panel");

    display_->requestClose(window->id);
    expectCleanExit(*panel);
    EXPECT_TRUE(savedPosition()) << settingsText();
}

// Guards against a session's end losing the position: SIGTERM is a system
// quit request, and shut-down still saves.
TEST_F(PanelWindowTest, TerminationSignalQuitsAndSaves) {
    writeSettings("-40 20 800 600");
    auto panel = start();
    ASSERT_TRUE(waitForWindowAt(0, 20, kFramedWidth, kFramedHeight)) << panel->output();

    panel->signal(SIGTERM);
    expectCleanExit(*panel);
    EXPECT_EQ(savedPosition().value_or("").rfind("0 20 382 398", 0), 0u) << settingsText();
}

}  // namespace
