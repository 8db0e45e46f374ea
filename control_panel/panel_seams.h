// What the main content component reaches outside itself through: the
// user's message boxes and the application's quit, and the library's system.
// The program passes the real ones; the tests pass recorders and systems of
// their own, so the whole component runs headless.
#pragma once

#include <functional>
#include <memory>

#include <juce_events/juce_events.h>

#include "common/base.h"

class event_bus;

namespace cpl {

inline constexpr const char* kMessageBoxTitle = "Control Panel";

class PanelActions {
public:
    virtual ~PanelActions() = default;
    // A modal box titled "Control Panel" with one "OK" button; returns once closed.
    virtual void showMessage(const juce::String& text) = 0;
    // Asks the application to end once the message loop runs again.
    virtual void requestQuit() = 0;
};

// JUCE's alert window and the application's quit.
class DesktopActions : public PanelActions {
public:
    void showMessage(const juce::String& text) override;
    void requestQuit() override;
};

// The system as the component uses it. Message thread only.
class PanelSystem {
public:
    virtual ~PanelSystem() = default;
    // Posts "bus changed" to the component.
    virtual juce::ActionBroadcaster& broadcaster() = 0;
    // The first listed bus, held with holder id 0 (taken under the library lock); empty when none.
    virtual mrak::vexa::reference<event_bus> firstBus() = 0;
    virtual void changed() = 0;
    // Whether the system's own thread failed since the last call; clears it.
    virtual bool takeSettingsError() = 0;
    // Detaches and closes every bus.
    virtual void close() = 0;
};

// Makes the started system; null when no machine answers, so no driver can be
// there; otherwise throws what the system's creation throws.
using SystemFactory = std::function<std::unique_ptr<PanelSystem>()>;

}  // namespace cpl
