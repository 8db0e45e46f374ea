// The look-and-feel's shapes and colour steps as pure functions, so the
// drawing code only measures text, calls these and paints.
#pragma once

#include <optional>

#include <juce_graphics/juce_graphics.h>

namespace cpl {

// ---- Text buttons

struct Edges {
    bool left = false;
    bool right = false;
    bool top = false;
    bool bottom = false;
};

struct Indents {
    float left = 0;
    float right = 0;
    float top = 0;
    float bottom = 0;
};

// Outline thickness: 1.4 disabled, 2.2 under the mouse or down, else 1.7.
float buttonOutlineThickness(bool enabled, bool mouseOver, bool down);

// 0.1 on each edge connected to a neighbour, half the thickness elsewhere.
Indents buttonIndents(Edges connected, float thickness);

// The lozenge's area inside a button of the given size.
juce::Rectangle<float> buttonLozengeArea(float buttonWidth, float buttonHeight, Indents indents);

// The button's colour before the lozenge's own steps: alpha x1 or x0.5,
// saturation x1.3 or x0.9, contrasting(0.2) when down else contrasting(0.1)
// under the mouse, alpha again.
juce::Colour buttonColour(juce::Colour textButtonColour, bool enabled, bool mouseOver, bool down);

// min(15, 0.6 x height)
float textButtonFontHeight(int buttonHeight);

// ---- Lozenge (flat, no gradient)

// Nothing is drawn when the outline is at least as thick as the shape is wide or high.
bool lozengeIsDrawn(float width, float height, float thickness);

// A negative corner size means half the shorter side.
float lozengeCornerSize(float cornerSize, float width, float height);

// A rectangle whose corners are quarter arcs of radius cornerSize, except where
// an adjoining edge is flat.
juce::Path lozengeOutline(juce::Rectangle<float> area, float cornerSize, Edges flat);

struct LozengeColours {
    juce::Colour fill;
    juce::Colour outline;
};

// Alpha x1 or x0.5, saturation x1.3 or x0.9, then contrasting(0.4) when down,
// else contrasting(0.2) with the keyboard focus; the outline starts from darker(2.0).
LozengeColours lozengeColours(juce::Colour colour, bool enabled, bool focused, bool down);

// ---- Combo box

// The arrow: a closed triangle pointing down inside the button area.
juce::Path comboArrow(int buttonX, int buttonY, int buttonW, int buttonH);

// 1.0 for an enabled box, 0.3 for a disabled one.
float comboArrowAlpha(bool enabled);

// ---- Tooltips

inline constexpr float kTooltipFontHeight = 14.0f;
inline constexpr float kTooltipMaxWidth = 1000.0f;
inline constexpr float kTooltipMaxHeight = 10000000.0f;

// The tip's text, centred and word-wrapped in a plain 14-pixel font.
juce::TextLayout tooltipLayout(const juce::String& text, juce::Colour colour);

// Above and right of the pointer: left edge 4 right of it, bottom edge at its y,
// 14 wider and 6 higher than the text; kept nowhere in particular on screen.
juce::Rectangle<int> tooltipBounds(float layoutWidth, float layoutHeight, juce::Point<int> screenPos);

// ---- Group outline

inline constexpr int kGroupBaseFontSize = 15;

struct GroupFont {
    float height;
    float textOffset;  // how far the text box moves down
};

// "GroupFontSize" s: height s; the text box moves down (s - 15) x 2 for s above 15.
GroupFont groupFont(int groupFontSize);

struct GroupOutline {
    float x, y, w, h;   // the outline's rectangle
    float cornerSize;
    float textX;        // from x
    float textWidth;    // the gap left in the top edge
    juce::Path path;
    juce::Rectangle<int> textArea;
};

// measuredTextWidth is the title's width in the group font; hasText false for
// an empty title, which leaves no gap.
GroupOutline groupOutline(int width, int height, bool hasText, float measuredTextWidth, float fontAscent,
                          GroupFont font, juce::Justification justification);

// ---- The main content's header band

// Without a display (headless) the band is limited as on a 1024 x 768 one.
inline constexpr int kAssumedDisplayHeight = 768;

// The tallest band that keeps the whole window (contentHeight without the
// band, the band, and frameHeight of title bar and border) within the
// display's usable height; 0 when even the rest does not fit. The window's
// height stays within an int for every display height.
int headerHeightLimit(std::optional<int> usableDisplayHeight, int contentHeight, int frameHeight);

}  // namespace cpl
