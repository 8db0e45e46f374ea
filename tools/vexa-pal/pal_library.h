// The device-access library's classes as vexa-pal makes them: a system that
// finds the root driver's PAL interface, the bus it opens there and the
// bus's devices. Each hook the library raises becomes a line of the
// hook_log with the values the library read; the bus's updates and the
// errors passed up are counted there for the commands that wait on them.
//
// Threads: made and closed on the main thread; the hooks run on the
// library's threads (and on the main thread while the system is created)
// with the library lock held.
#pragma once

#include <cstdint>
#include <string>

#include "common/system.h"
#include "pal_hooks.h"

namespace vexa::pal_tool {

// Made by the bus template's own factory; its lines go where its bus's go.
class pal_device : public mrak::vexa::device {
public:
    // The device-list hooks: the bus listed this device, or let it go.
    void attached() override;
    void detached() override;
    void clock_status_changed(uint32_t previousStatus) override;
    void device_notification(uint32_t bits) override;

protected:
    ~pal_device() override = default;

private:
    // Called from hooks only, after create gave the device its bus.
    hook_log& log();
};

class pal_bus : public mrak::vexa::bus<pal_device> {
public:
    explicit pal_bus(hook_log* log) : log_(log) {}

    hook_log& log() { return *log_; }

    // Counted after the comparison, so a waiter woken by it reads the new state.
    bool update() override;
    void on_exception(const mrak::exception::base& e) override;
    void progress(uint32_t percent, uint32_t index) override;
    // The system lets the bus go (its root device went, or the system
    // closes): a watch follows one bus, so nothing more is shown.
    void detach() override;

    void devices_changed() override;
    void devices_updated() override;
    void clock_source_changed() override;
    void sample_rate_changed() override;
    void current_device_changed() override;
    void operation_mode_changed() override;
    void client_count_changed() override;
    void single_asio_client_changed() override;
    void buffer_size_changed() override;
    void buffer_size_min_changed() override;
    void buffer_size_max_changed() override;

protected:
    ~pal_bus() override = default;

private:
    hook_log* const log_;
};

class pal_system : public mrak::vexa::system<pal_bus> {
public:
    explicit pal_system(hook_log* log) : log_(log) {}

    pal_bus* new_bus() override { return new pal_bus(log_); }
    void on_exception(const mrak::exception::base& e) override;

protected:
    ~pal_system() override = default;

private:
    hook_log* const log_;
};

// Finds and opens the root driver's PAL interface as the library does: the
// system's first scan lists a bus for the first present interface. 0 with
// the bus; 1 after saying on standard error why there is none.
int OpenBus(pal_system& system, mrak::vexa::reference<pal_bus>* bus);

// A library error for a message: its text, class and where it was raised.
std::string ErrorText(const mrak::exception::base& e);
// A PackedVersion as major.minor.sub.build, with " local" and " beta" when flagged.
std::string VersionText(uint64_t version);

}  // namespace vexa::pal_tool
