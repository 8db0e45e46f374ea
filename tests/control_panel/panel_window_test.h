// The fixture of the panel's window tests: each case starts QUVVexaUSB as its
// own process, with a home folder of its own, on a private X server with no
// window manager, beside a vexa-machine of its own (no interface plugged
// unless the case asks), and looks at its window as a user would. No JUCE
// here: the program is run.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "machine_program.h"
#include "panel_process.h"
#include "xvfb_display.h"

namespace cpl::test {

namespace fs = std::filesystem;

// Sanitizer builds start JUCE slowly.
constexpr auto kTimeout = std::chrono::seconds(60);

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
        // Without a machine the panel has no driver to show and ends after saying so.
        startMachine({"none"});

        // A panel someone runs by hand would turn every start here into a second instance.
        pid_t holder = 0;
        display_->waitUntil([&] { return (holder = cpl::test::panelInstanceLockHolder()) == 0; }, kTimeout);
        ASSERT_EQ(holder, 0) << "another QUVVexaUSB (pid " << holder << ") runs on this machine";
    }

    void TearDown() override {
        machine_.reset();
        display_.reset();
        if (!home_.empty()) fs::remove_all(home_);
    }

    // The case's machine with these interfaces plugged (a machine already running goes first).
    void startMachine(const std::vector<std::string>& devices) {
        machine_.reset();
        machine_ = std::make_unique<MachineProgram>(VEXA_MACHINE_BIN, home_.string(), devices);
        ASSERT_TRUE(machine_->started());
        ASSERT_TRUE(display_->waitUntil([&] { return machine_->ready(); }, kTimeout)) << machine_->output();
        machineSocket_ = machine_->socket();
    }

    // No machine: the panel finds none behind its socket.
    void withoutMachine() {
        machine_.reset();
        machineSocket_ = (home_ / "no-machine.sock").string();
    }

    std::unique_ptr<PanelProcess> start(const std::string& program = VEXA_PANEL_PROGRAM) {
        auto panel = std::make_unique<PanelProcess>(program, display_->name(), home_.string(), machineSocket_,
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

    // The one message box at start (the main window is not shown yet): the user presses its
    // button, which is centred with its bottom at 95 % of the box's height, 28 pixels high.
    void pressMessageBoxButton(PanelProcess& panel) {
        std::optional<PanelWindow> box;
        ASSERT_TRUE(display_->waitUntil([&] { return (box = display_->panelWindow()).has_value(); }, kTimeout))
            << panel.output();
        EXPECT_NE(box->height, kFramedHeight) << "a message box, not the main window";
        ASSERT_TRUE(display_->click(box->x + box->width / 2, box->y + box->height * 95 / 100 - 14));
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
        const auto program = programCopy();
        std::ofstream(program.parent_path() / "cpl.defs") << defaults;
        return program.string();
    }

    // A copy of the program with a FIFO named cpl.defs beside it, which nothing writes to.
    std::string programWithFifoDefaults() const {
        const auto program = programCopy();
        const auto defaults = program.parent_path() / "cpl.defs";
        fs::remove(defaults);
        EXPECT_EQ(::mkfifo(defaults.c_str(), 0600), 0) << defaults;
        return program.string();
    }

    std::unique_ptr<XvfbDisplay> display_;
    fs::path home_;
    std::unique_ptr<MachineProgram> machine_;
    std::string machineSocket_;  // the panel's VEXA_MACHINE_SOCKET

private:
    fs::path programCopy() const {
        const auto folder = home_ / "program";
        fs::create_directories(folder);
        const auto program = folder / "QUVVexaUSB";
        std::error_code linkError;
        fs::remove(program);
        fs::create_hard_link(VEXA_PANEL_PROGRAM, program, linkError);
        if (linkError) fs::copy_file(VEXA_PANEL_PROGRAM, program, fs::copy_options::overwrite_existing);
        return program;
    }

    std::unique_ptr<MachineWideTurn> turn_;
    int starts_ = 0;
};

}  // namespace cpl::test
