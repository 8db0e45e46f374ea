// An ASIO client's share of each period: its output mixed into the device's
// playback packets, the capture packets copied into its input buffers, and a
// buffer switch wherever the walk crosses the end of a half. The halves need
// not line up with the periods (another client's create-buffers, a buffer-size
// command or a rate change moves the period), so a walk that reaches a half's
// end goes on in the other half; it never writes outside the double buffer.
#define LOG_FILE_NUMBER 178

#include "asio/asio_client.h"
#include "engine/audio_client_manager.h"
#include "engine/stream_ring.h"
#include "logger.h"

using namespace vexa::log;

namespace {

// Stretches of packets collected per pass: at 48 kHz eight cover a 1 ms call.
constexpr ULONG kRunsPerPass = 32;

// Walks one channel through the runs, `position` the buffer index of their
// first frame: `stretch(samples, stride, buffer, frames)` gets each part that
// is contiguous in the double buffer (a run is cut where the buffer wraps).
// A channel the packets do not hold (the device lost it) gets null samples.
template <typename Stretch>
void WalkChannel(const RingCursor::Run* runs, ULONG count, ULONG ringIndex, LONG* buffer, ULONG position,
                 ULONG doubleBufferSamples, Stretch&& stretch) {
    for (ULONG r = 0; r < count; ++r) {
        const RingCursor::Run& run = runs[r];
        LONG* samples = ringIndex < run.stride ? run.samples + ringIndex : nullptr;
        for (ULONG left = run.frames; left != 0;) {
            ULONG part = doubleBufferSamples - position < left ? doubleBufferSamples - position : left;
            stretch(samples, run.stride, buffer + position, part);
            if (samples != nullptr) samples += part * run.stride;
            position += part;
            if (position == doubleBufferSamples) position = 0;
            left -= part;
        }
    }
}

// Adds a stretch of the client's output into the packets (clipping at the
// 32-bit limits) and clears it: a half the host does not fill again plays silence.
inline void MixStretch(LONG* samples, ULONG stride, LONG* buffer, ULONG frames) {
    if (samples == nullptr) {
        RtlZeroMemory(buffer, frames * sizeof(LONG));
        return;
    }
    for (ULONG k = 0; k < frames; ++k, samples += stride) {
        MixSample(samples, buffer[k]);
        buffer[k] = 0;
    }
}

// Copies a stretch of capture into the client's input: every client reads the same samples.
inline void CopyStretch(LONG* samples, ULONG stride, LONG* buffer, ULONG frames) {
    if (samples == nullptr) {
        RtlZeroMemory(buffer, frames * sizeof(LONG));
        return;
    }
    for (ULONG k = 0; k < frames; ++k, samples += stride) buffer[k] = *samples;
}

// Walks one direction's packets from the cursor for `frames`, each of the
// client's channels in `list` through `stretch`, and leaves the end where the
// walk stopped: the next client of the period starts there.
template <typename Stretch>
void WalkDirection(ULONG channels, RingPacket* cursorPacket, ULONG cursorPosition, const AsioChannelMap* list,
                   ULONG start, ULONG frames, ULONG doubleBufferSamples, Stretch&& stretch, RingPacket** endPacket,
                   ULONG* endPosition) {
    if (channels == 0 || cursorPacket == nullptr) {
        TRACE_RT(kLogError | kLogAsio, channels);
        return;
    }
    RingCursor cursor(cursorPacket, cursorPosition);
    RingCursor::Run runs[kRunsPerPass];
    ULONG position = start;
    for (ULONG done = 0; done < frames;) {
        ULONG walked = 0;
        ULONG count = cursor.Runs(frames - done, runs, kRunsPerPass, &walked);
        if (count == 0) {
            TRACE_RT(kLogWarning | kLogAsio, frames, done);
            break;
        }
        for (const AsioChannelMap* map = list; map != nullptr; map = map->next) {
            WalkChannel(runs, count, map->ringIndex, map->buffer, position, doubleBufferSamples, stretch);
        }
        position = static_cast<ULONG>((ULONG64{position} + walked) % doubleBufferSamples);
        done += walked;
    }
    FollowCursor(cursor, cursorPacket, cursorPosition, endPacket, endPosition);
}

}  // namespace

// DISPATCH_LEVEL, under clientLock. Allocates nothing, waits for nothing.
bool AsioClient::Process(ULONG64 timeNs, ULONG frames) {
    if (!IsRunning() || doubleBufferSamples_ == 0) return false;
    StreamState* state = owner_ != nullptr ? owner_->StreamingState() : nullptr;
    ULONG start = halfPosition_;
    if (state != nullptr && frames != 0) {
        // Only a direction this client has channels in is walked, so its end
        // fields keep what the clients with channels there left.
        if (outputList_ != nullptr) {
            WalkDirection(state->playbackChannels, state->playbackCursorPacket, state->playbackCursorPosition,
                          outputList_, start, frames, doubleBufferSamples_, MixStretch, &state->playbackEndPacket,
                          &state->playbackEndPosition);
        }
        if (inputList_ != nullptr) {
            WalkDirection(state->captureChannels, state->captureCursorPacket, state->captureCursorPosition,
                          inputList_, start, frames, doubleBufferSamples_, CopyStretch, &state->captureEndPacket,
                          &state->captureEndPosition);
        }
    }
    // Every half end the frames reach is a switch.
    ULONG64 reached = ULONG64{start % bufferSize_} + frames;
    halfPosition_ = static_cast<ULONG>((ULONG64{start} + frames) % doubleBufferSamples_);
    for (ULONG64 ends = reached / bufferSize_; ends != 0; --ends) BufferSwitch(timeNs);
    return true;
}
