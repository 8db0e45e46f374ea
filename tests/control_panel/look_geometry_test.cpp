#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "look_geometry.h"

namespace {

using juce::Point;

struct Ends {
    Point<float> first;
    Point<float> last;
    bool closed = false;
    int subPaths = 0;
};

Ends endsOf(const juce::Path& path) {
    Ends ends;
    juce::Path::Iterator it(path);
    while (it.next()) {
        switch (it.elementType) {
            case juce::Path::Iterator::startNewSubPath:
                ++ends.subPaths;
                ends.first = ends.last = {it.x1, it.y1};
                break;
            case juce::Path::Iterator::lineTo: ends.last = {it.x1, it.y1}; break;
            case juce::Path::Iterator::quadraticTo: ends.last = {it.x2, it.y2}; break;
            case juce::Path::Iterator::cubicTo: ends.last = {it.x3, it.y3}; break;
            case juce::Path::Iterator::closePath: ends.closed = true; break;
        }
    }
    return ends;
}

void expectNear(Point<float> actual, Point<float> expected, const char* what) {
    EXPECT_NEAR(actual.x, expected.x, 1e-3f) << what;
    EXPECT_NEAR(actual.y, expected.y, 1e-3f) << what;
}

// The group title's font: 15 as it is, larger sizes push the text box down twice the difference, smaller ones not.
TEST(GroupOutlineTest, FontSizeSetsHeightAndOffset) {
    EXPECT_FLOAT_EQ(cpl::groupFont(15).height, 15.0f);
    EXPECT_FLOAT_EQ(cpl::groupFont(15).textOffset, 0.0f);
    EXPECT_FLOAT_EQ(cpl::groupFont(20).height, 20.0f);
    EXPECT_FLOAT_EQ(cpl::groupFont(20).textOffset, 10.0f);
    EXPECT_FLOAT_EQ(cpl::groupFont(12).height, 12.0f);
    EXPECT_FLOAT_EQ(cpl::groupFont(12).textOffset, 0.0f);
}

// The outline's rectangle, the gap left for the title and the title's box, for
// each font size with empty, long, centred and right-aligned titles. Guards
// against a gap wider than the edge, a title box off its gap, or a wrong drop.
TEST(GroupOutlineTest, PathAndTextRectangleForEachSizeAndPlacement) {
    struct Case {
        const char* what;
        int size;
        float ascent;
        bool hasText;
        float measured;
        juce::Justification justification;
        float textX, textWidth;  // expected, from the outline's x
        juce::Rectangle<int> textArea;
    };
    // A 200 x 100 group: x 3, w 194, corner 5; the gap's widest is 194 - 10 - 8 = 176.
    const Case cases[] = {
        {"15, empty", 15, 14.0f, false, 0.0f, juce::Justification::left, 9.0f, 0.0f, {12, 0, 0, 15}},
        {"15, left", 15, 14.0f, true, 40.3f, juce::Justification::left, 9.0f, 49.0f, {12, 0, 49, 15}},
        {"15, long", 15, 14.0f, true, 500.0f, juce::Justification::left, 9.0f, 176.0f, {12, 0, 176, 15}},
        {"15, centred", 15, 14.0f, true, 40.3f, juce::Justification::centred, 72.5f, 49.0f, {76, 0, 49, 15}},
        {"15, right", 15, 14.0f, true, 40.3f, juce::Justification::right, 136.0f, 49.0f, {139, 0, 49, 15}},
        {"20, empty", 20, 18.5f, false, 0.0f, juce::Justification::left, 9.0f, 0.0f, {12, 10, 0, 20}},
        {"20, long centred", 20, 18.5f, true, 900.0f, juce::Justification::centredTop, 9.0f, 176.0f, {12, 10, 176, 20}},
        {"20, right", 20, 18.5f, true, 60.0f, juce::Justification::topRight, 117.0f, 68.0f, {120, 10, 68, 20}},
        {"12, left", 12, 11.0f, true, 30.0f, juce::Justification::left, 9.0f, 38.0f, {12, 0, 38, 12}},
        {"12, centred", 12, 11.0f, true, 30.0f, juce::Justification::centred, 78.0f, 38.0f, {81, 0, 38, 12}},
        {"12, right long", 12, 11.0f, true, 1000.0f, juce::Justification::right, 9.0f, 176.0f, {12, 0, 176, 12}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto font = cpl::groupFont(c.size);
        const auto g = cpl::groupOutline(200, 100, c.hasText, c.measured, c.ascent, font, c.justification);
        EXPECT_FLOAT_EQ(g.x, 3.0f);
        EXPECT_FLOAT_EQ(g.y, c.ascent - 3.0f);
        EXPECT_FLOAT_EQ(g.w, 194.0f);
        EXPECT_FLOAT_EQ(g.h, 100.0f - g.y - 3.0f);
        EXPECT_FLOAT_EQ(g.cornerSize, 5.0f);
        EXPECT_FLOAT_EQ(g.textX, c.textX);
        EXPECT_FLOAT_EQ(g.textWidth, c.textWidth);
        EXPECT_EQ(g.textArea, c.textArea);

        // The path runs from the gap's right end round the box to its left end, open.
        const auto ends = endsOf(g.path);
        EXPECT_EQ(ends.subPaths, 1);
        EXPECT_FALSE(ends.closed);
        expectNear(ends.first, {g.x + g.textX + g.textWidth, g.y}, "start");
        expectNear(ends.last, {g.x + g.textX, g.y}, "end");
        const auto bounds = g.path.getBounds();
        EXPECT_NEAR(bounds.getX(), 3.0f, 1e-3f);
        EXPECT_NEAR(bounds.getY(), g.y, 1e-3f);
        EXPECT_NEAR(bounds.getRight(), 197.0f, 1e-3f);
        EXPECT_NEAR(bounds.getBottom(), g.y + g.h, 1e-3f);
    }
}

// Guards against negative sizes or a gap wider than the box when the group is tiny.
TEST(GroupOutlineTest, TinyGroupClampsToNothing) {
    const auto g = cpl::groupOutline(4, 2, true, 50.0f, 14.0f, cpl::groupFont(15), juce::Justification::centred);
    EXPECT_FLOAT_EQ(g.w, 0.0f);
    EXPECT_FLOAT_EQ(g.h, 0.0f);
    EXPECT_FLOAT_EQ(g.cornerSize, 0.0f);
    EXPECT_FLOAT_EQ(g.textWidth, 0.0f);
    EXPECT_GE(g.textArea.getWidth(), 0);
}

// Thickness and indents for every state and connected edge.
TEST(ButtonLozengeTest, ThicknessAndIndentsPerStateAndEdge) {
    EXPECT_FLOAT_EQ(cpl::buttonOutlineThickness(true, false, false), 1.7f);
    EXPECT_FLOAT_EQ(cpl::buttonOutlineThickness(true, true, false), 2.2f);
    EXPECT_FLOAT_EQ(cpl::buttonOutlineThickness(true, false, true), 2.2f);
    EXPECT_FLOAT_EQ(cpl::buttonOutlineThickness(true, true, true), 2.2f);
    for (bool over : {false, true})
        for (bool down : {false, true}) EXPECT_FLOAT_EQ(cpl::buttonOutlineThickness(false, over, down), 1.4f);

    for (int mask = 0; mask < 16; ++mask) {
        const cpl::Edges edges{(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0, (mask & 8) != 0};
        const auto in = cpl::buttonIndents(edges, 2.2f);
        EXPECT_FLOAT_EQ(in.left, edges.left ? 0.1f : 1.1f) << mask;
        EXPECT_FLOAT_EQ(in.right, edges.right ? 0.1f : 1.1f) << mask;
        EXPECT_FLOAT_EQ(in.top, edges.top ? 0.1f : 1.1f) << mask;
        EXPECT_FLOAT_EQ(in.bottom, edges.bottom ? 0.1f : 1.1f) << mask;
        const auto area = cpl::buttonLozengeArea(80.0f, 30.0f, in);
        EXPECT_FLOAT_EQ(area.getX(), in.left);
        EXPECT_FLOAT_EQ(area.getY(), in.top);
        EXPECT_FLOAT_EQ(area.getRight(), 80.0f - in.right);
        EXPECT_FLOAT_EQ(area.getBottom(), 30.0f - in.bottom);
    }
}

// Each corner is rounded unless an edge next to it is flat, for all sixteen combinations.
TEST(ButtonLozengeTest, CornersRoundedUnlessAnAdjoiningEdgeIsFlat) {
    const juce::Rectangle<float> area(10.0f, 20.0f, 80.0f, 30.0f);
    const float cs = cpl::lozengeCornerSize(-1.0f, area.getWidth(), area.getHeight());
    EXPECT_FLOAT_EQ(cs, 15.0f);
    EXPECT_FLOAT_EQ(cpl::lozengeCornerSize(4.0f, 80.0f, 30.0f), 4.0f);

    for (int mask = 0; mask < 16; ++mask) {
        const cpl::Edges flat{(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0, (mask & 8) != 0};
        const auto path = cpl::lozengeOutline(area, cs, flat);
        SCOPED_TRACE(mask);
        // A point one pixel inside each corner is in the shape only where the corner is square.
        EXPECT_EQ(path.contains(11.0f, 21.0f), flat.left || flat.top) << "top-left";
        EXPECT_EQ(path.contains(89.0f, 21.0f), flat.right || flat.top) << "top-right";
        EXPECT_EQ(path.contains(11.0f, 49.0f), flat.left || flat.bottom) << "bottom-left";
        EXPECT_EQ(path.contains(89.0f, 49.0f), flat.right || flat.bottom) << "bottom-right";
        EXPECT_TRUE(path.contains(50.0f, 35.0f));
        const auto bounds = path.getBounds();
        EXPECT_NEAR(bounds.getX(), 10.0f, 1e-3f);
        EXPECT_NEAR(bounds.getY(), 20.0f, 1e-3f);
        EXPECT_NEAR(bounds.getRight(), 90.0f, 1e-3f);
        EXPECT_NEAR(bounds.getBottom(), 50.0f, 1e-3f);
        EXPECT_TRUE(endsOf(path).closed);
    }
}

// Guards against drawing an outline thicker than the shape: nothing is drawn from there on.
TEST(ButtonLozengeTest, NothingDrawnWhenTheOutlineFillsTheShape) {
    EXPECT_TRUE(cpl::lozengeIsDrawn(20.0f, 10.0f, 1.7f));
    EXPECT_FALSE(cpl::lozengeIsDrawn(1.7f, 10.0f, 1.7f));
    EXPECT_FALSE(cpl::lozengeIsDrawn(20.0f, 1.4f, 1.4f));
    EXPECT_FALSE(cpl::lozengeIsDrawn(1.0f, 1.0f, 2.2f));
    EXPECT_TRUE(cpl::lozengeIsDrawn(1.5f, 1.5f, 1.4f));
}

// The alpha of a disabled button is halved at each of its three steps; the
// saturation rises for an enabled one and falls for a disabled one.
TEST(ButtonLozengeTest, ColoursPerState) {
    const juce::Colour base(0xFF3366CC);
    const auto disabled = cpl::lozengeColours(cpl::buttonColour(base, false, false, false), false, false, false);
    EXPECT_NEAR(disabled.fill.getFloatAlpha(), 0.125f, 0.005f);
    EXPECT_NEAR(disabled.outline.getFloatAlpha(), 0.125f, 0.005f);
    EXPECT_LT(disabled.fill.getSaturation(), base.getSaturation());

    const auto normal = cpl::lozengeColours(cpl::buttonColour(base, true, false, false), true, false, false);
    EXPECT_EQ(normal.fill.getAlpha(), 0xFF);
    EXPECT_GT(normal.fill.getSaturation(), base.getSaturation());
    EXPECT_LT(normal.outline.getBrightness(), normal.fill.getBrightness());

    // Over, focused and down each move the fill further from the normal one.
    const auto over = cpl::lozengeColours(cpl::buttonColour(base, true, true, false), true, false, false);
    const auto focused = cpl::lozengeColours(cpl::buttonColour(base, true, false, false), true, true, false);
    const auto down = cpl::lozengeColours(cpl::buttonColour(base, true, false, true), true, false, true);
    EXPECT_NE(over.fill, normal.fill);
    EXPECT_NE(focused.fill, normal.fill);
    EXPECT_NE(down.fill, over.fill);
    EXPECT_NE(down.fill, focused.fill);
}

// The text button font: 0.6 of the height, never above 15.
TEST(ButtonLozengeTest, TextFontHeight) {
    EXPECT_FLOAT_EQ(cpl::textButtonFontHeight(10), 6.0f);
    EXPECT_FLOAT_EQ(cpl::textButtonFontHeight(25), 15.0f);
    EXPECT_FLOAT_EQ(cpl::textButtonFontHeight(40), 15.0f);
}

// The arrow's corners sit at fixed fractions of the button area.
TEST(ComboArrowTest, TrianglePointsDown) {
    const auto arrow = cpl::comboArrow(100, 0, 20, 24);
    const auto bounds = arrow.getBounds();
    EXPECT_FLOAT_EQ(bounds.getX(), 106.0f);
    EXPECT_FLOAT_EQ(bounds.getRight(), 114.0f);
    EXPECT_FLOAT_EQ(bounds.getY(), 24.0f * 0.4f);
    EXPECT_FLOAT_EQ(bounds.getBottom(), 24.0f * 0.6f);
    EXPECT_TRUE(arrow.contains(110.0f, 10.5f));
    EXPECT_FALSE(arrow.contains(107.0f, 14.0f));  // narrows towards the bottom
    EXPECT_FLOAT_EQ(cpl::comboArrowAlpha(true), 1.0f);
    EXPECT_FLOAT_EQ(cpl::comboArrowAlpha(false), 0.3f);
}

// The tip sits above and right of the pointer, even at the screen's edge.
TEST(TooltipTest, BoundsAboveAndRightOfThePointer) {
    EXPECT_EQ(cpl::tooltipBounds(100.4f, 16.8f, {500, 300}), juce::Rectangle<int>(504, 278, 114, 22));
    EXPECT_EQ(cpl::tooltipBounds(100.4f, 16.8f, {0, 5}), juce::Rectangle<int>(4, -17, 114, 22));
}

// Long text wraps at 1000 pixels instead of running off in one line.
TEST(TooltipTest, LayoutWrapsLongText) {
    const auto shortLayout = cpl::tooltipLayout("Sample rate", juce::Colours::black);
    EXPECT_EQ(shortLayout.getNumLines(), 1);
    EXPECT_GT(shortLayout.getWidth(), 0.0f);

    juce::String longText;
    for (int i = 0; i < 200; ++i) longText << "word" << i << ' ';
    const auto longLayout = cpl::tooltipLayout(longText, juce::Colours::black);
    EXPECT_GT(longLayout.getNumLines(), 1);
    EXPECT_LE(longLayout.getWidth(), cpl::kTooltipMaxWidth);
    EXPECT_GT(longLayout.getHeight(), shortLayout.getHeight());
}

// The header band leaves the whole window on the display: what the content (370) and
// the frame (28) leave of its usable height, never less than 0; headless, of 768
// lines. Guards against a limit so large that the window's height overflows.
TEST(HeaderBandTest, LimitLeavesTheWindowOnTheDisplay) {
    constexpr int kIntMax = std::numeric_limits<int>::max();
    const struct {
        std::optional<int> display;
        int limit;
    } cases[] = {
        {std::nullopt, 370}, {768, 370}, {1080, 682}, {2160, 1762}, {398, 0},
        {300, 0},            {0, 0},     {-5, 0},     {std::numeric_limits<int>::min(), 0},
        {kIntMax, kIntMax - 398},
    };
    for (const auto& c : cases) {
        const int limit = cpl::headerHeightLimit(c.display, 370, 28);
        EXPECT_EQ(limit, c.limit) << c.display.value_or(-1);
        EXPECT_LE(static_cast<long long>(limit) + 370 + 28, static_cast<long long>(kIntMax));
    }
}

}  // namespace
