#include <latch>
#include <map>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "empty_content.h"
#include "look_defaults.h"
#include "look_defaults_file.h"
#include "look_geometry.h"
#include "mrak_look_and_feel.h"

namespace {

using Laf = MRAKLookAndFeel;

using Defaults = cpl::test::LookDefaultsFile;

void expectColourNear(juce::Colour actual, juce::Colour expected, int tolerance, const char* what) {
    EXPECT_NEAR(actual.getRed(), expected.getRed(), tolerance) << what;
    EXPECT_NEAR(actual.getGreen(), expected.getGreen(), tolerance) << what;
    EXPECT_NEAR(actual.getBlue(), expected.getBlue(), tolerance) << what;
    EXPECT_NEAR(actual.getAlpha(), expected.getAlpha(), tolerance) << what;
}

// An opaque white parent, so a snapshot shows what a component paints over it.
class WhiteBackdrop : public juce::Component {
public:
    void paint(juce::Graphics& g) override { g.fillAll(juce::Colours::white); }
};

juce::Image snapshot(juce::Component& c) {
    return c.createComponentSnapshot(c.getLocalBounds(), true, 1.0f);
}

const char* const kColourKeys[] = {
    "TitleBarColour",          "TitleBarButtonColour",        "WindowBackgroundColour",
    "PopupTitleBarColour",     "PopupWindowBackgroundColour", "PopupMenuBackgroundColour",
    "TextboxBackgroundColour", "TextboxOutlineColour",        "LabelOutlineColour",
    "ComboBackgroundColour",   "ComboOutlineColour",          "ComboArrowColour",
    "TextButtonColour",        "ToggleButtonColour",          "ListboxBackgroundColour",
    "ListboxOutlineColour",    "GroupOutlineColour",          "GroupBackgroundColour",
    "ToolTipBackgroundColour", "ToolTipOutlineColour",        "ToolTipTextColour",
    "ProgressBarBackgroundColour", "ProgressBarForegroundColour", "BusSettingsBackgroundColour",
    "CurDeviceBackgroundColour",
};

// Every custom id holds its key's colour from the file, and every JUCE id is
// derived from the right one. Guards against a swapped id or a missed derivation.
TEST(MRAKLookAndFeelTest, EveryColourIdDerivesFromTheGivenSet) {
    std::map<juce::String, juce::String> values;
    std::map<juce::String, juce::Colour> colours;
    juce::uint32 argb = 0xFF102030;
    for (const char* key : kColourKeys) {
        colours[key] = juce::Colour(argb);
        values[key] = juce::String::toHexString(static_cast<int>(argb)).toUpperCase();
        argb += 0x00050709;
    }
    Defaults defaults(values);
    Laf laf(defaults.get());
    auto c = [&](const char* key) { return colours.at(key); };

    const std::pair<const char*, int> custom[] = {
        {"TitleBarColour", Laf::titleBarColourId},
        {"TitleBarButtonColour", Laf::titleBarButtonColourId},
        {"WindowBackgroundColour", Laf::windowBackgroundColourId},
        {"BusSettingsBackgroundColour", Laf::busSettingsBackgroundColourId},
        {"CurDeviceBackgroundColour", Laf::curDeviceBackgroundColourId},
        {"PopupTitleBarColour", Laf::popupTitleBarColourId},
        {"PopupWindowBackgroundColour", Laf::popupWindowBackgroundColourId},
        {"PopupMenuBackgroundColour", Laf::popupMenuBackgroundColourId},
        {"TextboxBackgroundColour", Laf::textboxBackgroundColourId},
        {"TextboxOutlineColour", Laf::textboxOutlineColourId},
        {"LabelOutlineColour", Laf::labelOutlineColourId},
        {"ComboBackgroundColour", Laf::comboBackgroundColourId},
        {"ComboOutlineColour", Laf::comboOutlineColourId},
        {"ComboArrowColour", Laf::comboArrowColourId},
        {"TextButtonColour", Laf::textButtonColourId},
        {"ToggleButtonColour", Laf::toggleButtonColourId},
        {"ListboxBackgroundColour", Laf::listboxBackgroundColourId},
        {"ListboxOutlineColour", Laf::listboxOutlineColourId},
        {"GroupOutlineColour", Laf::groupOutlineColourId},
        {"GroupBackgroundColour", Laf::groupBackgroundColourId},
        {"ToolTipBackgroundColour", Laf::toolTipBackgroundColourId},
        {"ToolTipOutlineColour", Laf::toolTipOutlineColourId},
        {"ToolTipTextColour", Laf::toolTipTextColourId},
        {"ProgressBarBackgroundColour", Laf::progressBarBackgroundColourId},
        {"ProgressBarForegroundColour", Laf::progressBarForegroundColourId},
    };
    for (const auto& [key, id] : custom) EXPECT_EQ(laf.findColour(id), c(key)) << key;
    EXPECT_EQ(Laf::textButtonColourId, 0x3FF0080);

    const auto menu = c("PopupMenuBackgroundColour");
    const auto textbox = c("TextboxOutlineColour");
    const auto button = c("TextButtonColour");
    const auto popup = c("PopupWindowBackgroundColour");
    const std::pair<int, juce::Colour> derived[] = {
        {juce::PopupMenu::backgroundColourId, menu},
        {juce::PopupMenu::highlightedTextColourId, menu.contrasting(1.0f)},
        {juce::PopupMenu::highlightedBackgroundColourId, menu.darker(0.4f)},
        {juce::TextEditor::backgroundColourId, c("TextboxBackgroundColour")},
        {juce::TextEditor::outlineColourId, textbox},
        {juce::TextEditor::focusedOutlineColourId, textbox.darker(0.4f)},
        {juce::Label::outlineColourId, c("LabelOutlineColour")},
        {juce::ComboBox::buttonColourId, c("ComboBackgroundColour")},
        {juce::ComboBox::backgroundColourId, c("ComboBackgroundColour")},
        {juce::ComboBox::outlineColourId, c("ComboOutlineColour")},
        {juce::ComboBox::arrowColourId, c("ComboArrowColour")},
        {juce::TextButton::buttonColourId, button},
        {juce::ListBox::backgroundColourId, c("ListboxBackgroundColour")},
        {juce::ListBox::outlineColourId, c("ListboxOutlineColour")},
        {juce::GroupComponent::outlineColourId, c("GroupOutlineColour")},
        {juce::TooltipWindow::backgroundColourId, c("ToolTipBackgroundColour")},
        {juce::TooltipWindow::outlineColourId, c("ToolTipOutlineColour")},
        {juce::TooltipWindow::textColourId, c("ToolTipTextColour")},
        {juce::ProgressBar::backgroundColourId, c("ProgressBarBackgroundColour")},
        {juce::ProgressBar::foregroundColourId, c("ProgressBarForegroundColour")},
        {juce::ScrollBar::backgroundColourId, button},
        {juce::ScrollBar::thumbColourId, button.brighter(0.4f)},
        {juce::Slider::thumbColourId, button},
        {juce::Slider::trackColourId, button.brighter(0.4f)},
        {juce::AlertWindow::backgroundColourId, popup},
        {juce::AlertWindow::textColourId, popup.contrasting(1.0f)},
        {juce::AlertWindow::outlineColourId, popup.contrasting(1.0f)},
    };
    for (const auto& [id, colour] : derived) EXPECT_EQ(laf.findColour(id), colour) << std::hex << id;
}

// "TextButtonColour" reaches text buttons, scroll bars and sliders, with the brighter variants.
TEST(MRAKLookAndFeelTest, TextButtonColourReachesButtonsScrollBarsAndSliders) {
    const juce::Colour colour(0xFF336699);
    Defaults defaults({{"TextButtonColour", "FF336699"}});
    Laf laf(defaults.get());
    juce::TextButton button("OK");
    juce::ScrollBar scrollBar(true);
    juce::Slider slider;
    for (juce::Component* c : std::initializer_list<juce::Component*>{&button, &scrollBar, &slider})
        c->setLookAndFeel(&laf);

    EXPECT_EQ(button.findColour(juce::TextButton::buttonColourId), colour);
    EXPECT_EQ(button.findColour(Laf::textButtonColourId), colour);
    EXPECT_EQ(scrollBar.findColour(juce::ScrollBar::backgroundColourId), colour);
    EXPECT_EQ(scrollBar.findColour(juce::ScrollBar::thumbColourId), colour.brighter(0.4f));
    EXPECT_EQ(slider.findColour(juce::Slider::thumbColourId), colour);
    EXPECT_EQ(slider.findColour(juce::Slider::trackColourId), colour.brighter(0.4f));
}

// Guards against the two background keys sharing one id: each keeps its own
// value, and the window's background does not take either.
TEST(MRAKLookAndFeelTest, BackgroundKeysWithoutBuiltinsKeepIdsOfTheirOwn) {
    Defaults defaults({{"BusSettingsBackgroundColour", "FF010203"},
                       {"CurDeviceBackgroundColour", "FF040506"},
                       {"WindowBackgroundColour", "FF336699"}});
    Laf laf(defaults.get());
    EXPECT_EQ(laf.findColour(Laf::busSettingsBackgroundColourId), juce::Colour(0xFF010203));
    EXPECT_EQ(laf.findColour(Laf::curDeviceBackgroundColourId), juce::Colour(0xFF040506));

    cpl::EmptyContent content;
    content.setLookAndFeel(&laf);
    const auto image = snapshot(content);
    EXPECT_EQ(image.getWidth(), cpl::kContentWidth);
    EXPECT_EQ(image.getHeight(), cpl::kContentHeight);
    for (auto p : {juce::Point<int>(0, 0), juce::Point<int>(190, 185), juce::Point<int>(379, 369)})
        EXPECT_EQ(image.getPixelAt(p.x, p.y), juce::Colour(0xFF336699));
    content.setLookAndFeel(nullptr);
}

// Without look defaults every colour is transparent black and nothing crashes.
TEST(MRAKLookAndFeelTest, NoDefaultsReadsTransparentColours) {
    Laf laf(nullptr);
    EXPECT_EQ(laf.findColour(Laf::windowBackgroundColourId), juce::Colour());
    EXPECT_EQ(laf.findColour(juce::TextButton::buttonColourId), juce::Colour());
}

// The combo box's fill, outline and arrow, the arrow at alpha x0.3 when disabled.
TEST(MRAKLookAndFeelTest, PaintsComboBoxArrowAndDimsItWhenDisabled) {
    Defaults defaults({{"ComboArrowColour", "FFFF0000"},
                       {"ComboBackgroundColour", "FFCCCCCC"},
                       {"ComboOutlineColour", "FF0000FF"}});
    Laf laf(defaults.get());
    juce::ComboBox box;
    box.setLookAndFeel(&laf);
    box.setSize(120, 24);

    // The button area runs from the text label's right edge to the box's.
    const juce::Component* label = box.getChildComponent(0);
    ASSERT_NE(label, nullptr);
    const auto arrow = cpl::comboArrow(label->getRight(), 0, box.getWidth() - label->getRight(), box.getHeight());
    const auto inside = arrow.getBounds().getCentre().roundToInt();
    ASSERT_TRUE(arrow.contains(inside.toFloat()));

    for (bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "enabled" : "disabled");
        box.setEnabled(enabled);
        const auto image = snapshot(box);
        const auto expected = juce::Colour(0xFFCCCCCC).overlaidWith(juce::Colour(0xFFFF0000).withMultipliedAlpha(enabled ? 1.0f : 0.3f));
        expectColourNear(image.getPixelAt(inside.x, inside.y), expected, 3, "arrow");
        expectColourNear(image.getPixelAt(0, 12), juce::Colour(0xFF0000FF), 3, "outline");
        expectColourNear(image.getPixelAt(label->getRight() + 2, 3), juce::Colour(0xFFCCCCCC), 3, "fill");
    }
    box.setLookAndFeel(nullptr);
}

// A disabled text button: its fill carries alpha x0.5 from each of the three
// steps and the lowered saturation, over what lies beneath.
TEST(MRAKLookAndFeelTest, PaintsADisabledButtonFaintly) {
    const juce::Colour base(0xFF3366CC);
    Defaults defaults({{"TextButtonColour", "FF3366CC"}});
    Laf laf(defaults.get());
    WhiteBackdrop backdrop;
    juce::TextButton button("OK");
    backdrop.setLookAndFeel(&laf);
    backdrop.setSize(80, 30);
    backdrop.addAndMakeVisible(button);
    button.setBounds(0, 0, 80, 30);

    // Left of the text, inside the outline: the fill alone.
    const juce::Point<int> fillPixel(12, 15);
    button.setEnabled(true);
    const auto enabledFill = snapshot(backdrop).getPixelAt(fillPixel.x, fillPixel.y);
    expectColourNear(enabledFill, base.withMultipliedSaturation(1.3f).withMultipliedSaturation(1.3f), 3, "enabled");

    button.setEnabled(false);
    const auto faint = base.withMultipliedSaturation(0.9f).withMultipliedSaturation(0.9f).withAlpha(0.125f);
    expectColourNear(snapshot(backdrop).getPixelAt(fillPixel.x, fillPixel.y), juce::Colours::white.overlaidWith(faint), 3,
                     "disabled");
    backdrop.removeChildComponent(&button);
    backdrop.setLookAndFeel(nullptr);
}

// The text button's font and the width that fits its text.
TEST(MRAKLookAndFeelTest, TextButtonFontAndFittingWidth) {
    Laf laf(nullptr);
    juce::TextButton button("Buffer size");
    EXPECT_FLOAT_EQ(laf.getTextButtonFont(button, 20).getHeight(), 12.0f);
    EXPECT_FLOAT_EQ(laf.getTextButtonFont(button, 40).getHeight(), 15.0f);
    const juce::Font font(12.0f);
    EXPECT_EQ(laf.getTextButtonWidthToFitText(button, 20),
              static_cast<int>(std::ceil(font.getStringWidthFloat("Buffer size"))) + 20);
}

// A tip at the screen's top-left corner still sits above and right of the
// pointer: the parent area is not applied.
TEST(MRAKLookAndFeelTest, TooltipBoundsIgnoreTheScreen) {
    Laf laf(nullptr);
    const juce::Rectangle<int> screen(0, 0, 1024, 768);
    const auto bounds = laf.getTooltipBounds("Sample rate", {0, 5}, screen);
    EXPECT_EQ(bounds.getX(), 4);
    EXPECT_EQ(bounds.getBottom(), 5);
    const auto layout = cpl::tooltipLayout("Sample rate", juce::Colours::black);
    EXPECT_EQ(bounds.getWidth(), static_cast<int>(layout.getWidth() + 14.0f));
    EXPECT_EQ(bounds.getHeight(), static_cast<int>(layout.getHeight() + 6.0f));
}

// The tooltip is filled and outlined in the tooltip colours, the text in its own.
TEST(MRAKLookAndFeelTest, PaintsTooltip) {
    Defaults defaults({{"ToolTipBackgroundColour", "FFCECECE"}, {"ToolTipOutlineColour", "FF0000FF"}});
    Laf laf(defaults.get());
    juce::Image image(juce::Image::ARGB, 120, 24, true);
    juce::Graphics g(image);
    laf.drawTooltip(g, "Tip", 120, 24);
    expectColourNear(image.getPixelAt(0, 12), juce::Colour(0xFF0000FF), 3, "outline");
    expectColourNear(image.getPixelAt(5, 12), juce::Colour(0xFFCECECE), 3, "fill");
}

// The topmost row holding a text pixel (dark, not the blue outline) in the title's box, or -1.
int topmostTextRow(const juce::Image& image, juce::Rectangle<int> columns) {
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = columns.getX(); x < columns.getRight(); ++x) {
            const auto p = image.getPixelAt(x, y);
            if (p.getBrightness() < 0.5f && p.getBlue() < 128) return y;
        }
    return -1;
}

// The group's outline and title: GroupFontSize 20 drops the title 10 pixels,
// 15 and 12 do not; a disabled group's outline is drawn at half alpha.
TEST(MRAKLookAndFeelTest, PaintsGroupOutlineAndTitle) {
    for (int size : {15, 20, 12}) {
        SCOPED_TRACE(size);
        Defaults defaults({{"GroupFontSize", juce::String(size)},
                           {"GroupOutlineColour", "FF0000FF"},
                           {"GroupBackgroundColour", "FFFFFFFF"}});
        Laf laf(defaults.get());
        juce::GroupComponent group("group", "Bus Settings");
        group.setLookAndFeel(&laf);
        group.setColour(juce::GroupComponent::textColourId, juce::Colours::black);
        group.setSize(200, 100);

        const auto image = snapshot(group);
        expectColourNear(image.getPixelAt(3, 60), juce::Colour(0xFF0000FF), 3, "left edge");
        expectColourNear(image.getPixelAt(100, 60), juce::Colours::white, 0, "inside");

        const juce::Font font(static_cast<float>(size));
        const auto outline = cpl::groupOutline(200, 100, true, font.getStringWidthFloat("Bus Settings"),
                                               font.getAscent(), cpl::groupFont(size), juce::Justification::left);
        const int top = topmostTextRow(image, outline.textArea);
        ASSERT_GE(top, 0);
        if (size == 20)
            EXPECT_GE(top, 10);
        else
            EXPECT_LT(top, 10);

        group.setEnabled(false);
        expectColourNear(snapshot(group).getPixelAt(3, 60), juce::Colours::white.overlaidWith(juce::Colour(0x800000FF)), 3,
                         "disabled edge");
        group.setLookAndFeel(nullptr);
    }
}

// Guards against two instances when two threads ask first at the same time.
TEST(MRAKLookAndFeelSingletonTest, OneInstanceFromTwoThreads) {
    Defaults defaults({{"TitleBarColour", "FF112233"}});
    lookDefaults = defaults.get();

    std::latch start(2);
    Laf* seen[2] = {};
    std::thread a([&] { start.arrive_and_wait(); seen[0] = Laf::getInstance(); });
    std::thread b([&] { start.arrive_and_wait(); seen[1] = Laf::getInstance(); });
    a.join();
    b.join();
    lookDefaults = nullptr;

    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(Laf::getInstance(), seen[0]);
    EXPECT_EQ(seen[0]->findColour(Laf::titleBarColourId), juce::Colour(0xFF112233));
}

}  // namespace
