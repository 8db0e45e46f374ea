// The control panel program under Xvfb: each case starts QUVVexaUSB as its
// own process, with a home folder of its own, on a private X server with no
// window manager, and looks at its window as a user would.
#include <csignal>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "panel_window_test.h"

namespace {

using namespace cpl::test;

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
