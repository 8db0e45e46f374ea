// The test client and its hooks, in the root driver's test image.
#include "test_client.h"

#include "control/root.h"
#include "engine/stream_ring.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

class TestClient : public AudioClient {
public:
    explicit TestClient(TestClientLog* log) : log_(log) {}

    bool ProcessBuffer(ULONG64 timeNs, ULONG frames) override { return Process(timeNs, frames); }

    // DISPATCH_LEVEL, under the manager's clientLock.
    bool Process(ULONG64, ULONG frames) override {
        if (log_->move) return Move(frames);
        std::lock_guard guard(log_->lock);
        ++log_->periods;
        log_->frames += frames;
        if (log_->recordChunks) log_->chunks.push_back(frames);
        StreamState* state = owner_ != nullptr ? owner_->StreamingState() : nullptr;
        if (state == nullptr) return true;
        if (state->captureCursorPacket != nullptr) {
            RingCursor capture(state->captureCursorPacket, state->captureCursorPosition);
            ULONG walked = 0;
            RingCursor::Run runs[kRunsPerPass];
            for (ULONG count; walked < frames && (count = Runs(&capture, frames - walked, runs, &walked)) != 0;) {
                for (ULONG r = 0; r < count; ++r) Check(runs[r], state->captureChannels, state->playbackChannels);
            }
            if (walked != frames) ++log_->shortWalks;
            state->captureEndPacket = capture.Packet() != nullptr ? capture.Packet() : state->captureCursorPacket;
            state->captureEndPosition = capture.Packet() != nullptr ? capture.Position() : state->captureCursorPosition;
        }
        if (state->playbackCursorPacket != nullptr) {
            RingCursor playback(state->playbackCursorPacket, state->playbackCursorPosition);
            ULONG walked = 0;
            RingCursor::Run runs[kRunsPerPass];
            for (ULONG count; walked < frames && (count = Runs(&playback, frames - walked, runs, &walked)) != 0;) {
                for (ULONG r = 0; r < count; ++r) Play(runs[r], state->playbackChannels);
            }
            if (walked != frames) ++log_->shortWalks;
            state->playbackEndPacket = playback.Packet() != nullptr ? playback.Packet() : state->playbackCursorPacket;
            state->playbackEndPosition =
                playback.Packet() != nullptr ? playback.Position() : state->playbackCursorPosition;
        }
        return true;
    }

    void BufferSwitch(ULONG64) override {}
    void Notify(ULONG clientEvent) override {
        std::lock_guard guard(log_->lock);
        log_->events.push_back(clientEvent);
    }
    void Start() override { set_running(true); }
    void Stop() override { set_running(false); }
    NTSTATUS Close() override { return STATUS_SUCCESS; }
    bool IsRunning() override { return log_->running.load(); }
    ULONG Type() const override { return log_->kind; }
    void SetOwner(AudioClientManager* owner) override { owner_ = owner; }
    void SetLatencies(ULONG input, ULONG output) override {
        std::lock_guard guard(log_->lock);
        log_->inputLatency = input;
        log_->outputLatency = output;
    }

private:
    void set_running(bool running) { log_->running.store(running); }

    // Stretches of packets a pass takes: at 48 kHz eight cover a 1 ms call.
    static constexpr ULONG kRunsPerPass = 32;

    // The next stretches of up to `frames` frames; adds the frames they hold to `*walked`.
    [[gnu::always_inline]] static ULONG Runs(RingCursor* cursor, ULONG frames, RingCursor::Run* runs, ULONG* walked) {
        ULONG taken = 0;
        ULONG count = cursor->Runs(frames, runs, kRunsPerPass, &taken);
        *walked += taken;
        return count;
    }

    // A stretch of capture frames: silence until the ramp comes back, then the ramp at one latency.
    void Check(const RingCursor::Run& run, ULONG captureChannels, ULONG playbackChannels) {
        ULONG channels = captureChannels < run.stride ? captureChannels : run.stride;
        uint64_t index = log_->captured;
        log_->captured += run.frames;
        if (!log_->ramp || channels == 0) return;
        // Kept in locals: the samples could alias the log as far as the compiler knows.
        int64_t latency = log_->latency;
        uint64_t mismatches = 0;
        int64_t firstMismatch = -1;
        const LONG* samples = run.samples;
        for (ULONG f = 0; f < run.frames; ++f, ++index, samples += run.stride) {
            if (latency < 0 && samples[0] != 0) {
                uint64_t frame = (static_cast<uint32_t>(samples[0]) >> 8) - 1;
                latency = static_cast<int64_t>(index) - static_cast<int64_t>(frame);
            }
            ULONG ramped = latency >= 0 ? (channels < playbackChannels ? channels : playbackChannels) : 0;
            uint64_t source = index - static_cast<uint64_t>(latency);
            ULONG wrong = 0;
            for (ULONG c = 0; c < ramped; ++c) wrong += samples[c] != RampValue(source, c);
            for (ULONG c = ramped; c < channels; ++c) wrong += samples[c] != 0;
            if (wrong != 0 && firstMismatch < 0) firstMismatch = static_cast<int64_t>(index);
            mismatches += wrong;
        }
        log_->latency = latency;
        log_->mismatches += mismatches;
        if (log_->firstMismatch < 0) log_->firstMismatch = firstMismatch;
    }

    // A stretch of playback frames: the ramp (or the constant) mixed in.
    void Play(const RingCursor::Run& run, ULONG playbackChannels) {
        ULONG channels = playbackChannels < run.stride ? playbackChannels : run.stride;
        uint64_t produced = log_->produced;
        bool ramp = log_->ramp;
        LONG constant = log_->constant;
        LONG* samples = run.samples;
        for (ULONG f = 0; f < run.frames; ++f, ++produced, samples += run.stride) {
            for (ULONG c = 0; c < channels; ++c) MixSample(&samples[c], ramp ? RampValue(produced, c) : constant);
        }
        log_->produced = produced;
    }

    // The samples a real client moves, and nothing else: stretch by stretch of
    // the ring, split where the host buffers wrap, channel by channel within
    // (each host column written in order: frame by frame, ten or more columns
    // a kilobyte apart stalled on their loads), with the usual stereo pair
    // unrolled frame by frame.
    bool Move(ULONG frames) {
        ++log_->periods;
        log_->frames += frames;
        StreamState* state = owner_ != nullptr ? owner_->StreamingState() : nullptr;
        if (state == nullptr) return true;
        HostBuffers& host = log_->host;
        if (host.hostFrames == 0) return true;
        // The buffers are sized before the client is added: the channels they hold are counted once.
        if (heldChannels_ == kUncounted) heldChannels_ = static_cast<ULONG>(host.input.size() / host.hostFrames);
        if (state->captureCursorPacket != nullptr) {
            RingCursor capture(state->captureCursorPacket, state->captureCursorPosition);
            MoveStream<true>(&capture, frames, Moved(state->captureChannels, host), host.input.data(), host.hostFrames,
                             &host.inputPosition);
            state->captureEndPacket = capture.Packet() != nullptr ? capture.Packet() : state->captureCursorPacket;
            state->captureEndPosition = capture.Packet() != nullptr ? capture.Position() : state->captureCursorPosition;
        }
        if (state->playbackCursorPacket != nullptr) {
            RingCursor playback(state->playbackCursorPacket, state->playbackCursorPosition);
            MoveStream<false>(&playback, frames, Moved(state->playbackChannels, host), host.output.data(),
                              host.hostFrames, &host.outputPosition);
            state->playbackEndPacket = playback.Packet() != nullptr ? playback.Packet() : state->playbackCursorPacket;
            state->playbackEndPosition =
                playback.Packet() != nullptr ? playback.Position() : state->playbackCursorPosition;
        }
        return true;
    }

    // Walks up to `frames` frames of the ring and moves `channels` channels of
    // each: capture into the planar buffers at `host`, or the planar buffers
    // mixed into playback. `position` is the host frame. The walk goes up to
    // the end of the host buffers at a time, so no stretch passes it.
    template <bool kCapture>
    [[gnu::always_inline]] static void MoveStream(RingCursor* cursor, ULONG frames, ULONG channels, int32_t* host,
                                                  uint32_t hostFrames, uint32_t* position) {
        uint32_t at = *position;
        for (ULONG left = frames; left != 0;) {
            ULONG part = left < hostFrames - at ? left : hostFrames - at;
            ULONG walked = cursor->EachRun(part, [&](LONG* samples, ULONG stride, ULONG count) {
                ULONG n = channels < stride ? channels : stride;
                int32_t* column = host + at;
                if (n == 2) {
                    MovePair<kCapture>(samples, stride, count, column, column + hostFrames);
                } else {
                    MoveFrames<kCapture>(samples, stride, count, n, column, hostFrames);
                }
                at += count;
            });
            if (at == hostFrames) at = 0;
            if (walked != part) break;  // the ring ended
            left -= part;
        }
        *position = at;
    }

    // `count` frames of a stereo pair: one column each side, two frames a turn
    // (a packet's six frames take three).
    template <bool kCapture>
    [[gnu::always_inline]] static void MovePair(LONG* samples, ULONG stride, ULONG count, int32_t* left,
                                                int32_t* right) {
#pragma GCC unroll 2
        for (ULONG f = 0; f < count; ++f, samples += stride) {
            if constexpr (kCapture) {
                left[f] = samples[0];
                right[f] = samples[1];
            } else {
                MixSample(&samples[0], left[f]);
                MixSample(&samples[1], right[f]);
            }
        }
    }

    // `count` frames of `n` channels, channel c's column at c * `hostFrames`, a column at a time.
    template <bool kCapture>
    static void MoveFrames(LONG* samples, ULONG stride, ULONG count, ULONG n, int32_t* column, uint32_t hostFrames) {
        for (ULONG c = 0; c < n; ++c, column += hostFrames) {
            LONG* sample = samples + c;
            for (ULONG f = 0; f < count; ++f, sample += stride) {
                if constexpr (kCapture) {
                    column[f] = *sample;
                } else {
                    MixSample(sample, column[f]);
                }
            }
        }
    }

    // The channels the host buffers hold of a stream of `channels`.
    ULONG Moved(ULONG channels, const HostBuffers& host) const {
        ULONG wanted = host.moveChannels != 0 && host.moveChannels < channels ? host.moveChannels : channels;
        return wanted < heldChannels_ ? wanted : heldChannels_;
    }

    static constexpr ULONG kUncounted = ~ULONG{0};

    TestClientLog* log_;
    AudioClientManager* owner_ = nullptr;
    ULONG heldChannels_ = kUncounted;  // of the host buffers, counted at the first move
};

AudioClientManager* Manager(WDFDEVICE fdo) { return GetDeviceExtension(fdo)->clientManager; }

}  // namespace

TEST_EXPORT void* VexaTestAddClient(WDFDEVICE fdo, TestClientLog* log) {
    auto* client = new TestClient(log);
    if (!Manager(fdo)->AddClient(client)) {
        delete client;
        return nullptr;
    }
    return client;
}

TEST_EXPORT NTSTATUS VexaTestStartClient(WDFDEVICE fdo, void* client) {
    return Manager(fdo)->StartClient(static_cast<TestClient*>(client));
}

TEST_EXPORT NTSTATUS VexaTestStopClient(WDFDEVICE fdo, void* client) {
    return Manager(fdo)->StopClient(static_cast<TestClient*>(client));
}

TEST_EXPORT void VexaTestRemoveClient(WDFDEVICE fdo, void* client) {
    auto* testClient = static_cast<TestClient*>(client);
    (void)Manager(fdo)->RemoveClient(testClient);
    delete testClient;
}

TEST_EXPORT void VexaTestPeriod(WDFDEVICE fdo, uint64_t timeNs, uint32_t frames) {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    AudioClientManager::OnRealtimePeriod(Manager(fdo), timeNs, frames);
    KeLowerIrql(irql);
}

TEST_EXPORT void VexaTestProbe(WDFDEVICE fdo, ManagerProbe* probe) {
    AudioClientManager* manager = Manager(fdo);
    probe->periodFrames = manager->PeriodFrames();
    probe->pendingFrames = manager->PendingFrames();
    probe->periodPosition = manager->PeriodPosition();
    probe->resyncs = manager->Resyncs();
    probe->minBufferSize = manager->MinBufferSize();
    probe->maxBufferSize = manager->MaxBufferSize();
    probe->runningClients = manager->CountRunningClients();
}

TEST_EXPORT bool VexaTestSetBufferSize(WDFDEVICE fdo, uint32_t frames) { return Manager(fdo)->SetBufferSize(frames); }

TEST_EXPORT NTSTATUS VexaTestLatencies(WDFDEVICE fdo, uint32_t* input, uint32_t* output) {
    ULONG in = 0;
    ULONG out = 0;
    NTSTATUS status = Manager(fdo)->ComputeLatencies(&in, &out);
    *input = in;
    *output = out;
    return status;
}

TEST_EXPORT void VexaTestSetStreamState(WDFDEVICE fdo, void* streamState) {
    Manager(fdo)->StreamingChanged(static_cast<StreamState*>(streamState));
}

TEST_EXPORT NTSTATUS VexaTestNotifyClients(WDFDEVICE fdo, uint32_t clientEvent) {
    return Manager(fdo)->NotifyAudioClients(clientEvent);
}
