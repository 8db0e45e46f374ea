// The program under Xvfb with an odd cpl.defs beside it, as a user may leave
// one: each start still shows a whole window, with the built-in look where the
// file cannot be read, and ends cleanly.
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "panel_window_test.h"

namespace {

using namespace cpl::test;

// The test display is 1024 x 768: the band takes what the window leaves of its height.
constexpr int kDisplayHeight = 768;
constexpr int kLargestHeader = kDisplayHeight - kFramedHeight;

// Colours of the built-in look defaults, 0xRRGGBB.
constexpr unsigned long kWhite = 0xFFFFFF;
constexpr unsigned long kComboColour = 0xCCCCCC;

std::string hex(unsigned long rgb) {
    std::ostringstream s;
    s << std::hex << rgb;
    return s.str();
}

bool near(unsigned long a, unsigned long b, int tolerance = 6) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > tolerance)
            return false;
    }
    return true;
}

std::string repeat(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) result += text;
    return result;
}

class OddDefaultsTest : public PanelWindowTest {
protected:
    // Waits until the screen's pixel is near `rgb`, nudging the window so the panel takes in its X events.
    bool waitForPixel(const PanelWindow& w, int x, int y, unsigned long rgb) {
        return display_->waitUntil([&] {
            display_->nudge(w.id);
            return near(display_->pixel(x, y), rgb);
        }, kTimeout);
    }
};

// Guards against a header band that makes the window unpaintable: 10^6 gave a
// 32768-pixel window and 1.5 GB, 10^7 a crash painting, 2147483647 an overflow
// in 370 + H. Each now gives the tallest band that leaves the whole window on
// the display, in the built-in header colour, with the controls below it.
TEST_F(OddDefaultsTest, HugeHeaderHeightKeepsTheWindowOnTheDisplay) {
    for (const char* height : {"1000000", "10000000", "2147483647"}) {
        SCOPED_TRACE(height);
        auto panel = start(programWithDefaults(std::string(R"(<PROPERTIES><VALUE name="HeaderHeight" val=")") + height +
                                               R"("/></PROPERTIES>)"));
        const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight + kLargestHeader);
        ASSERT_TRUE(window) << panel->output();
        EXPECT_EQ(window->height, kDisplayHeight);
        EXPECT_EQ(window->title, "Control Panel");

        // The content's top-left corner: inside JUCE's frame and title bar.
        const int x0 = window->x + 1;
        const int y0 = window->y + window->height - 1 - (kContentHeight + kLargestHeader);
        EXPECT_TRUE(waitForPixel(*window, x0 + 190, y0 + kLargestHeader / 2, kWhite))
            << "the band: " << hex(display_->pixel(x0 + 190, y0 + kLargestHeader / 2));
        EXPECT_TRUE(waitForPixel(*window, x0 + 200, y0 + kLargestHeader + 108, kComboColour))
            << "the buffer size combo below it: " << hex(display_->pixel(x0 + 200, y0 + kLargestHeader + 108));

        closeWithButton(*window);
        expectCleanExit(*panel);
    }
}

// Guards against a stack overflow in the XML parser at start: a file nested
// 50,000 elements deep (350 KB) gives the built-in look, not its own values.
TEST_F(OddDefaultsTest, DeeplyNestedFileGivesTheBuiltInLook) {
    const std::string values =
        R"(<VALUE name="TitleString" val="Deep"/><VALUE name="WindowBackgroundColour" val="FF336699"/>)";
    auto panel = start(programWithDefaults("<PROPERTIES>" + values + repeat("<a>", 50000) + repeat("</a>", 50000) +
                                           "</PROPERTIES>"));
    const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
    ASSERT_TRUE(window) << panel->output();
    EXPECT_EQ(window->title, "Control Panel");
    EXPECT_TRUE(waitForPixel(*window, 190, 200, kWhite)) << hex(display_->pixel(190, 200));

    closeWithButton(*window);
    expectCleanExit(*panel);
}

// Guards against a start that waits for ever on a FIFO named cpl.defs (deaf to
// SIGTERM, as the message loop never runs): the window opens with the built-in
// look, and SIGTERM ends the program cleanly.
TEST_F(OddDefaultsTest, FifoGivesTheBuiltInLook) {
    auto panel = start(programWithFifoDefaults());
    const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
    ASSERT_TRUE(window) << panel->output();
    EXPECT_EQ(window->title, "Control Panel");
    EXPECT_TRUE(waitForPixel(*window, 190, 200, kWhite)) << hex(display_->pixel(190, 200));

    panel->signal(SIGTERM);
    expectCleanExit(*panel);
}

}  // namespace
