#include <gtest/gtest.h>

#include "cpl_application.h"
#include "window_state.h"

namespace {

// The saved position as the stored text reads: only x and y, each below 1 as 0.
TEST(SavedWindowPositionTest, ReadsXAndYAsTheStoredTextSays) {
    const struct {
        const char* saved;
        int x, y;
    } cases[] = {
        {"-40 20 800 600", 0, 20},                  // off the left edge: back to 0, the height kept
        {"150", 150, 0},                            // one number and no blank
        {"", 0, 0},                                 // first start
        {"  12abc 7", 12, 12},                      // y is read after the first blank, which comes first here
        {"12 40 382 398 frame 24 1 1 1", 12, 40},   // JUCE's state with a window manager's frame
        {"fs 10 20 382 398", 0, 10},                // a full-screen mark is not a number
        {"0 0 382 398 frame 0 0 0 0", 0, 0},
        {"7 -3", 7, 0},
        {"+5 +6", 5, 6},
        {"abc def", 0, 0},
        {"4294967301 9", 5, 9},                     // beyond 32 bits: taken as a 32-bit integer
    };
    for (const auto& c : cases) {
        const auto p = cpl::savedWindowPosition(c.saved);
        EXPECT_EQ(p.x, c.x) << '"' << c.saved << '"';
        EXPECT_EQ(p.y, c.y) << '"' << c.saved << '"';
    }
}

// Guards against the saved size coming back: the window keeps the size its content gives it.
TEST(SavedWindowPositionTest, RestoredStateKeepsTheCurrentSize) {
    EXPECT_EQ(cpl::restoredWindowState("-40 20 800 600", 382, 398), "0 20 382 398");
    EXPECT_EQ(cpl::restoredWindowState("", 382, 398), "0 0 382 398");
    EXPECT_EQ(cpl::restoredWindowState("150", 380, 370), "150 0 380 370");
}

// The user settings file's name, place and format, which earlier runs have written.
TEST(UserSettingsTest, FileLivesInTheUsersHomeAsXml) {
    const auto options = cpl::userSettingsOptions();
    EXPECT_EQ(options.getDefaultFile(), juce::File("~/.QUVVexaUSB/QUVVexaUSB.settings"));
    EXPECT_EQ(options.storageFormat, juce::PropertiesFile::storeAsXML);
    EXPECT_FALSE(options.ignoreCaseOfKeyNames);
    EXPECT_FALSE(options.commonToAllUsers);
    EXPECT_EQ(options.millisecondsBeforeSaving, 1000);
}

}  // namespace
