// Test equipment: stand-ins for the outside MIDI input and output drivers
// that load on the root driver's MIDI children (hardware ids
// "QUVVexaUSB\MidiIn" and "QUVVexaUSB\MidiOut"). Each is a driver image of
// its own built from one source (VexaMidiInDouble, VexaMidiOutDouble). At
// start a double checks the interface version, reads the port information
// through the pointers it is given, opens every port with its pull, input
// and close functions and enables it; at stop it disables and closes them.
// It records every call with the IRQL it came at, sends bytes through the
// kick and its pull function, and misbehaves when asked (wrong request
// lengths, a second open of each port, never closing).
//
// The state lives in the image; a holder that keeps the image loaded (a test,
// vexa-machine) reads it across loads and unloads through MidiDoubleGetState.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "source/driver/usb/win/vexa_usb_swroot/public/child_interface.h"

namespace vexa::doubles {

inline constexpr const char* kMidiInService = "VexaMidiInDouble";
inline constexpr const char* kMidiOutService = "VexaMidiOutDouble";
inline constexpr const char16_t* kMidiInHardwareId = u"QUVVexaUSB\\MidiIn";
inline constexpr const char16_t* kMidiOutHardwareId = u"QUVVexaUSB\\MidiOut";

struct MidiCall {
    std::string what;  // "version", "info", "open", "enable", "disable", "close-port", "pull", "input", "close", ...
    uint8_t irql;
    uint32_t port;
    int32_t status;    // of a request or a root function; the byte for "pull" and "input"
};

struct MidiKnobs {
    uint32_t versionBytes = sizeof(child::VersionReply);
    uint32_t infoBytes = sizeof(child::MidiInfo);
    uint32_t openBytes = sizeof(child::MidiOpenPort);
    bool openTwice = false;   // opens every port a second time
    bool neverClose = false;  // leaves its ports bound when it stops
};

struct MidiReceived {
    uint8_t byte;
    uint64_t time;  // 100 ns
};

struct MidiDoublePort {
    struct MidiDoubleDevice* device = nullptr;
    uint32_t index = 0;
    std::u16string name;
    std::u16string instanceId;
    bool open = false;  // bound, and not closed by either side
    void* midiDevice = nullptr;
    child::MidiKickFn kick = nullptr;
    child::MidiEnableFn enable = nullptr;
    child::MidiClosePortFn closePort = nullptr;
    std::deque<uint8_t> pending;          // bytes waiting to be pulled
    std::vector<MidiReceived> received;   // bytes the root delivered
};

struct MidiDoubleDevice {
    uint32_t kind = 0;  // child::kMidiKindIn or kMidiKindOut, as the info says
    uint64_t deviceId = 0;
    int32_t versionStatus = 0;
    int32_t infoStatus = 0;
    bool running = false;  // between start and stop
    std::deque<MidiDoublePort> ports;  // stable addresses: each is a function context
};

struct MidiDoubleState {
    std::mutex lock;
    bool loaded = false;
    unsigned loads = 0;
    unsigned unloads = 0;
    unsigned callsWhileUnloaded = 0;  // a call that reached the image after its unload
    MidiKnobs knobs;
    std::vector<MidiCall> calls;
    std::deque<std::unique_ptr<MidiDoubleDevice>> devices;  // every device it served, oldest first

    // Back to the start (the image outlives the machines of a test run).
    void reset() {
        std::lock_guard guard(lock);
        knobs = MidiKnobs{};
        calls.clear();
        devices.clear();
        callsWhileUnloaded = 0;
    }
    std::vector<MidiCall> take_calls() {
        std::lock_guard guard(lock);
        return std::exchange(calls, {});
    }
    // The newest running device; null when none runs.
    MidiDoubleDevice* running() {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
            if ((*it)->running) return it->get();
        }
        return nullptr;
    }
    // Output double: queues `bytes` on `port` of the newest running device and
    // kicks the port (PASSIVE_LEVEL). A port that is not open: STATUS_DEVICE_NOT_CONNECTED.
    int32_t send(uint32_t port, const std::vector<uint8_t>& bytes) { return send_on(nullptr, port, bytes); }
    // The same from the device served `index`-th (0 the oldest).
    int32_t send_from(size_t index, uint32_t port, const std::vector<uint8_t>& bytes) {
        MidiDoubleDevice* device = nullptr;
        {
            std::lock_guard guard(lock);
            if (index < devices.size()) device = devices[index].get();
        }
        return device != nullptr ? send_on(device, port, bytes) : static_cast<int32_t>(0xC000009D);
    }
    // Input double: the bytes `port` of the newest device received so far.
    std::vector<uint8_t> received(uint32_t port) {
        std::lock_guard guard(lock);
        return devices.empty() ? std::vector<uint8_t>{} : received_locked(*devices.back(), port);
    }
    // The same of the device served `index`-th.
    std::vector<uint8_t> received_by(size_t index, uint32_t port) {
        std::lock_guard guard(lock);
        return index < devices.size() ? received_locked(*devices[index], port) : std::vector<uint8_t>{};
    }

private:
    // Null: the newest running device.
    int32_t send_on(MidiDoubleDevice* chosen, uint32_t port, const std::vector<uint8_t>& bytes) {
        child::MidiKickFn kick;
        void* midi;
        {
            std::lock_guard guard(lock);
            MidiDoubleDevice* device = chosen != nullptr ? chosen : running();
            if (device == nullptr || port >= device->ports.size() || !device->ports[port].open) {
                return static_cast<int32_t>(0xC000009D);
            }
            MidiDoublePort& p = device->ports[port];
            p.pending.insert(p.pending.end(), bytes.begin(), bytes.end());
            kick = p.kick;
            midi = p.midiDevice;
        }
        return kick(midi, port);
    }
    static std::vector<uint8_t> received_locked(const MidiDoubleDevice& device, uint32_t port) {
        std::vector<uint8_t> bytes;
        if (port >= device.ports.size()) return bytes;
        for (const MidiReceived& r : device.ports[port].received) bytes.push_back(r.byte);
        return bytes;
    }
};

using MidiDoubleGetStateFn = MidiDoubleState* (*)();

}  // namespace vexa::doubles
