// The one file of the panel that sees Xlib's declarations (through JUCE's own
// X11 symbols, which JUCE loads at run time): Xlib's macros clash with other code.
#define JUCE_GUI_BASICS_INCLUDE_XHEADERS 1
#include "window_manager.h"

#include <cstring>

#include <juce_gui_basics/juce_gui_basics.h>

namespace cpl {

namespace {

// The window that a property of type WINDOW on `window` names, or None.
::Window windowProperty(::Display* display, ::Window window, Atom property) {
    const juce::XWindowSystemUtilities::GetXProperty value(display, window, property, 0, 1, false, XA_WINDOW);
    if (!value.success || value.actualType != XA_WINDOW || value.actualFormat != 32 || value.numItems != 1) return None;
    ::Window named = None;
    std::memcpy(&named, value.data, sizeof(named));  // Xlib hands format-32 items back as longs
    return named;
}

}  // namespace

bool windowManagerRunning() {
    auto* system = juce::XWindowSystem::getInstance();
    ::Display* display = system != nullptr ? system->getDisplay() : nullptr;
    if (display == nullptr) return false;

    const juce::XWindowSystemUtilities::ScopedXLock xLock;
    const Atom check = juce::XWindowSystemUtilities::Atoms::getIfExists(display, "_NET_SUPPORTING_WM_CHECK");
    if (check == None) return false;

    const ::Window root = juce::X11Symbols::getInstance()->xDefaultRootWindow(display);
    const ::Window wm = windowProperty(display, root, check);
    // A window manager that died leaves the root's property naming a window
    // that no longer answers for itself.
    return wm != None && windowProperty(display, wm, check) == wm;
}

}  // namespace cpl
