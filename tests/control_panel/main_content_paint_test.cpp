// The main content component's layout and painting, headless: the children's
// bounds for header heights from the file (clamped to 0 .. 370, what a 768-line
// display leaves), the header band and its text in a snapshot, the background image tiled from the top-left
// corner, and the colour fill when the image did not decode.
#include <gtest/gtest.h>

#include "panel_fixture.h"
#include "resources.h"

namespace {

using namespace cpl::test;

const juce::Colour kWindow(0xFFE0E8F0);
const juce::Colour kHeader(0xFF204080);

// A component with no system (the recorded boxes are the start-up's), under these look values.
class PaintedPanel {
public:
    explicit PaintedPanel(const std::map<juce::String, juce::String>& values)
        : look(values),
          panel([]() -> std::unique_ptr<cpl::PanelSystem> { return nullptr; }, std::make_shared<RecordingActions>()) {}

    juce::Component* child(const juce::String& name) {
        for (juce::Component* c : panel.getChildren())
            if (c->getName() == name) return c;
        ADD_FAILURE() << "no child " << name;
        return &panel;
    }
    juce::Image snapshot() { return panel.createComponentSnapshot(panel.getLocalBounds(), true, 1.0f); }

    ScopedLook look;
    MainContentComponent panel;
};

// Headless, the band is limited as on a 768-line display: 768 - 370 - 28.
constexpr int kHeaderLimit = 370;

// "HeaderHeight" as the file may hold it, and the band it gives.
struct HeaderCase {
    const char* text;
    int height;
};
const HeaderCase kHeaderCases[] = {
    {"0", 0}, {"10", 10}, {"30", 30}, {"-5", 0}, {"370", 370}, {"371", 370},
    // Huge ones: a 32768-pixel window, a crash painting, 370 + H past an int.
    {"1000000", kHeaderLimit}, {"10000000", kHeaderLimit}, {"2147483647", kHeaderLimit},
    {"-2147483648", 0}, {"99999999999", kHeaderLimit},
};

std::map<juce::String, juce::String> headerValues(const juce::String& height) {
    return {{"HeaderHeight", height},
            {"HeaderColour", "FF204080"},
            {"HeaderString", "VEXA"},
            {"WindowBackgroundColour", "FFE0E8F0"}};
}

bool near(juce::Colour a, juce::Colour b, int tolerance = 2) {
    return std::abs(a.getRed() - b.getRed()) <= tolerance && std::abs(a.getGreen() - b.getGreen()) <= tolerance &&
           std::abs(a.getBlue() - b.getBlue()) <= tolerance;
}

// Whether any pixel of the rectangle is (nearly) white.
bool anyWhite(const juce::Image& image, juce::Rectangle<int> area) {
    for (int y = area.getY(); y < area.getBottom(); ++y)
        for (int x = area.getX(); x < area.getRight(); ++x)
            if (near(image.getPixelAt(x, y), juce::Colours::white, 40)) return true;
    return false;
}

// Every child where the layout puts it, moved down by the header; the size grows with it; a
// negative height counts as 0, one past the limit as the limit.
TEST(MainContentPaintTest, LayoutForHeaderHeights) {
    for (const auto& [asked, h] : kHeaderCases) {
        PaintedPanel p(headerValues(asked));
        EXPECT_EQ(p.panel.headerHeightPixels(), h) << asked;
        EXPECT_EQ(p.panel.getBounds(), juce::Rectangle<int>(0, 0, 380, 370 + h)) << asked;
        const std::pair<const char*, juce::Rectangle<int>> expected[] = {
            {"bus config group", {25, h + 25, 330, 145}},      {"devs group", {25, h + 190, 330, 125}},
            {"sample rate label", {50, h + 65, 114, 24}},      {"buffer size label", {50, h + 97, 114, 24}},
            {"op mode label", {50, h + 129, 114, 24}},         {"sample rate combo box", {170, h + 65, 150, 22}},
            {"sample rate text box", {170, h + 65, 150, 22}},  {"buffer size combo box", {170, h + 97, 150, 22}},
            {"operation mode combo box", {170, h + 129, 150, 22}}, {"devDetailsLabel", {55, h + 230, 270, 80}},
            {"info button", {332, h + 330, 23, 24}},
        };
        for (const auto& [name, bounds] : expected) EXPECT_EQ(p.child(name)->getBounds(), bounds) << name << " " << asked;
    }
}

// The band in the header colour from height 1 on, its text in white from 25 on, the window colour below.
TEST(MainContentPaintTest, HeaderBand) {
    for (const auto& [asked, h] : kHeaderCases) {
        PaintedPanel p(headerValues(asked));
        ASSERT_EQ(p.panel.getHeight(), 370 + h) << asked;  // before painting a window of any size
        const juce::Image image = p.snapshot();
        saveSnapshot(p.panel, "header" + juce::String(asked));
        if (h > 0) {
            EXPECT_TRUE(near(image.getPixelAt(2, 1), kHeader)) << asked;
            EXPECT_TRUE(near(image.getPixelAt(377, h - 1), kHeader)) << asked;
        }
        EXPECT_TRUE(near(image.getPixelAt(2, h + 2), kWindow)) << asked << ": the window colour right below the band";
        EXPECT_TRUE(near(image.getPixelAt(10, 360 + h), kWindow)) << asked;
        EXPECT_EQ(anyWhite(image, {150, 0, 80, h}), h >= 25) << asked << ": the header text";
    }
}

// The image covers the component from its top-left corner and repeats below 428 pixels.
TEST(MainContentPaintTest, BackgroundImageIsTiled) {
    auto values = headerValues("100");
    values["UseWindowBackgroundImage"] = "1";
    PaintedPanel p(values);
    const juce::Image tile =
        juce::ImageFileFormat::loadFrom(cpl::resources::background_png, cpl::resources::background_png_size);
    ASSERT_TRUE(tile.isValid());
    EXPECT_EQ(tile.getWidth(), 432);
    EXPECT_EQ(tile.getHeight(), 428);
    const juce::Image image = p.snapshot();
    saveSnapshot(p.panel, "background");
    ASSERT_EQ(image.getHeight(), 470);
    for (int y : {101, 200, 427}) EXPECT_TRUE(near(image.getPixelAt(5, y), tile.getPixelAt(5, y))) << y;
    for (int y : {430, 460}) EXPECT_TRUE(near(image.getPixelAt(5, y), tile.getPixelAt(5, y - 428))) << y;
}

// Image bytes that did not decode leave the window colour, not an empty or black fill.
TEST(MainContentPaintTest, UndecodedImageFallsBackToColour) {
    auto values = headerValues("0");
    values["UseWindowBackgroundImage"] = "1";
    PaintedPanel p(values);
    p.panel.setBackgroundImage(juce::ImageFileFormat::loadFrom("not a png", 9));
    const juce::Image image = p.snapshot();
    EXPECT_TRUE(near(image.getPixelAt(5, 5), kWindow));
    EXPECT_TRUE(near(image.getPixelAt(5, 360), kWindow));
}

}  // namespace
