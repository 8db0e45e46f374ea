#include "mrak_look_and_feel.h"

#include <mutex>

#include "look_defaults.h"
#include "look_geometry.h"

namespace {

// Serialises the singleton's creation; constant-initialised, so it exists
// before any static constructor could ask for the instance.
std::mutex instanceLock;
MRAKLookAndFeel* instance = nullptr;  // guarded by instanceLock

struct ColourKey {
    const char* key;
    int id;
};

// Read in this order, each from the look default of the key's name.
constexpr ColourKey kColourKeys[] = {
    {"TitleBarColour", MRAKLookAndFeel::titleBarColourId},
    {"TitleBarButtonColour", MRAKLookAndFeel::titleBarButtonColourId},
    {"WindowBackgroundColour", MRAKLookAndFeel::windowBackgroundColourId},
    {"BusSettingsBackgroundColour", MRAKLookAndFeel::busSettingsBackgroundColourId},
    {"CurDeviceBackgroundColour", MRAKLookAndFeel::curDeviceBackgroundColourId},
    {"PopupTitleBarColour", MRAKLookAndFeel::popupTitleBarColourId},
    {"PopupWindowBackgroundColour", MRAKLookAndFeel::popupWindowBackgroundColourId},
    {"PopupMenuBackgroundColour", MRAKLookAndFeel::popupMenuBackgroundColourId},
    {"TextboxBackgroundColour", MRAKLookAndFeel::textboxBackgroundColourId},
    {"TextboxOutlineColour", MRAKLookAndFeel::textboxOutlineColourId},
    {"LabelOutlineColour", MRAKLookAndFeel::labelOutlineColourId},
    {"ComboBackgroundColour", MRAKLookAndFeel::comboBackgroundColourId},
    {"ComboOutlineColour", MRAKLookAndFeel::comboOutlineColourId},
    {"ComboArrowColour", MRAKLookAndFeel::comboArrowColourId},
    {"TextButtonColour", MRAKLookAndFeel::textButtonColourId},
    {"ToggleButtonColour", MRAKLookAndFeel::toggleButtonColourId},
    {"ListboxBackgroundColour", MRAKLookAndFeel::listboxBackgroundColourId},
    {"ListboxOutlineColour", MRAKLookAndFeel::listboxOutlineColourId},
    {"GroupOutlineColour", MRAKLookAndFeel::groupOutlineColourId},
    {"GroupBackgroundColour", MRAKLookAndFeel::groupBackgroundColourId},
    {"ToolTipBackgroundColour", MRAKLookAndFeel::toolTipBackgroundColourId},
    {"ToolTipOutlineColour", MRAKLookAndFeel::toolTipOutlineColourId},
    {"ToolTipTextColour", MRAKLookAndFeel::toolTipTextColourId},
    {"ProgressBarBackgroundColour", MRAKLookAndFeel::progressBarBackgroundColourId},
    {"ProgressBarForegroundColour", MRAKLookAndFeel::progressBarForegroundColourId},
};

void drawLozenge(juce::Graphics& g, juce::Rectangle<float> area, juce::Colour colour, float thickness,
                 float cornerSize, cpl::Edges flat, bool enabled, bool focused, bool down) {
    if (!cpl::lozengeIsDrawn(area.getWidth(), area.getHeight(), thickness)) return;
    const float cs = cpl::lozengeCornerSize(cornerSize, area.getWidth(), area.getHeight());
    const auto outline = cpl::lozengeOutline(area, cs, flat);
    const auto colours = cpl::lozengeColours(colour, enabled, focused, down);
    g.setColour(colours.fill);
    g.fillPath(outline);
    g.setColour(colours.outline);
    g.strokePath(outline, juce::PathStrokeType(thickness));
}

}  // namespace

MRAKLookAndFeel::MRAKLookAndFeel(LookDefaults* defaults) {
    readColourScheme(defaults);
}

MRAKLookAndFeel::~MRAKLookAndFeel() {
    const std::lock_guard lock(instanceLock);
    if (instance == this) instance = nullptr;
}

MRAKLookAndFeel* MRAKLookAndFeel::getInstance() {
    const std::lock_guard lock(instanceLock);
    if (instance == nullptr) instance = new MRAKLookAndFeel(lookDefaults);
    return instance;
}

void MRAKLookAndFeel::readColourScheme(LookDefaults* defaults) {
    for (const auto& entry : kColourKeys)
        setColour(entry.id, defaults != nullptr ? defaults->colour(entry.key) : juce::Colour());
    groupFontSize = defaults != nullptr ? defaults->integer("GroupFontSize") : 0;

    auto find = [this](int id) { return findColour(id); };
    setColour(juce::PopupMenu::backgroundColourId, find(popupMenuBackgroundColourId));
    setColour(juce::PopupMenu::highlightedTextColourId, find(popupMenuBackgroundColourId).contrasting(1.0f));
    setColour(juce::PopupMenu::highlightedBackgroundColourId, find(popupMenuBackgroundColourId).darker(0.4f));
    setColour(juce::TextEditor::backgroundColourId, find(textboxBackgroundColourId));
    setColour(juce::TextEditor::outlineColourId, find(textboxOutlineColourId));
    setColour(juce::TextEditor::focusedOutlineColourId, find(textboxOutlineColourId).darker(0.4f));
    setColour(juce::Label::outlineColourId, find(labelOutlineColourId));
    setColour(juce::ComboBox::buttonColourId, find(comboBackgroundColourId));
    setColour(juce::ComboBox::backgroundColourId, find(comboBackgroundColourId));
    setColour(juce::ComboBox::outlineColourId, find(comboOutlineColourId));
    setColour(juce::ComboBox::arrowColourId, find(comboArrowColourId));
    setColour(juce::TextButton::buttonColourId, find(textButtonColourId));
    setColour(juce::ListBox::backgroundColourId, find(listboxBackgroundColourId));
    setColour(juce::ListBox::outlineColourId, find(listboxOutlineColourId));
    setColour(juce::GroupComponent::outlineColourId, find(groupOutlineColourId));
    setColour(juce::TooltipWindow::backgroundColourId, find(toolTipBackgroundColourId));
    setColour(juce::TooltipWindow::outlineColourId, find(toolTipOutlineColourId));
    setColour(juce::TooltipWindow::textColourId, find(toolTipTextColourId));
    setColour(juce::ProgressBar::backgroundColourId, find(progressBarBackgroundColourId));
    setColour(juce::ProgressBar::foregroundColourId, find(progressBarForegroundColourId));
    setColour(juce::ScrollBar::backgroundColourId, find(juce::TextButton::buttonColourId));
    setColour(juce::ScrollBar::thumbColourId, find(juce::TextButton::buttonColourId).brighter(0.4f));
    setColour(juce::Slider::thumbColourId, find(juce::TextButton::buttonColourId));
    setColour(juce::Slider::trackColourId, find(juce::TextButton::buttonColourId).brighter(0.4f));
    setColour(juce::AlertWindow::backgroundColourId, find(popupWindowBackgroundColourId));
    setColour(juce::AlertWindow::textColourId, find(popupWindowBackgroundColourId).contrasting(1.0f));
    setColour(juce::AlertWindow::outlineColourId, find(popupWindowBackgroundColourId).contrasting(1.0f));
}

// The colour JUCE passes is ignored: the button's own "TextButtonColour" id counts.
void MRAKLookAndFeel::drawButtonBackground(juce::Graphics& g, juce::Button& button, const juce::Colour&,
                                           bool isMouseOverButton, bool isButtonDown) {
    const bool enabled = button.isEnabled();
    const float thickness = cpl::buttonOutlineThickness(enabled, isMouseOverButton, isButtonDown);
    const cpl::Edges connected{button.isConnectedOnLeft(), button.isConnectedOnRight(), button.isConnectedOnTop(),
                               button.isConnectedOnBottom()};
    const auto area = cpl::buttonLozengeArea(static_cast<float>(button.getWidth()),
                                             static_cast<float>(button.getHeight()),
                                             cpl::buttonIndents(connected, thickness));
    const auto colour = cpl::buttonColour(button.findColour(textButtonColourId), enabled, isMouseOverButton,
                                          isButtonDown);
    drawLozenge(g, area, colour, thickness, -1.0f, connected, enabled, button.hasKeyboardFocus(false),
                button.getState() == juce::Button::buttonDown);
}

juce::Font MRAKLookAndFeel::getTextButtonFont(juce::TextButton&, int buttonHeight) {
    return juce::Font(cpl::textButtonFontHeight(buttonHeight));
}

int MRAKLookAndFeel::getTextButtonWidthToFitText(juce::TextButton& button, int buttonHeight) {
    const auto font = getTextButtonFont(button, buttonHeight);
    return static_cast<int>(std::ceil(font.getStringWidthFloat(button.getButtonText()))) + buttonHeight;
}

void MRAKLookAndFeel::drawComboBox(juce::Graphics& g, int width, int height, bool, int buttonX, int buttonY,
                                   int buttonW, int buttonH, juce::ComboBox& box) {
    g.fillAll(box.findColour(juce::ComboBox::backgroundColourId));

    g.setColour(box.findColour(juce::ComboBox::outlineColourId));
    g.drawRect(juce::Rectangle<float>(0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height)), 1.0f);

    g.setColour(box.findColour(juce::ComboBox::arrowColourId).withMultipliedAlpha(cpl::comboArrowAlpha(box.isEnabled())));
    g.fillPath(cpl::comboArrow(buttonX, buttonY, buttonW, buttonH));
}

// The parent area is deliberately not applied: the tip may leave the screen.
juce::Rectangle<int> MRAKLookAndFeel::getTooltipBounds(const juce::String& tipText, juce::Point<int> screenPos,
                                                       juce::Rectangle<int>) {
    const auto layout = cpl::tooltipLayout(tipText, juce::Colours::black);
    return cpl::tooltipBounds(layout.getWidth(), layout.getHeight(), screenPos);
}

void MRAKLookAndFeel::drawTooltip(juce::Graphics& g, const juce::String& text, int width, int height) {
    const juce::Rectangle<float> area(0.0f, 0.0f, static_cast<float>(width), static_cast<float>(height));
    g.fillAll(findColour(juce::TooltipWindow::backgroundColourId));
    g.setColour(findColour(juce::TooltipWindow::outlineColourId));
    g.drawRect(area, 1.0f);
    cpl::tooltipLayout(text, findColour(juce::TooltipWindow::textColourId)).draw(g, area);
}

void MRAKLookAndFeel::drawGroupComponentOutline(juce::Graphics& g, int width, int height, const juce::String& text,
                                                const juce::Justification& position, juce::GroupComponent& group) {
    g.fillAll(findColour(groupBackgroundColourId));

    const auto size = cpl::groupFont(groupFontSize);
    const juce::Font font(size.height);
    const auto outline = cpl::groupOutline(width, height, text.isNotEmpty(), font.getStringWidthFloat(text),
                                           font.getAscent(), size, position);
    const float alpha = group.isEnabled() ? 1.0f : 0.5f;

    g.setColour(group.findColour(juce::GroupComponent::outlineColourId).withMultipliedAlpha(alpha));
    g.strokePath(outline.path, juce::PathStrokeType(2.0f));

    g.setColour(group.findColour(juce::GroupComponent::textColourId).withMultipliedAlpha(alpha));
    g.setFont(font);
    g.drawText(text, outline.textArea, juce::Justification::centred, true);
}
