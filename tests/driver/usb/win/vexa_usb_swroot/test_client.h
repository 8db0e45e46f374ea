// Test equipment: a client of the root driver's audio client manager, as
// honest as the ASIO and kernel clients are: inside each period callback it
// reads its chunk of capture frames and mixes its playback into the packets,
// walking the rings from the StreamState cursors, and writes the end fields.
// With `ramp` it plays a ramp and checks that the capture brings the same
// ramp back at one constant latency (the simulated interface loops playback
// to capture). The client lives in the root driver's test image; the test
// reads this log.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/kmdf/wdf.h"

// Playback sample of frame n, channel c: never silence, never another frame's.
inline int32_t RampValue(uint64_t frame, uint32_t channel) {
    return static_cast<int32_t>(static_cast<uint32_t>((frame + 1) << 8) | (channel + 1));
}

// With `move` the client does only what a real client does each period,
// as an ASIO client's host buffers take it: it copies its capture frames into
// planar host input buffers and adds planar host output into the playback
// packets, `moveChannels` channels each way (0: all), `hostFrames` frames per
// buffer. It takes no lock and checks nothing per sample, so a benchmark
// measures the product; what it moved is checked afterwards.
struct HostBuffers {
    uint32_t moveChannels = 0;
    uint32_t hostFrames = 0;
    std::vector<int32_t> input;   // channel c's frames at c * hostFrames
    std::vector<int32_t> output;  // likewise
    uint32_t inputPosition = 0;   // frames into the buffers
    uint32_t outputPosition = 0;
};

struct TestClientLog {
    std::mutex lock;
    uint32_t kind = 2;  // kClientTypeKernel; 0 or 1 for an ASIO client
    bool ramp = false;
    int32_t constant = 0;  // played on every channel when there is no ramp
    bool recordChunks = false;
    bool move = false;
    HostBuffers host;  // with `move`; sized before the client is added
    // What it saw.
    std::vector<uint32_t> events;
    std::vector<uint32_t> chunks;
    std::atomic<bool> running{false};  // read by every period: no lock needed
    uint64_t periods = 0;
    uint64_t frames = 0;
    uint64_t produced = 0;     // playback frames mixed in
    uint64_t captured = 0;     // capture frames read
    int64_t latency = -1;      // capture frame index less the playback frame it carries
    uint64_t mismatches = 0;   // capture samples that were neither silence before the ramp nor the ramp
    int64_t firstMismatch = -1;
    uint64_t shortWalks = 0;   // chunks the rings held fewer frames of
    uint32_t inputLatency = 0;  // as the manager set them
    uint32_t outputLatency = 0;

    std::vector<uint32_t> take_events() {
        std::lock_guard guard(lock);
        auto copy = std::move(events);
        events.clear();
        return copy;
    }
};

// The manager's period state, read through the test image.
struct ManagerProbe {
    uint32_t periodFrames;
    uint32_t pendingFrames;
    uint32_t periodPosition;
    uint32_t resyncs;
    uint32_t minBufferSize;
    uint32_t maxBufferSize;
    uint32_t runningClients;
};

// Exported by the test image.
using AddClientFn = void* (*)(WDFDEVICE fdo, TestClientLog* log);  // null when the manager refuses it
using ClientFn = NTSTATUS (*)(WDFDEVICE fdo, void* client);        // start, stop
using RemoveClientFn = void (*)(WDFDEVICE fdo, void* client);
using PeriodFn = void (*)(WDFDEVICE fdo, uint64_t timeNs, uint32_t frames);
using ProbeFn = void (*)(WDFDEVICE fdo, ManagerProbe* probe);
using SetBufferSizeFn = bool (*)(WDFDEVICE fdo, uint32_t frames);
using LatenciesFn = NTSTATUS (*)(WDFDEVICE fdo, uint32_t* input, uint32_t* output);
using StreamStateFn = void (*)(WDFDEVICE fdo, void* streamState);  // installs a stream state of the test's
using NotifyClientsFn = NTSTATUS (*)(WDFDEVICE fdo, uint32_t clientEvent);
