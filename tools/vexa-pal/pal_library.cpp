#include "pal_library.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"

namespace vexa::pal_tool {
namespace {

using mrak::vexa::lock_scope;
using mrak::vexa::reference;

// What the first comparison reports as the previous clock status: never read before.
constexpr uint32_t kUnknownStatus = ~uint32_t{0};
constexpr size_t kVersionTextBytes = sizeof("15.255.4095.4294967295 local beta");

std::string Hex64(uint64_t value) {
    char text[sizeof("0x0123456789ABCDEF")];
    std::snprintf(text, sizeof(text), "0x%016" PRIX64, value);
    return text;
}

}  // namespace

hook_log& pal_device::log() { return static_cast<pal_bus&>(*owner()).log(); }

void pal_device::attached() {
    mrak::vexa::DeviceInfo identity = info();
    log().line("notification: device arrival: %s %s, serial %u, firmware %s\n", Hex64(id()).c_str(),
               identity.model_name().c_str(), identity.serial_number(),
               VersionText(identity.firmware_version()).c_str());
}

void pal_device::detached() {
    mrak::vexa::DeviceInfo identity = info();
    log().line("notification: device removal: %s %s, serial %u\n", Hex64(id()).c_str(),
               identity.model_name().c_str(), identity.serial_number());
}

void pal_device::clock_status_changed(uint32_t previousStatus) {
    std::string before = previousStatus == kUnknownStatus ? "unknown" : std::to_string(previousStatus);
    log().line("notification: device %s: clock status %u (was %s)\n", Hex64(id()).c_str(), clock().clockStatus,
               before.c_str());
}

void pal_device::device_notification(uint32_t bits) {
    log().line("notification: device event: %s: bits 0x%08X\n", Hex64(id()).c_str(), bits);
}

bool pal_bus::update() {
    bool raised = mrak::vexa::bus<pal_device>::update();
    log_->updated();
    return raised;
}

void pal_bus::on_exception(const mrak::exception::base& e) {
    // The notification thread ended on it: nothing more comes from this bus.
    bool fatal = !alive();
    if (fatal) {
        log_->show(false);
    } else {
        log_->line("notification: error: %s\n", ErrorText(e).c_str());
    }
    log_->failed(ErrorText(e), fatal);
}

void pal_bus::progress(uint32_t percent, uint32_t index) {
    log_->line("notification: busy: request %u, %u%% of the time allowed\n", index, percent);
}

void pal_bus::detach() {
    log_->show(false);
    mrak::vexa::bus<pal_device>::detach();
}

void pal_bus::devices_changed() {
    lock_scope hold;
    std::string ids;
    for (const mrak::vexa::reference<pal_device>& device : static_cast<device_list&>(*this)) {
        ids += " " + Hex64(device->id());
    }
    log_->line("notification: devices changed: %zu listed%s\n", device_list::size(), ids.c_str());
}

void pal_bus::devices_updated() {
    // The devices compare their state first, each hook with a line of its own.
    mrak::vexa::bus<pal_device>::devices_updated();
    log_->line("notification: devices updated\n");
}

void pal_bus::clock_source_changed() {
    log_->line("notification: bus changed: clock source %u (clock id)\n", clock_source());
}

void pal_bus::sample_rate_changed() {
    std::string rates;
    for (const auto& [rate, text] : sample_rates()) rates += " " + text;
    log_->line("notification: bus changed: sample rate %u Hz (listed:%s)\n", sample_rate(),
               rates.empty() ? " none" : rates.c_str());
}

void pal_bus::current_device_changed() {
    uint64_t current = record().settings.currentDeviceId;
    log_->line("notification: bus changed: current device %s%s\n", Hex64(current).c_str(),
               current == 0 ? " (none)" : "");
}

void pal_bus::operation_mode_changed() {
    uint32_t mode = operation_mode();
    list names = operation_modes();
    auto name = names.find(mode);
    log_->line("notification: bus changed: operation mode %u (%s)\n", mode,
               name == names.end() ? "unknown" : name->second.c_str());
}

void pal_bus::client_count_changed() {
    log_->line("notification: bus changed: audio clients %u\n", record().clientCount);
}

void pal_bus::single_asio_client_changed() {
    log_->line("notification: bus changed: single ASIO client %s\n", single_asio_client() ? "yes" : "no");
}

void pal_bus::buffer_size_changed() {
    log_->line("notification: bus changed: buffer size %u frames\n", buffer_size());
}

void pal_bus::buffer_size_min_changed() {
    log_->line("notification: bus changed: minimum buffer size %u frames\n", buffer_size_min());
}

void pal_bus::buffer_size_max_changed() {
    log_->line("notification: bus changed: maximum buffer size %u frames\n", buffer_size_max());
}

void pal_system::on_exception(const mrak::exception::base& e) {
    log_->line("notification: error: %s\n", ErrorText(e).c_str());
}

int OpenBus(pal_system& system, reference<pal_bus>* bus) {
    try {
        system.create();
    } catch (const mrak::exception::base& e) {
        std::fprintf(stderr, "vexa-pal: cannot open the PAL interface (%s)\n", ErrorText(e).c_str());
        return 1;
    }
    std::vector<reference<pal_bus>> listed = system.buses();
    if (listed.empty()) {
        std::fprintf(stderr, "vexa-pal: the root driver's PAL interface is not present\n");
        return 1;
    }
    *bus = listed.front();
    return 0;
}

std::string ErrorText(const mrak::exception::base& e) {
    return e.message() + " (" + e.type() + " at " + e.file() + " line " + std::to_string(e.line()) + ")";
}

std::string VersionText(uint64_t version) {
    using namespace ::vexa::pal;
    char text[kVersionTextBytes];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u%s%s", VersionMajor(version), VersionMinor(version),
                  VersionSub(version), VersionBuild(version), VersionIsLocal(version) ? " local" : "",
                  VersionIsBeta(version) ? " beta" : "");
    return text;
}

}  // namespace vexa::pal_tool
