// Test equipment: a stand-in for the USB function driver, as the root driver
// sees it. It offers the direct-call interface on its device, records every
// command with the virtual time it came in, answers the USB driver's own
// commands from a script and everything else from a simulated firmware, and
// lets a test call the callbacks the root driver bound.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/device/firmware.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

struct FakeUsbCommand {
    uint16_t category;
    uint16_t command;
    uint64_t time;  // interrupt time, 100 ns
};

struct FakeUsbState {
    std::mutex lock;
    // Script.
    platform::device::VexaModel model = platform::device::VexaModel::CantileQe;
    uint32_t versionReply[2] = {kUsbInterfaceVersion, kUsbInterfaceMinCompatibleVersion};
    std::map<uint32_t, std::deque<uint32_t>> injected;  // (category << 16 | command): results to answer first
    uint32_t busyPolls = 0;                              // 0x401/19 answers busy this many more times
    std::vector<uint16_t> clockSources = {0x28, 0x100, 0x29, 0x101};  // 6/0: {id, name string id} pairs
    std::function<void(platform::device::Firmware&)> firmwareSetup;     // changes the firmware's answers at device add
    // Record.
    std::vector<FakeUsbCommand> commands;
    unsigned queries = 0;
    AUDIODEVICE_INTERFACE bound{};  // what the last accepted query carried
    bool streaming = false;
    uint32_t rate = 44100;  // the device's rate before the engine sets its own
    uint32_t mode = 2;      // set with 0x401/18
    uint16_t clock = 0x28;
    StreamFormat format{};
    StreamState streamState{};
    std::unique_ptr<platform::device::Firmware> firmware;

    // Back to the defaults (the image outlives the machines of a test run).
    void reset_script() {
        std::lock_guard guard(lock);
        model = platform::device::VexaModel::CantileQe;
        versionReply[0] = kUsbInterfaceVersion;
        versionReply[1] = kUsbInterfaceMinCompatibleVersion;
        injected.clear();
        busyPolls = 0;
        rate = 44100;
        clock = 0x28;
        clockSources = {0x28, 0x100, 0x29, 0x101};
        firmwareSetup = nullptr;
        mode = 2;
    }
    void inject(uint16_t category, uint16_t command, std::vector<uint32_t> results) {
        std::lock_guard guard(lock);
        auto& queue = injected[uint32_t{category} << 16 | command];
        queue.insert(queue.end(), results.begin(), results.end());
    }
    std::vector<FakeUsbCommand> take() {
        std::lock_guard guard(lock);
        auto copy = std::move(commands);
        commands.clear();
        return copy;
    }
};

// Exported by the image. The state is the image's one device's; it is reset
// when a device is added.
using FakeUsbGetStateFn = FakeUsbState* (*)();
// Calls the bound notification callback as the USB driver would; 0xFFFFFFFF when none is bound.
using FakeUsbNotifyFn = uint32_t (*)(uint32_t type, uint32_t value);
