// Test equipment for the panel's window tests: a private Xvfb server (a bare X
// server, no window manager) and what a user does with the panel's window on
// it: find it, read its place, title and pixels, click it, ask it to close.
// No JUCE here: the panel runs as its own program.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <X11/Xlib.h>

namespace cpl::test {

struct PanelWindow {
    ::Window id = 0;
    int x = 0, y = 0, width = 0, height = 0;
    std::string title;
};

class XvfbDisplay {
public:
    // The Xvfb program on PATH, or empty when it is not installed.
    static std::string findXvfb();

    // Starts Xvfb on a display number of its choosing; check ok().
    explicit XvfbDisplay(const std::string& xvfb);
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool ok() const { return display_ != nullptr; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }  // ":N"

    // The panel's viewable top-level windows (JUCE names their class after the program).
    int countPanelWindows();
    std::optional<PanelWindow> panelWindow();
    // Every such window, bottom to top (a popup menu or a message box comes after the main window).
    std::vector<PanelWindow> panelWindows();

    // Handles X events and re-checks `done` after each and every 20 ms until it
    // holds or `timeout` passes. The program under test is another process:
    // this is the only way to see it act.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // The screen's pixel as 0xRRGGBB.
    unsigned long pixel(int x, int y);

    // The screen's rectangle as a binary PPM file (P6); false when it could not be read or written.
    bool saveScreen(int x, int y, int width, int height, const std::string& path);

    // A left click at a screen position through the XTest extension.
    bool click(int x, int y);
    // The pointer moved straight to a position, and a left click where it is: a popup menu
    // takes a click only on the item the pointer has come to rest on.
    bool movePointer(int x, int y);
    bool clickHere();

    // JUCE takes X events off its connection only when the connection's socket
    // turns readable; events that Xlib read in during one of JUCE's own round
    // trips wait in Xlib's queue for the next arrival. On a desktop the next
    // arrival is never far off; on a quiet test server this property change
    // on the window is it.
    void nudge(::Window window);

    // What a window manager sends when its close button is pressed.
    void requestClose(::Window window);

    // Makes the display look managed: the root and a window of ours name that
    // window as the running window manager's.
    void pretendWindowManager();

private:
    std::string name_;
    std::string error_;
    int serverPid_ = -1;
    ::Display* display_ = nullptr;
};

}  // namespace cpl::test
