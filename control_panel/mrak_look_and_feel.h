// The panel's look-and-feel: JUCE's V3 look with colours from the look
// defaults, and its own combo boxes, text buttons, tooltips and group outlines.
#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

class LookDefaults;

class MRAKLookAndFeel : public juce::LookAndFeel_V3, public juce::DeletedAtShutdown {
public:
    // Colour ids of the panel's own, each set from the look default of the same name.
    enum ColourIds {
        titleBarColourId = 0x3000001,
        titleBarButtonColourId = 0x3000002,
        windowBackgroundColourId = 0x3000010,
        // Read from the file alone (no built-in value); nothing paints with them yet.
        busSettingsBackgroundColourId = 0x3000040,
        curDeviceBackgroundColourId = 0x3000041,
        popupTitleBarColourId = 0x3000020,
        popupWindowBackgroundColourId = 0x3000021,
        popupMenuBackgroundColourId = 0x3000030,
        textboxBackgroundColourId = 0x3000050,
        textboxOutlineColourId = 0x3000051,
        labelOutlineColourId = 0x3000060,
        comboBackgroundColourId = 0x3000070,
        comboOutlineColourId = 0x3000071,
        comboArrowColourId = 0x3000072,
        textButtonColourId = 0x3FF0080,
        toggleButtonColourId = 0x3000081,
        listboxBackgroundColourId = 0x3000090,
        listboxOutlineColourId = 0x3000091,
        groupOutlineColourId = 0x30000A0,
        groupBackgroundColourId = 0x30000A1,
        toolTipBackgroundColourId = 0x30000B0,
        toolTipOutlineColourId = 0x30000B1,
        toolTipTextColourId = 0x30000B2,
        progressBarBackgroundColourId = 0x30000C0,
        progressBarForegroundColourId = 0x30000C1,
    };

    // Reads its colours and the group font size once, here (a changed file
    // counts from the next start); a null defaults object reads every key as
    // empty, so colours are transparent black.
    explicit MRAKLookAndFeel(LookDefaults* defaults);
    ~MRAKLookAndFeel() override;

    // The process-wide instance over the process-wide look defaults, created by
    // the first call from any thread; JUCE's shut-down deletes it.
    static MRAKLookAndFeel* getInstance();

    void drawButtonBackground(juce::Graphics&, juce::Button&, const juce::Colour& backgroundColour,
                              bool isMouseOverButton, bool isButtonDown) override;
    juce::Font getTextButtonFont(juce::TextButton&, int buttonHeight) override;
    int getTextButtonWidthToFitText(juce::TextButton&, int buttonHeight) override;

    void drawComboBox(juce::Graphics&, int width, int height, bool isButtonDown, int buttonX, int buttonY,
                      int buttonW, int buttonH, juce::ComboBox&) override;

    juce::Rectangle<int> getTooltipBounds(const juce::String& tipText, juce::Point<int> screenPos,
                                          juce::Rectangle<int> parentArea) override;
    void drawTooltip(juce::Graphics&, const juce::String& text, int width, int height) override;

    void drawGroupComponentOutline(juce::Graphics&, int width, int height, const juce::String& text,
                                   const juce::Justification&, juce::GroupComponent&) override;

private:
    void readColourScheme(LookDefaults* defaults);

    int groupFontSize = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MRAKLookAndFeel)
};
