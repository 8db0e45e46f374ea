#include "pal_commands.h"

#include <cinttypes>
#include <cstdio>

#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"

namespace vexa::pal_tool {
namespace {

using mrak::vexa::bus_impl;
using namespace ::vexa::pal;

// The version request is request 0 of the interface; the library's getters
// give the driver's version but not the interface's.
constexpr uint32_t kVersionIndex = 0;
static_assert(IoctlCode(kVersionIndex) == kIoctlGetApiVersion);

// How long a setter waits for the root driver's notification (it comes at
// once; only a root driver that stopped answering takes this long).
constexpr uint32_t kNotificationTimeoutMs = 10000;
constexpr uint32_t kMsPerSecond = 1000;

const Setter kSetters[] = {
    {"rate", "sample rate", "Hz", &bus_impl::set_sample_rate, &bus_impl::sample_rate},
    {"buffer-size", "buffer size", "frames", &bus_impl::set_buffer_size, &bus_impl::buffer_size},
    {"mode", "operation mode", "(mode 0-4)", &bus_impl::set_operation_mode, &bus_impl::operation_mode},
};

int NothingToSet() {
    std::fprintf(stderr, "vexa-pal: no interface is plugged in: nothing to set\n");
    return 1;
}

}  // namespace

const Setter* FindSetter(const std::string& name) {
    for (const Setter& setter : kSetters) {
        if (name == setter.name) return &setter;
    }
    return nullptr;
}

int Version(pal_bus& bus) {
    ApiVersionReply reply{};
    try {
        bus.ioctl(kVersionIndex, nullptr, 0, &reply, sizeof(reply));
    } catch (const mrak::exception::base& e) {
        std::fprintf(stderr, "vexa-pal: the version request failed (%s)\n", ErrorText(e).c_str());
        return 1;
    }
    std::printf("PAL interface version: 0x%04X\n", reply.ioctlAPIVersion);
    std::printf("lowest compatible version: 0x%04X\n", reply.ioctlMinCompatibleAPIVersion);
    std::printf("driver version: %s\n", VersionText(bus.driver_version()).c_str());
    return 0;
}

int Settings(pal_bus& bus) {
    BusSettingsBlock b = bus.record().settings;
    std::printf("current device: 0x%016" PRIX64 "%s\n", b.currentDeviceId, b.currentDeviceId == 0 ? " (none)" : "");
    std::printf("clock source: %u (clock id)\n", b.clockSource);
    std::printf("sample rate: %u Hz\n", b.sampleRate);
    std::printf("operation mode: %u (mode 0-4)\n", b.operationMode);
    std::printf("buffer size: %u frames\n", b.bufferSize);
    std::printf("minimum buffer size: %u frames\n", b.minBufferSize);
    std::printf("maximum buffer size: %u frames\n", b.maxBufferSize);
    std::printf("output channels: %u channels\n", b.outputChannels);
    std::printf("input channels: %u channels\n", b.inputChannels);
    std::printf("device count: %u devices\n", b.deviceCount);
    for (uint32_t i = 0; i < kMaxBusDevices; ++i) {
        std::printf("device id %u: 0x%016" PRIX64 "\n", i, b.deviceIds[i]);
    }
    return 0;
}

// The root driver takes a setting it can apply and keeps the others (the
// command succeeds either way), and says so with a bus-changed notification
// once it acted; what it took is read from the state the library cached then.
int Set(pal_bus& bus, hook_log& log, const Setter& setter, uint32_t value) {
    hook_log::mark sent{};
    {
        // Held while the command goes out, so the notification it causes is
        // dispatched only after the mark: the first update after the mark
        // reads the state the command left.
        mrak::vexa::lock_scope hold;
        // Without an interface the root driver does nothing and says nothing.
        if (bus.record().settings.currentDeviceId == 0) return NothingToSet();
        try {
            (bus.*setter.set)(value);
        } catch (const mrak::exception::base& e) {
            std::fprintf(stderr, "vexa-pal: setting the %s failed (%s)\n", setter.what, ErrorText(e).c_str());
            return 1;
        }
        sent = log.now();
    }
    std::string failure;
    switch (log.wait_update(sent, kNotificationTimeoutMs, &failure)) {
        case hook_log::outcome::updated: break;
        case hook_log::outcome::failed:
            std::fprintf(stderr, "vexa-pal: reading the bus settings failed (%s)\n", failure.c_str());
            return 1;
        case hook_log::outcome::timed_out:
            std::fprintf(stderr,
                         "vexa-pal: reading the bus settings failed (no notification from the root driver in %u s)\n",
                         kNotificationTimeoutMs / kMsPerSecond);
            return 1;
    }
    // The interface may have gone meanwhile: its removal is the update then.
    if (bus.record().settings.currentDeviceId == 0) return NothingToSet();
    uint32_t now = (bus.*setter.get)();
    std::printf("%s: %u %s\n", setter.what, now, setter.unit);
    if (now != value) {
        std::fprintf(stderr, "vexa-pal: the root driver kept the %s at %u (%u is not one it takes now)\n",
                     setter.what, now, value);
        return 1;
    }
    return 0;
}

}  // namespace vexa::pal_tool
