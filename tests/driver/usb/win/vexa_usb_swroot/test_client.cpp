// The test client and its hooks, in the root driver's test image.
#include "test_client.h"

#include "root.h"
#include "stream_ring.h"

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
            ULONG channels = state->captureChannels;
            ULONG playbackChannels = state->playbackChannels;
            ULONG walked = capture.Walk(frames, [&](LONG* samples, ULONG stride) {
                Check(samples, channels < stride ? channels : stride, playbackChannels);
            });
            if (walked != frames) ++log_->shortWalks;
            state->captureEndPacket = capture.Packet() != nullptr ? capture.Packet() : state->captureCursorPacket;
            state->captureEndPosition = capture.Packet() != nullptr ? capture.Position() : state->captureCursorPosition;
        }
        if (state->playbackCursorPacket != nullptr) {
            RingCursor playback(state->playbackCursorPacket, state->playbackCursorPosition);
            ULONG channels = state->playbackChannels;
            ULONG walked = playback.Walk(frames, [&](LONG* samples, ULONG stride) {
                ULONG n = channels < stride ? channels : stride;
                for (ULONG c = 0; c < n; ++c) MixSample(&samples[c], log_->ramp ? RampValue(log_->produced, c) : log_->constant);
                ++log_->produced;
            });
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
    bool IsRunning() override {
        std::lock_guard guard(log_->lock);
        return log_->running;
    }
    ULONG Type() const override { return log_->kind; }
    void SetOwner(AudioClientManager* owner) override { owner_ = owner; }
    void SetLatencies(ULONG input, ULONG output) override {
        std::lock_guard guard(log_->lock);
        log_->inputLatency = input;
        log_->outputLatency = output;
    }

private:
    void set_running(bool running) {
        std::lock_guard guard(log_->lock);
        log_->running = running;
    }

    // One capture frame: silence until the ramp comes back, then the ramp at one latency.
    void Check(const LONG* samples, ULONG channels, ULONG playbackChannels) {
        uint64_t index = log_->captured++;
        if (!log_->ramp || channels == 0) return;
        if (log_->latency < 0 && samples[0] != 0) {
            uint64_t frame = (static_cast<uint32_t>(samples[0]) >> 8) - 1;
            log_->latency = static_cast<int64_t>(index) - static_cast<int64_t>(frame);
        }
        for (ULONG c = 0; c < channels; ++c) {
            LONG expected = 0;
            if (log_->latency >= 0 && c < playbackChannels) {
                expected = RampValue(index - static_cast<uint64_t>(log_->latency), c);
            }
            if (samples[c] != expected) {
                if (log_->firstMismatch < 0) log_->firstMismatch = static_cast<int64_t>(index);
                ++log_->mismatches;
            }
        }
    }

    // The samples a real client moves, and nothing else.
    bool Move(ULONG frames) {
        ++log_->periods;
        log_->frames += frames;
        StreamState* state = owner_ != nullptr ? owner_->StreamingState() : nullptr;
        if (state == nullptr) return true;
        HostBuffers& host = log_->host;
        if (state->captureCursorPacket != nullptr && host.hostFrames != 0) {
            RingCursor capture(state->captureCursorPacket, state->captureCursorPosition);
            ULONG channels = Moved(state->captureChannels, host);
            capture.Walk(frames, [&](LONG* samples, ULONG stride) {
                ULONG n = channels < stride ? channels : stride;
                int32_t* column = host.input.data() + host.inputPosition;
                for (ULONG c = 0; c < n; ++c) column[size_t{c} * host.hostFrames] = samples[c];
                if (++host.inputPosition == host.hostFrames) host.inputPosition = 0;
            });
            state->captureEndPacket = capture.Packet() != nullptr ? capture.Packet() : state->captureCursorPacket;
            state->captureEndPosition = capture.Packet() != nullptr ? capture.Position() : state->captureCursorPosition;
        }
        if (state->playbackCursorPacket != nullptr && host.hostFrames != 0) {
            RingCursor playback(state->playbackCursorPacket, state->playbackCursorPosition);
            ULONG channels = Moved(state->playbackChannels, host);
            playback.Walk(frames, [&](LONG* samples, ULONG stride) {
                ULONG n = channels < stride ? channels : stride;
                const int32_t* column = host.output.data() + host.outputPosition;
                for (ULONG c = 0; c < n; ++c) MixSample(&samples[c], column[size_t{c} * host.hostFrames]);
                if (++host.outputPosition == host.hostFrames) host.outputPosition = 0;
            });
            state->playbackEndPacket = playback.Packet() != nullptr ? playback.Packet() : state->playbackCursorPacket;
            state->playbackEndPosition =
                playback.Packet() != nullptr ? playback.Position() : state->playbackCursorPosition;
        }
        return true;
    }

    // The channels the host buffers hold of a stream of `channels`.
    static ULONG Moved(ULONG channels, const HostBuffers& host) {
        ULONG held = host.hostFrames == 0 ? 0 : static_cast<ULONG>(host.input.size() / host.hostFrames);
        ULONG wanted = host.moveChannels != 0 && host.moveChannels < channels ? host.moveChannels : channels;
        return wanted < held ? wanted : held;
    }

    TestClientLog* log_;
    AudioClientManager* owner_ = nullptr;
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
