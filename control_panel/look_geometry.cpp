#include "look_geometry.h"

#include <cmath>

namespace cpl {

namespace {

constexpr float kDisabledThickness = 1.4f;
constexpr float kHotThickness = 2.2f;
constexpr float kNormalThickness = 1.7f;
constexpr float kConnectedIndent = 0.1f;
constexpr float kMaxButtonFontHeight = 15.0f;
constexpr float kButtonFontShare = 0.6f;
constexpr float kHalfPi = juce::MathConstants<float>::halfPi;
constexpr float kPi = juce::MathConstants<float>::pi;
constexpr float kTwoPi = juce::MathConstants<float>::twoPi;

float enabledAlpha(bool enabled) { return enabled ? 1.0f : 0.5f; }
float enabledSaturation(bool enabled) { return enabled ? 1.3f : 0.9f; }

juce::Colour lozengeSteps(juce::Colour c, bool enabled, bool focused, bool down) {
    c = c.withMultipliedAlpha(enabledAlpha(enabled)).withMultipliedSaturation(enabledSaturation(enabled));
    if (down) return c.contrasting(0.4f);
    if (focused) return c.contrasting(0.2f);
    return c;
}

}  // namespace

float buttonOutlineThickness(bool enabled, bool mouseOver, bool down) {
    if (!enabled) return kDisabledThickness;
    return (mouseOver || down) ? kHotThickness : kNormalThickness;
}

Indents buttonIndents(Edges connected, float thickness) {
    const float free = thickness / 2.0f;
    return {connected.left ? kConnectedIndent : free, connected.right ? kConnectedIndent : free,
            connected.top ? kConnectedIndent : free, connected.bottom ? kConnectedIndent : free};
}

juce::Rectangle<float> buttonLozengeArea(float buttonWidth, float buttonHeight, Indents in) {
    return {in.left, in.top, buttonWidth - in.left - in.right, buttonHeight - in.top - in.bottom};
}

juce::Colour buttonColour(juce::Colour base, bool enabled, bool mouseOver, bool down) {
    auto c = base.withMultipliedAlpha(enabledAlpha(enabled)).withMultipliedSaturation(enabledSaturation(enabled));
    if (down)
        c = c.contrasting(0.2f);
    else if (mouseOver)
        c = c.contrasting(0.1f);
    return c.withMultipliedAlpha(enabledAlpha(enabled));
}

float textButtonFontHeight(int buttonHeight) {
    return juce::jmin(kMaxButtonFontHeight, static_cast<float>(buttonHeight) * kButtonFontShare);
}

bool lozengeIsDrawn(float width, float height, float thickness) {
    return thickness < width && thickness < height;
}

float lozengeCornerSize(float cornerSize, float width, float height) {
    return cornerSize < 0 ? juce::jmin(width / 2.0f, height / 2.0f) : cornerSize;
}

juce::Path lozengeOutline(juce::Rectangle<float> area, float cs, Edges flat) {
    const float x = area.getX(), y = area.getY(), w = area.getWidth(), h = area.getHeight();
    const bool topLeft = !(flat.left || flat.top);
    const bool topRight = !(flat.right || flat.top);
    const bool bottomLeft = !(flat.left || flat.bottom);
    const bool bottomRight = !(flat.right || flat.bottom);
    const float d = cs * 2.0f;

    juce::Path p;
    p.startNewSubPath(x + (topLeft ? cs : 0.0f), y);
    p.lineTo(x + w - (topRight ? cs : 0.0f), y);
    if (topRight) p.addArc(x + w - d, y, d, d, 0.0f, kHalfPi);
    p.lineTo(x + w, y + h - (bottomRight ? cs : 0.0f));
    if (bottomRight) p.addArc(x + w - d, y + h - d, d, d, kHalfPi, kPi);
    p.lineTo(x + (bottomLeft ? cs : 0.0f), y + h);
    if (bottomLeft) p.addArc(x, y + h - d, d, d, kPi, kPi + kHalfPi);
    p.lineTo(x, y + (topLeft ? cs : 0.0f));
    if (topLeft) p.addArc(x, y, d, d, kPi + kHalfPi, kTwoPi);
    p.closeSubPath();
    return p;
}

LozengeColours lozengeColours(juce::Colour colour, bool enabled, bool focused, bool down) {
    return {lozengeSteps(colour, enabled, focused, down), lozengeSteps(colour.darker(2.0f), enabled, focused, down)};
}

juce::Path comboArrow(int buttonX, int buttonY, int buttonW, int buttonH) {
    const auto bx = static_cast<float>(buttonX), by = static_cast<float>(buttonY);
    const auto bw = static_cast<float>(buttonW), bh = static_cast<float>(buttonH);
    juce::Path p;
    p.addTriangle(bx + bw * 0.5f, by + bh * 0.6f, bx + bw * 0.7f, by + bh * 0.4f, bx + bw * 0.3f, by + bh * 0.4f);
    return p;
}

float comboArrowAlpha(bool enabled) { return enabled ? 1.0f : 0.3f; }

juce::TextLayout tooltipLayout(const juce::String& text, juce::Colour colour) {
    juce::AttributedString s;
    s.setJustification(juce::Justification::centred);
    s.setWordWrap(juce::AttributedString::byWord);
    s.append(text, juce::Font(kTooltipFontHeight), colour);

    juce::TextLayout layout;
    layout.createLayout(s, kTooltipMaxWidth, kTooltipMaxHeight);
    return layout;
}

juce::Rectangle<int> tooltipBounds(float layoutWidth, float layoutHeight, juce::Point<int> screenPos) {
    const int w = static_cast<int>(layoutWidth + 14.0f);
    const int h = static_cast<int>(layoutHeight + 6.0f);
    return {screenPos.x + 4, screenPos.y - h, w, h};
}

GroupFont groupFont(int size) {
    if (size == kGroupBaseFontSize) return {static_cast<float>(kGroupBaseFontSize), 0.0f};
    const float offset = size > kGroupBaseFontSize ? static_cast<float>(size - kGroupBaseFontSize) * 2.0f : 0.0f;
    return {static_cast<float>(size), offset};
}

GroupOutline groupOutline(int width, int height, bool hasText, float measuredTextWidth, float fontAscent,
                          GroupFont font, juce::Justification justification) {
    GroupOutline g{};
    g.x = 3.0f;
    g.y = fontAscent - 3.0f;
    g.w = juce::jmax(0.0f, static_cast<float>(width) - 6.0f);
    g.h = juce::jmax(0.0f, static_cast<float>(height) - g.y - 3.0f);
    g.cornerSize = juce::jmin(5.0f, g.w / 2.0f, g.h / 2.0f);
    const float cs = g.cornerSize;
    const float cs2 = cs * 2.0f;

    g.textWidth = hasText ? juce::jlimit(0.0f, juce::jmax(0.0f, g.w - cs2 - 8.0f), std::ceil(measuredTextWidth) + 8.0f)
                          : 0.0f;
    if (justification.testFlags(juce::Justification::horizontallyCentred))
        g.textX = cs + (g.w - cs2 - g.textWidth) / 2.0f;
    else if (justification.testFlags(juce::Justification::right))
        g.textX = g.w - cs - g.textWidth - 4.0f;
    else
        g.textX = cs + 4.0f;

    // From the right end of the title's gap round the four corners back to its left end.
    const float x = g.x, y = g.y, w = g.w, h = g.h;
    auto& p = g.path;
    p.startNewSubPath(x + g.textX + g.textWidth, y);
    p.lineTo(x + w - cs, y);
    p.addArc(x + w - cs2, y, cs2, cs2, 0.0f, kHalfPi);
    p.lineTo(x + w, y + h - cs);
    p.addArc(x + w - cs2, y + h - cs2, cs2, cs2, kHalfPi, kPi);
    p.lineTo(x + cs, y + h);
    p.addArc(x, y + h - cs2, cs2, cs2, kPi, kPi + kHalfPi);
    p.lineTo(x, y + cs);
    p.addArc(x, y, cs2, cs2, kPi + kHalfPi, kTwoPi);
    p.lineTo(x + g.textX, y);

    g.textArea = {juce::roundToInt(x + g.textX), static_cast<int>(font.textOffset), juce::roundToInt(g.textWidth),
                  juce::roundToInt(font.height)};
    return g;
}

int headerHeightLimit(std::optional<int> usableDisplayHeight, int contentHeight, int frameHeight) {
    const juce::int64 room = static_cast<juce::int64>(usableDisplayHeight.value_or(kAssumedDisplayHeight)) -
                             juce::jmax(0, contentHeight) - juce::jmax(0, frameHeight);
    return static_cast<int>(juce::jmax<juce::int64>(0, room));
}

}  // namespace cpl
