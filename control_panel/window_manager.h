// Whether a window manager runs on the display the panel's windows go to.
#pragma once

namespace cpl {

// True when the display's root window names a live window manager (the
// _NET_SUPPORTING_WM_CHECK window that names itself again). A bare X server,
// such as Xvfb, has none: nothing would then draw a native title bar, so the
// main window draws JUCE's own. Message thread; false without a display.
bool windowManagerRunning();

}  // namespace cpl
