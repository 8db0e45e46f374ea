// The panel's system: the library's system over the panel's bus class. A
// change of the bus list becomes the action message "bus changed" for the
// main content component; a failure of the library's arrival/removal thread
// becomes settings_error.
//
// Threads: created, closed and deleted on the message thread; changed and
// on_exception run on the arrival/removal thread too (changed with the
// library lock held). sendActionMessage only posts, from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <juce_events/juce_events.h>

#include "common/system.h"
#include "event_bus.h"
#include "panel_seams.h"

class TheSystem : public mrak::vexa::system<event_bus>, public juce::ActionBroadcaster {
public:
    TheSystem() = default;
    // The arrival/removal thread ends before the broadcaster goes: it may be about to post.
    ~TheSystem() override { stop(); }

    // A started system held with holder id 0. A creation that fails leaves
    // nothing behind (the system is closed and deleted) and rethrows.
    static mrak::vexa::reference<TheSystem> create_instance();

    void changed() override;
    void on_exception(const mrak::exception::base& e) override;

    // 1 after the arrival/removal thread failed; the main content component clears it. Any thread.
    std::atomic<uint8_t> settings_error{0};
    std::string bus_path;  // guarded by the library lock: the path of the bus last seen by changed

private:
    JUCE_DECLARE_NON_COPYABLE(TheSystem)
};

namespace cpl {

// The system as the main content component uses it, holding TheSystem with holder id 0.
class LibrarySystem : public PanelSystem {
public:
    explicit LibrarySystem(mrak::vexa::reference<TheSystem> created) : system(std::move(created)) {}

    juce::ActionBroadcaster& broadcaster() override { return *system; }
    mrak::vexa::reference<event_bus> firstBus() override;
    void changed() override { system->changed(); }
    bool takeSettingsError() override { return system->settings_error.exchange(0) != 0; }
    void close() override { system->close(); }

    TheSystem& theSystem() { return *system; }

private:
    mrak::vexa::reference<TheSystem> system;
};

// The program's factory: null when no machine answers (no driver can be
// there); otherwise the started system, or what its creation throws.
std::unique_ptr<PanelSystem> createLibrarySystem();

}  // namespace cpl
