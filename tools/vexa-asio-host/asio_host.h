// vexa-asio-host's host: an ASIO host application as the user runs one,
// written only against the Win32 layer, COM activation and the ASIO driver
// interface (public/asio.h). It creates a driver by its class id, inits it,
// reads what the driver reports, creates buffers for the channels asked,
// starts, plays a signal on every output and checks every input against it
// (LoopbackCheck), and stops, disposes and releases. The driver's reset
// request is handled as hosts do: the driver is stopped, disposed and
// released, then created, inited and started again (waiting for a device
// when there is none); a latency change re-reads the latencies.
//
// Threads: the host's own thread (any one thread at a time) calls the
// public functions; the driver's notification thread calls the buffer
// switch and the messages. `lock_` guards what both touch; the driver's
// callback mutex keeps the buffer switch out of createBuffers and
// disposeBuffers, so the buffers themselves are the switch's alone while
// the driver runs.
//
// The driver's callbacks are plain functions, so each host takes one of a
// few slots while it has buffers: that many hosts may stream in one program.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "loopback_check.h"
#include "signal.h"
#include "source/driver/usb/win/vexa_usb_asio/public/asio.h"

namespace vexa::asio_host {

struct HostOptions {
    uint32_t rate = 0;                // Hz to ask for at the first start; 0: the driver's
    uint32_t bufferSize = 0;          // frames per half at the first start; 0: the driver's preferred
    std::vector<uint32_t> channels;   // played and captured both ways; empty: every channel
    Signal signal = Signal::Ramp;
    bool timeInfo = true;             // answer kAsioSupportsTimeInfo, take bufferSwitchTimeInfo
    bool latencyMessages = true;      // answer kAsioLatenciesChanged as supported
};

// What the driver reports about itself and the device.
struct DriverDescription {
    std::string name;
    int32_t version = 0;
    int32_t inputs = 0, outputs = 0;
    std::vector<std::string> inputNames, outputNames;
    int32_t minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
    ASIOError sizeResult = ASE_NotPresent;
    double rate = 0;
    std::vector<std::pair<uint32_t, ASIOError>> rates;  // canSampleRate of the usual rates
    std::vector<ASIOClockSource> clocks;
    int32_t inputLatency = 0, outputLatency = 0;
};

// One start to its stop: its geometry, what the driver reported, the switches and the check.
struct Stream {
    uint32_t number = 0;  // counts the host's starts from 1
    uint32_t rate = 0;
    uint32_t bufferSize = 0;
    int32_t inputLatency = 0, outputLatency = 0;  // the driver's, at the start (or since its last change)
    uint64_t switches = 0;
    uint64_t missed = 0;        // halves the host never saw
    uint64_t late = 0;          // halves the host served after the device had begun them
    uint64_t uncheckedHalves = 0;
    std::vector<ChannelResult> channels;
    std::vector<std::string> outputNames, inputNames;  // the device's at the start (a re-plug may bring another)
    std::vector<double> intervalsUs;  // wall time between switches
    double seconds = 0;       // wall time from the start to the stop (to now while it runs)
    double quietSeconds = 0;  // of those, since the last switch (since the start when none came)
    bool matched() const;  // every channel matched, nothing dropped
};

// Something the host was told or did, in the order it happened.
struct HostEvent {
    std::chrono::steady_clock::time_point when;
    std::string text;
};

// What the switch handed over, as the tests follow it.
struct SwitchSeen {
    uint64_t position = 0;
    uint64_t systemTime = 0;
    uint32_t flags = 0;   // the time info's flags (time-info mode)
    double rate = 0;      // the time info's sample rate (time-info mode)
    int32_t index = 0;
};

class AsioHost {
public:
    explicit AsioHost(HostOptions options);
    ~AsioHost();
    AsioHost(const AsioHost&) = delete;
    AsioHost& operator=(const AsioHost&) = delete;

    // Creates the driver (CoCreateInstance with the class id as the interface id).
    HRESULT load(const CLSID& clsid);
    // init; false with the driver's message in `error`.
    bool init(std::string* error);
    DriverDescription describe();
    // Applies the asked rate (at the first start only), creates the buffers
    // and starts; the driver's error otherwise, with what failed in `error`.
    ASIOError start(std::string* error);
    ASIOError stop();
    ASIOError dispose();
    // Stops, disposes and releases whatever is held; the driver is gone after.
    void release();

    // The host changes the rate while streaming, as a user does in its
    // settings: the transport stops, the rate is set, the transport starts again.
    ASIOError change_rate(uint32_t rate);

    // The driver asked for a reset.
    bool reset_pending();
    enum class Recovery { Streaming, NoDevice, Failed };
    // Handles a pending reset (or starts over after a failed one): releases
    // the driver, then creates, inits and starts it again at the size it prefers.
    Recovery recover(std::string* error);

    // Virtual time: until the buffer switch has handed over the half the
    // driver names now (or nothing streams); false when `timeoutMs` of wall
    // time pass first. A pending reset does not end the wait: the driver
    // keeps switching until the host resets, and a clock that ran on without
    // the host would make the switches it missed look like drop-outs.
    bool catch_up(uint32_t timeoutMs);
    // Until the driver has sent `selector` (kAsioResetRequest, ...) through
    // asioMessage on its own thread; false when `timeoutMs` pass first.
    bool wait_for_message(int32_t selector, uint32_t timeoutMs);
    // Until something needs the host's thread (a reset, an event to show), at most `ms`.
    void wait_for_attention(uint32_t ms);
    std::vector<HostEvent> take_events();

    bool running() const { return started_; }
    IASIO* driver() const { return driver_; }
    const CLSID& clsid() const { return clsid_; }
    // Every stream so far, the running one as it stands.
    std::vector<Stream> streams();
    std::vector<SwitchSeen> switches_seen();
    std::vector<double> rate_changes();  // what sampleRateDidChange was called with
    std::vector<int32_t> messages();     // asioMessage selectors, in order
    uint64_t resets() const { return resets_; }

    // The driver's calls into the host (driver's notification thread).
    void on_switch(int32_t index, const ASIOTime* time);
    int32_t on_message(int32_t selector, int32_t value);
    void on_rate_change(double rate);

private:
    DriverDescription describe_channels();  // the counts and names alone
    ASIOError create_buffers(uint32_t frames, std::string* error);
    void note(std::string text);
    void close_stream();
    // The stream's wall times, as of `now`. Caller holds lock_.
    void time_stream(Stream& stream, std::chrono::steady_clock::time_point now);

    HostOptions options_;
    CLSID clsid_{};
    IASIO* driver_ = nullptr;
    bool initialised_ = false;
    bool buffersCreated_ = false;
    bool started_ = false;
    bool firstStart_ = true;
    int slot_ = -1;
    uint64_t resets_ = 0;
    ASIOCallbacks callbacks_{};

    // The buffers and the check: set while the driver has no buffers, used
    // by the switch alone while it has (the driver's callback mutex orders the two).
    std::vector<ASIOBufferInfo> infos_;
    std::vector<int32_t*> outputs_[2];  // by channel list position, per half
    std::vector<int32_t*> inputs_[2];
    std::vector<uint32_t> outputChannels_;
    std::vector<std::vector<int32_t>> scratch_;  // a half of each checked input, copied before the check
    std::vector<size_t> checkedInputs_;          // per checked channel: its position among the inputs
    std::unique_ptr<SignalSource> signal_;
    std::unique_ptr<LoopbackCheck> check_;
    uint32_t frames_ = 0;
    uint64_t expected_ = 0;  // the next half's position
    std::chrono::steady_clock::time_point lastSwitch_{};
    std::chrono::steady_clock::time_point streamStart_{};  // guarded by lock_

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Stream> streams_;            // guarded by lock_
    std::vector<HostEvent> events_;          // guarded by lock_
    std::vector<SwitchSeen> seen_;           // guarded by lock_
    std::vector<double> rateChanges_;        // guarded by lock_
    std::vector<int32_t> messages_;          // guarded by lock_
    bool resetPending_ = false;              // guarded by lock_
    std::optional<std::pair<uint64_t, uint64_t>> lastSeen_;  // guarded by lock_: position and time handed over
};

}  // namespace vexa::asio_host
