// The kernel audio clients: stream rings, the period callback's part, the
// transfer the child calls, and start and stop.
#define LOG_FILE_NUMBER 172

#include "children/kernel_audio_client.h"

#include "children/wdm_adapter.h"
#include "engine/audio_client_manager.h"
#include "engine/stream_ring.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"

using namespace vexa::log;
using namespace vexa::child;

namespace {

constexpr ULONG kBytes16 = 2;
constexpr ULONG kBytes24 = 3;
constexpr ULONG kMillisecondsPerSecond = 1000;

// A child sample into a ring sample: the audio in the top bits.
inline LONG FromChild(const UCHAR* p, ULONG bytesPerSample) {
    if (bytesPerSample == kBytes16) return static_cast<LONG>((ULONG{p[0]} | ULONG{p[1]} << 8) << 16);
    return static_cast<LONG>(ULONG{p[0]} << 8 | ULONG{p[1]} << 16 | ULONG{p[2]} << 24);
}

// A ring sample back: its top 16 bits or its top three bytes, little-endian.
inline void ToChild(LONG sample, UCHAR* p, ULONG bytesPerSample) {
    auto bits = static_cast<ULONG>(sample);
    if (bytesPerSample == kBytes16) {
        p[0] = static_cast<UCHAR>(bits >> 16);
        p[1] = static_cast<UCHAR>(bits >> 24);
        return;
    }
    p[0] = static_cast<UCHAR>(bits >> 8);
    p[1] = static_cast<UCHAR>(bits >> 16);
    p[2] = static_cast<UCHAR>(bits >> 24);
}

}  // namespace

KernelAudioClient* CreateKernelAudioClient(ULONG type) {
    if (type != kClientTypeKernel && type != kClientTypeKernelRender && type != kClientTypeKernelCapture) {
        return nullptr;
    }
    return new KernelAudioClient(type);
}

KernelAudioClient::~KernelAudioClient() { (void)Close(); }

// PASSIVE_LEVEL, before the client is added to the manager.
NTSTATUS KernelAudioClient::OpenStreamRings(const WdmOpenStream& request, const ULONG* channelMap) {
    (void)Close();
    channelCount_ = request.channelCount;
    bytesPerSample_ = request.bitsPerSample / 8;
    sampleRate_ = request.sampleRate;
    childContext_ = reinterpret_cast<PVOID>(request.streamContext);
    childCallback_ = reinterpret_cast<WdmStreamCallbackFn>(request.streamCallback);
    if (sampleRate_ == 0 || channelCount_ == 0 || channelCount_ > kWdmMaxChannels ||
        (bytesPerSample_ != kBytes16 && bytesPerSample_ != kBytes24) || channelMap == nullptr ||
        childCallback_ == nullptr) {
        channelCount_ = 0;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG64 length = ULONG64{sampleRate_} * channelCount_ * kRingMilliseconds / kMillisecondsPerSecond;
    if (length < 2 || length > 0x7FFFFFFF / sizeof(LONG)) {
        channelCount_ = 0;
        return STATUS_INVALID_PARAMETER;
    }
    ringLength_ = static_cast<ULONG>(length);
    for (ULONG i = 0; i < channelCount_; ++i) {
        KernelChannelRecord& record = channels_[i];
        record.streamChannel = i;
        record.mappedChannel = channelMap[i];
        if (record.mappedChannel == kUnmappedChannel) {
            TRACE(kLogError | kLogWdm, i);
            (void)Close();
            return STATUS_INVALID_PARAMETER;
        }
        void* ring = ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T{ringLength_} * sizeof(LONG), kWdmPoolTag);
        if (ring == nullptr) {
            (void)Close();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(ring, SIZE_T{ringLength_} * sizeof(LONG));
        record.samples = static_cast<volatile LONG*>(ring);
    }
    streamKind_ = type_;
    Rewind();
    TRACE(kLogInfo | kLogWdm, type_, channelCount_, sampleRate_, ringLength_);
    return STATUS_SUCCESS;
}

void KernelAudioClient::Rewind() {
    for (ULONG c = 0; c < channelCount_; ++c) {
        for (ULONG i = 0; i < ringLength_; ++i) WriteNoFence(&channels_[c].samples[i], 0);
    }
    // The reader starts half a ring behind the writer, on silence.
    WriteULongRelease(&writeIndex_, 0);
    WriteULongRelease(&readIndex_, ringLength_ / 2);
    WriteULongRelease(&read_, 0);
    WriteULongRelease(&written_, ringLength_ / 2);
}

NTSTATUS KernelAudioClient::Close() {
    for (ULONG i = 0; i < channelCount_; ++i) {
        if (channels_[i].samples != nullptr) {
            ExFreePoolWithTag(const_cast<LONG*>(channels_[i].samples), kWdmPoolTag);
            channels_[i].samples = nullptr;
        }
    }
    channelCount_ = 0;
    return STATUS_SUCCESS;
}

void KernelAudioClient::Start() { WriteRelease(&running_, 1); }

void KernelAudioClient::Stop() {
    WriteRelease(&running_, 0);
    WriteULongRelease(&wdmStreamState_, kStateStopped);
}

// Under clientLock (up to DISPATCH_LEVEL): the adapter hands it on at PASSIVE_LEVEL.
void KernelAudioClient::Notify(ULONG clientEvent) {
    if (type_ == kClientTypeKernel && adapter_ != nullptr) adapter_->QueueChildNotification(clientEvent);
}

void KernelAudioClient::LogNoChannels() {
    if (InterlockedExchange(&noChannelsLogged_, 1) != 0) return;
    TRACE_RT(kLogError | kLogWdm, type_, channelCount_);
    PDEVICE_OBJECT device = adapter_ != nullptr ? adapter_->ChildDeviceObject() : nullptr;
    if (device != nullptr) LogEvent(device, kMajorPnp, MSG_NO_CHANNELS, STATUS_INVALID_PARAMETER);
}

// Every run is counted; the 1st, 2nd, 4th, 8th ... traced, so a child that keeps
// running over does not flood the realtime ring.
void KernelAudioClient::CountXrun(volatile LONG* counter, ULONG wanted, ULONG moved) {
    LONG count = InterlockedIncrement(counter);
    if ((count & (count - 1)) == 0) TRACE_RT(kLogWarning | kLogWdm, type_, wanted, moved, count);
}

// DISPATCH_LEVEL, under clientLock.
bool KernelAudioClient::Process(ULONG64, ULONG frames) {
    if (streamKind_ == kClientTypeKernel) return false;  // the adapter's own client moves nothing
    if (channelCount_ == 0) {
        LogNoChannels();
        return false;
    }
    if (ReadAcquire(&running_) == 0) return false;
    StreamState* state = owner_ != nullptr ? owner_->StreamingState() : nullptr;
    if (state == nullptr) return false;
    if (streamKind_ == kClientTypeKernelRender) {
        if (state->playbackChannels == 0 || state->playbackCursorPacket == nullptr) {
            LogNoChannels();
            return false;
        }
        RenderPeriod(state, frames);
    } else {
        if (state->captureChannels == 0 || state->captureCursorPacket == nullptr) {
            LogNoChannels();
            return false;
        }
        CapturePeriod(state, frames);
    }
    childCallback_(childContext_, frames * channelCount_ * bytesPerSample_);
    return false;
}

// The reader of a render ring: each ring sample is mixed into its channel of
// the packets (a channel the packets lack is dropped) and cleared.
void KernelAudioClient::RenderPeriod(StreamState* state, ULONG frames) {
    ULONG read = ReadULongNoFence(&read_);
    ULONG available = ReadULongAcquire(&written_) - read;
    ULONG take = frames < available ? frames : available;
    if (take < frames) CountXrun(&underruns_, frames, take);
    ULONG index = ReadULongNoFence(&readIndex_);
    ULONG moved = 0;
    RingCursor cursor(state->playbackCursorPacket, state->playbackCursorPosition);
    cursor.Walk(frames, [&](LONG* samples, ULONG stride) {
        if (moved == take) return;  // past the audio the child gave: silence
        for (ULONG c = 0; c < channelCount_; ++c) {
            volatile LONG* slot = channels_[c].samples + index;
            LONG value = ReadNoFence(slot);
            WriteNoFence(slot, 0);
            if (c < stride) MixSample(&samples[c], value);
        }
        index = Advance(index);
        ++moved;
    });
    WriteULongNoFence(&readIndex_, index);
    WriteULongRelease(&read_, read + moved);
    FollowCursor(cursor, state->playbackCursorPacket, state->playbackCursorPosition, &state->playbackEndPacket,
                 &state->playbackEndPosition);
}

// The writer of a capture ring: each channel of the packets is copied into
// its ring (a channel the packets lack gets silence).
void KernelAudioClient::CapturePeriod(StreamState* state, ULONG frames) {
    ULONG written = ReadULongNoFence(&written_);
    ULONG room = ringLength_ - (written - ReadULongAcquire(&read_));
    ULONG put = frames < room ? frames : room;
    if (put < frames) CountXrun(&overruns_, frames, put);
    ULONG index = ReadULongNoFence(&writeIndex_);
    ULONG moved = 0;
    RingCursor cursor(state->captureCursorPacket, state->captureCursorPosition);
    cursor.Walk(frames, [&](LONG* samples, ULONG stride) {
        if (moved == put) return;  // the child has not read what is there: the newest frames are dropped
        for (ULONG c = 0; c < channelCount_; ++c) WriteNoFence(channels_[c].samples + index, c < stride ? samples[c] : 0);
        index = Advance(index);
        ++moved;
    });
    WriteULongNoFence(&writeIndex_, index);
    WriteULongRelease(&written_, written + moved);
    FollowCursor(cursor, state->captureCursorPacket, state->captureCursorPosition, &state->captureEndPacket,
                 &state->captureEndPosition);
}

// The writer of a render ring: interleaved child frames into the rings.
void KernelAudioClient::TransferIn(const UCHAR* buffer, ULONG frames) {
    ULONG written = ReadULongNoFence(&written_);
    ULONG room = ringLength_ - (written - ReadULongAcquire(&read_));
    ULONG put = frames < room ? frames : room;
    if (put < frames) CountXrun(&overruns_, frames, put);  // the newest frames are dropped
    ULONG index = ReadULongNoFence(&writeIndex_);
    for (ULONG f = 0; f < put; ++f) {
        for (ULONG c = 0; c < channelCount_; ++c) {
            WriteNoFence(channels_[c].samples + index, FromChild(buffer, bytesPerSample_));
            buffer += bytesPerSample_;
        }
        index = Advance(index);
    }
    WriteULongNoFence(&writeIndex_, index);
    WriteULongRelease(&written_, written + put);
}

// The reader of a capture ring: ring frames into the child's buffer, cleared
// behind; what the ring does not hold yet goes out as silence.
void KernelAudioClient::TransferOut(UCHAR* buffer, ULONG frames) {
    ULONG read = ReadULongNoFence(&read_);
    ULONG available = ReadULongAcquire(&written_) - read;
    ULONG take = frames < available ? frames : available;
    if (take < frames) CountXrun(&underruns_, frames, take);
    ULONG index = ReadULongNoFence(&readIndex_);
    for (ULONG f = 0; f < take; ++f) {
        for (ULONG c = 0; c < channelCount_; ++c) {
            volatile LONG* slot = channels_[c].samples + index;
            ToChild(ReadNoFence(slot), buffer, bytesPerSample_);
            WriteNoFence(slot, 0);
            buffer += bytesPerSample_;
        }
        index = Advance(index);
    }
    RtlZeroMemory(buffer, SIZE_T{frames - take} * channelCount_ * bytesPerSample_);
    WriteULongNoFence(&readIndex_, index);
    WriteULongRelease(&read_, read + take);
}

// The child's context, up to DISPATCH_LEVEL: whole frames only.
void KernelAudioClient::WdmStreamTransfer(PVOID client, UCHAR* buffer, ULONG bytes) {
    auto* self = static_cast<KernelAudioClient*>(client);
    if (self == nullptr || buffer == nullptr || bytes == 0 || self->channelCount_ == 0) return;
    ULONG frames = bytes / (self->channelCount_ * self->bytesPerSample_);
    if (self->streamKind_ == kClientTypeKernelRender) {
        self->TransferIn(buffer, frames);
    } else if (self->streamKind_ == kClientTypeKernelCapture) {
        self->TransferOut(buffer, frames);
    }
}

// PASSIVE_LEVEL, in the child's context.
NTSTATUS KernelAudioClient::WdmStreamSetState(PVOID client, ULONG state) {
    PAGED_CODE();
    auto* self = static_cast<KernelAudioClient*>(client);
    if (self == nullptr || self->owner_ == nullptr) return STATUS_INVALID_PARAMETER;
    TRACE(kLogInfo | kLogWdm, self->type_, state);
    if (state == kWdmStateRun) {
        // A stream that starts again starts on silence, not on what it left in the rings.
        if (ReadAcquire(&self->running_) == 0) self->Rewind();
        WriteULongRelease(&self->wdmStreamState_, state);
        return self->owner_->StartClient(self);
    }
    WriteULongRelease(&self->wdmStreamState_, state);
    if (state == kWdmStateStop) return self->owner_->StopClient(self);
    return STATUS_SUCCESS;  // only stored
}
