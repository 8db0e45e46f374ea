// Test equipment: a stand-in for the outside WDM audio driver that loads on
// the root driver's adapter child (hardware id "QUVVexaUSB\Audio&Adapter"),
// built as the driver image VexaWdmDouble. At start it checks the interface
// version, opens the adapter and asks whether it may change the format of
// either direction; when told (a knob, or a holder's call) it opens a capture
// and a render stream at a listed rate with 16 or 24 bits and runs them; at
// stop it stops and closes them and closes the adapter.
//
// Each period it transfers exactly the bytes the root driver asks: the render
// stream plays a test signal (a pattern that names each frame, or a tone) and
// the capture stream checks what comes back against the same signal, frame by
// frame, from the first frame that is not silence on. It records every call
// the root driver makes into it with the IRQL it came at (the per-period calls
// are counted instead), and misbehaves when asked: wrong request lengths, a
// foreign adapter, a second open, too many channels, never closing.
//
// The state lives in the image; a holder that keeps the image loaded (a test,
// vexa-machine) reads it across loads and unloads through WdmDoubleGetState.
// The double never holds its lock while it calls the root driver.
#pragma once

#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "source/driver/usb/win/vexa_usb_swroot/public/child_interface.h"

namespace vexa::doubles {

inline constexpr const char* kWdmService = "VexaWdmDouble";
inline constexpr const char16_t* kWdmHardwareId = u"QUVVexaUSB\\Audio&Adapter";

enum class WdmSignal : uint32_t { Pattern, Tone };

struct WdmStreamConfig {
    uint32_t rate = 48000;
    uint32_t bits = 24;
    uint32_t channels = 2;
    WdmSignal signal = WdmSignal::Pattern;
    double toneHz = 997.0;
    double toneLevel = 0.5;  // of full scale
};

// Sample `frame` of `channel`, as a signed value of `bits` bits. Never
// silence at frame 0, so the first sound that comes back is frame 0.
inline int32_t WdmSignalSample(const WdmStreamConfig& config, uint64_t frame, uint32_t channel) {
    uint32_t bits = config.bits;
    uint32_t raw;
    if (config.signal == WdmSignal::Tone) {
        double fullScale = static_cast<double>((1u << (bits - 1)) - 1);
        constexpr double kPi = 3.14159265358979323846;
        double phase = 2 * kPi * config.toneHz * static_cast<double>(frame) / config.rate + kPi / 4;
        raw = static_cast<uint32_t>(static_cast<int32_t>(std::lround(config.toneLevel * fullScale * std::sin(phase))));
    } else {
        // The frame number (cycling) above the channel number: every bit pattern, both signs.
        uint32_t cycle = (1u << (bits - 4)) - 1;
        raw = (static_cast<uint32_t>(frame % cycle) + 1) << 4 | (channel & 0xF);
    }
    uint32_t shift = 32 - bits;
    return static_cast<int32_t>(raw << shift) >> shift;
}

struct WdmCall {
    std::string what;  // "version", "open", "open-again", "may-change", "speaker", "open-stream", "state", "close-stream", "close-adapter", "notify", ...
    uint8_t irql;
    uint32_t value;
    int32_t status;
};

struct WdmKnobs {
    uint32_t versionBytes = sizeof(child::VersionReply);
    uint32_t openBytes = sizeof(child::WdmOpen);
    uint32_t openStreamBytes = sizeof(child::WdmOpenStream);
    uint32_t formatBytes = sizeof(child::WdmFormatQuery);
    uint32_t speakerBytes = sizeof(child::WdmSpeakerConfig);
    bool foreignAdapter = false;  // names an adapter that is not the one it opened
    bool openTwice = false;       // opens the adapter a second time
    bool neverClose = false;      // leaves streams and adapter open when it stops
    bool autoStreams = false;     // opens and runs `streams` at start
    WdmStreamConfig streams;
    uint32_t speakerConfig = 0;   // nonzero: set at start
};

struct WdmDoubleStream {
    struct WdmDoubleDevice* device = nullptr;
    bool render = false;
    WdmStreamConfig config;
    int32_t openStatus = 0;
    int32_t startStatus = 0;
    void* stream = nullptr;
    child::WdmStreamTransferFn transfer = nullptr;
    child::WdmStreamSetStateFn setState = nullptr;
    bool open = false;
    std::vector<uint8_t> buffer;  // the per-period buffer, allocated at open
    // Per-period calls.
    uint64_t periods = 0;
    uint64_t frames = 0;
    uint64_t oddRequests = 0;   // byte counts that were no whole frames or too many
    uint8_t maxIrql = 0;
    // Render: frames played. Capture: the check.
    uint64_t captured = 0;
    int64_t firstSound = -1;    // capture frame that brought render frame 0
    uint64_t checked = 0;       // frames compared with the signal
    uint64_t mismatches = 0;
    int64_t firstMismatch = -1;
    uint64_t checksum = 0xCBF29CE484222325ull;          // FNV-1a of the checked bytes
    uint64_t expectedChecksum = 0xCBF29CE484222325ull;  // of the same frames as played
    double sumSquares = 0;      // channel 0, of full scale
    double peak = 0;
};

struct WdmDoubleDevice {
    void* pdo = nullptr;  // the DEVICE_OBJECT its requests go to
    int32_t versionStatus = 0;
    uint32_t interfaceVersion = 0;
    int32_t openStatus = 0;
    int32_t secondOpenStatus = 0;
    child::WdmOpen reply{};
    void* adapter = nullptr;
    child::WdmCloseAdapterFn closeAdapter = nullptr;
    child::WdmCloseStreamFn closeStream = nullptr;
    int32_t renderMayChange = -1;
    int32_t captureMayChange = -1;
    uint32_t queriedRate = 0;
    std::vector<uint32_t> events;       // adapter notifications, in order
    unsigned reentrantNotifications = 0;  // came inside one of its own requests
    unsigned notificationsAbovePassive = 0;
    bool running = false;               // between start and stop
    int64_t captureAtRenderStart = 0;   // capture frames counted when the render stream started
    std::deque<WdmDoubleStream> streams;  // stable addresses: each is a function context
};

struct WdmDoubleState {
    std::mutex lock;
    bool loaded = false;
    unsigned loads = 0;
    unsigned unloads = 0;
    unsigned callsWhileUnloaded = 0;
    WdmKnobs knobs;
    std::vector<WdmCall> calls;
    std::deque<std::unique_ptr<WdmDoubleDevice>> devices;  // every device it served, oldest first

    void reset() {
        std::lock_guard guard(lock);
        knobs = WdmKnobs{};
        calls.clear();
        devices.clear();
        callsWhileUnloaded = 0;
    }
    std::vector<WdmCall> take_calls() {
        std::lock_guard guard(lock);
        return std::exchange(calls, {});
    }
    // The newest running device; null when none runs. Caller holds the lock.
    WdmDoubleDevice* running() {
        for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
            if ((*it)->running) return it->get();
        }
        return nullptr;
    }
};

using WdmDoubleGetStateFn = WdmDoubleState* (*)();
// On the newest running device: opens a capture and then a render stream with
// `config` and runs both (PASSIVE_LEVEL). The first failing status, or 0.
using WdmDoubleOpenStreamsFn = int32_t (*)(const WdmStreamConfig* config);
// Stops and closes every open stream of the newest running device.
using WdmDoubleCloseStreamsFn = int32_t (*)();

}  // namespace vexa::doubles
