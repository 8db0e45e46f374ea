// The period callback: the USB function driver delivers the frames of each
// capture transfer; they are cut at the period boundary and every running
// client moves the same chunk through the shared packet rings, the rest
// carried to the next call.
#define LOG_FILE_NUMBER 155

#include "device/lock_scope.h"
#include "engine/audio_client_manager.h"
#include "engine/stream_ring.h"
#include "logger.h"

using namespace vexa::log;

namespace {

// Frames the device's rings hold: what the clients may lag behind at most.
ULONG RingFrames(const StreamState* state) {
    if (state->captureCursorPacket != nullptr && state->captureChannels != 0) {
        return state->captureRingBytes / (sizeof(LONG) * state->captureChannels);
    }
    if (state->playbackCursorPacket != nullptr && state->playbackChannels != 0) {
        return state->playbackRingBytes / (sizeof(LONG) * state->playbackChannels);
    }
    return 0;
}

// Moves a direction's end `frames` past its cursor, as a client that ran would have.
void AdvanceEnd(RingPacket* cursorPacket, ULONG cursorPosition, ULONG frames, RingPacket** endPacket,
                ULONG* endPosition) {
    if (cursorPacket == nullptr) return;
    RingCursor cursor(cursorPacket, cursorPosition);
    cursor.Skip(frames);
    FollowCursor(cursor, cursorPacket, cursorPosition, endPacket, endPosition);
}

}  // namespace

// DISPATCH_LEVEL, on the USB completion path.
void AudioClientManager::OnRealtimePeriod(PVOID context, ULONG64 timeNs, ULONG frames) {
    auto* manager = static_cast<AudioClientManager*>(context);
    if (manager == nullptr || manager->clientLock_ == nullptr) return;
    SpinLockScope lock(manager->clientLock_);
    manager->Period(timeNs, frames);
}

// Caller holds clientLock_.
void AudioClientManager::Period(ULONG64 timeNs, ULONG frames) {
    ULONG period = periodFrames_;
    if (period == 0) return;
    // A period made shorter meanwhile starts over.
    if (periodPosition_ >= period) WriteULongRelease(&periodPosition_, 0);
    StreamState* state = streamState_;
    ULONG backlog = pendingFrames_ + frames;
    // The ring's size is asked only when frames were carried (it takes a division).
    ULONG ringFrames = state != nullptr && pendingFrames_ != 0 ? RingFrames(state) : 0;
    if (ringFrames != 0 && backlog > ringFrames) {
        // The carried frames no longer fit the ring: skip them rather than fall further behind.
        TRACE_RT(kLogWarning | kLogStream, pendingFrames_, frames, period);
        Resynchronise(state);
        backlog = frames;
    }
    ULONG chunk = period - periodPosition_;
    if (backlog < chunk) chunk = backlog;

    // The ends as the last period left them: a direction whose end no client
    // moves (none runs, or none that runs has channels that way) still follows the period.
    RingPacket* captureEnd = state != nullptr ? state->captureEndPacket : nullptr;
    ULONG capturePosition = state != nullptr ? state->captureEndPosition : 0;
    RingPacket* playbackEnd = state != nullptr ? state->playbackEndPacket : nullptr;
    ULONG playbackPosition = state != nullptr ? state->playbackEndPosition : 0;
    for (ULONG64 i = 0; i < clientCount_; ++i) {
        AudioClient* client = clients_[i];
        if (!client->IsRunning()) continue;
        (void)client->Process(timeNs, chunk);
    }
    if (state != nullptr) {
        if (state->captureEndPacket == captureEnd && state->captureEndPosition == capturePosition) {
            AdvanceEnd(state->captureCursorPacket, state->captureCursorPosition, chunk, &state->captureEndPacket,
                       &state->captureEndPosition);
        }
        if (state->playbackEndPacket == playbackEnd && state->playbackEndPosition == playbackPosition) {
            AdvanceEnd(state->playbackCursorPacket, state->playbackCursorPosition, chunk, &state->playbackEndPacket,
                       &state->playbackEndPosition);
        }
    }
    ULONG position = periodPosition_ + chunk;
    WriteULongRelease(&periodPosition_, position >= period ? 0 : position);
    WriteULongRelease(&pendingFrames_, backlog - chunk);
}

// Caller holds clientLock_: the period starts over, nothing carried.
void AudioClientManager::ResetPeriodLocked() {
    WriteULongRelease(&periodPosition_, 0);
    WriteULongRelease(&pendingFrames_, 0);
}

// Caller holds clientLock_. Both cursors skip the carried frames; the period starts over.
void AudioClientManager::Resynchronise(StreamState* state) {
    for (bool capture : {true, false}) {
        RingPacket** packet = capture ? &state->captureCursorPacket : &state->playbackCursorPacket;
        ULONG* position = capture ? &state->captureCursorPosition : &state->playbackCursorPosition;
        if (*packet == nullptr) continue;
        RingCursor cursor(*packet, *position);
        cursor.Skip(pendingFrames_);
        if (cursor.Packet() == nullptr) continue;
        *packet = cursor.Packet();
        *position = cursor.Position();
    }
    WriteULongRelease(&resyncs_, resyncs_ + 1);
    ResetPeriodLocked();
}
