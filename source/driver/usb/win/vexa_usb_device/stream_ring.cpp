// The ring: one circle of RingPacket records over a stream's buffer, URB 0
// packets 0-7, URB 1 packets 0-7, ..., back to URB 0. While streaming, the
// completion path writes the packets (playback layout, capture counts) and
// the cursors in StreamState, and the root driver's clients write the ends
// inside the period callback on that same path; the format command places
// cursors and ends only while no stream runs. So StreamState needs no lock.
#include "stream.h"

#include "logger.h"
#include "status_error.h"

#define LOG_FILE_NUMBER 467

using namespace vexa::log;

namespace {

constexpr ULONG kFallbackResyncUrb = 2;

// Counts what a capture URB brought: counting stops at the first empty
// packet, and it and every packet after it carry nothing this time. The
// packets' data pointers stay where the ring was built: capture offsets do not move.
void CountCaptureFrames(IsoStream* stream, IsoUrbContext* context) {
    const USBD_ISO_PACKET_DESCRIPTOR* iso = context->urb->UrbIsochronousTransfer.IsoPacket;
    const ULONG count = context->packetCount;
    const ULONG maxPacketSize = stream->maxPacketSize;
    const ULONG bytesPerFrame = stream->bytesPerFrame;
    const ULONG channels = stream->channels;
    // The URB's records are neighbours in the ring block.
    RingPacket* packets = context->firstPacket;
    ULONG urbFrames = 0;
    // A URB's packets mostly share a length: divide only where it changes.
    ULONG lastLength = 0;
    ULONG lastFrames = 0;
    ULONG k = 0;
    for (; k < count; ++k) {
        ULONG length = std::min(iso[k].Length, maxPacketSize);
        if (length != lastLength) {
            lastLength = length;
            lastFrames = length / bytesPerFrame;
        }
        if (lastFrames == 0) break;
        packets[k].frames = lastFrames;
        packets[k].samples = lastFrames * channels;
        urbFrames += lastFrames;
    }
    for (; k < count; ++k) {
        packets[k].frames = 0;
        packets[k].samples = 0;
    }
    context->frames = urbFrames;
    if (urbFrames == 0) TRACE_RT(kLogWarning | kLogStream, context->urbIndex);
}

void ClearPackets(IsoUrbContext* context) {
    RingPacket* packet = context->firstPacket;
    for (ULONG k = 0; k < context->packetCount; ++k, packet = packet->next) {
        packet->frames = 0;
        packet->samples = 0;
    }
    context->frames = 0;
}

// The clients' next period starts where their last one ended.
void PublishCursor(StreamStateHalf half) {
    if (half.endPacket == nullptr || half.channels == 0) return;
    if (half.endPosition / half.channels == half.endPacket->frames) {
        half.cursorPacket = half.endPacket->next;
        half.cursorPosition = 0;
    } else {
        half.cursorPacket = half.endPacket;
        half.cursorPosition = half.endPosition;
    }
}

}  // namespace

StreamStateHalf HalfOf(StreamState& s, bool output) {
    if (output) {
        return {s.playbackCursorPacket, s.playbackCursorPosition, s.playbackEndPacket,
                s.playbackEndPosition,  s.playbackChannels,       s.playbackRingBytes,
                s.reserved100,          s.playbackPeriodFrames,   s.playbackPeriodSamples};
    }
    return {s.captureCursorPacket, s.captureCursorPosition, s.captureEndPacket,
            s.captureEndPosition,  s.captureChannels,       s.captureRingBytes,
            s.reserved36,          s.capturePeriodFrames,   s.capturePeriodSamples};
}

void PlaceHalf(StreamStateHalf half, RingPacket* packet, ULONG position) {
    half.cursorPacket = packet;
    half.endPacket = packet;
    half.cursorPosition = position;
    half.endPosition = position;
}

void BuildRing(IsoStream* stream) {
    ULONG sliceBytes = stream->framesPerUrb * stream->maxPacketSize * kPacketsPerFrame;
    ULONG perUrb = kPacketsPerFrame * stream->framesPerUrb;
    ULONG count = kUrbCount * perUrb;
    // The whole circle in one block, in ring order: a URB's layout and a
    // period's walk touch neighbouring records, not one allocation each.
    auto* packets =
        static_cast<RingPacket*>(ExAllocatePoolWithTag(g_nonPagedPool, count * sizeof(RingPacket), kPoolTagObject));
    if (packets == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    RtlZeroMemory(packets, count * sizeof(RingPacket));
    for (ULONG n = 0; n < count; ++n) packets[n].next = &packets[n + 1 == count ? 0 : n + 1];
    stream->ringHead = packets;
    for (ULONG i = 0; i < kUrbCount; ++i) {
        auto* context =
            static_cast<IsoUrbContext*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(IsoUrbContext), kPoolTagObject));
        if (context == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        RtlZeroMemory(context, sizeof(*context));
        context->stream = stream;
        stream->urbs[i] = context;
        RaiseIfFailed(IsoUrbCreate(stream, context, perUrb, i, stream->buffer + i * sliceBytes, sliceBytes));
        context->firstPacket = &packets[i * perUrb];
        for (ULONG k = 0; k < context->packetCount; ++k) {
            RingPacket* packet = &packets[i * perUrb + k];
            packet->urbIndex = i;
            packet->data = reinterpret_cast<LONG*>(context->bufferSlice +
                                                   context->urb->UrbIsochronousTransfer.IsoPacket[k].Offset);
        }
        if (stream->isOutput) RelayPlaybackUrb(stream, context);
    }
}

void FreeRing(IsoStream* stream) {
    if (stream->ringHead != nullptr) ExFreePoolWithTag(stream->ringHead, kPoolTagObject);
    stream->ringHead = nullptr;
}

// Packet lengths follow the rate accumulator, packets are contiguous from the
// slice start. A layout that would not fit the slice keeps the previous one whole.
void RelayPlaybackUrb(IsoStream* stream, IsoUrbContext* context) {
    URB_ISOCH_TRANSFER& urb = context->urb->UrbIsochronousTransfer;
    const ULONG count = context->packetCount;
    const ULONG increment = stream->rateIncrement;
    const ULONG bytesPerFrame = stream->bytesPerFrame;
    const ULONG channels = stream->channels;
    ULONG accumulator = stream->rateAccumulator;
    // A packet carries at most (0xFFFF + increment) >> 16 frames: only when
    // that many in every packet could overflow the slice is the total counted first.
    ULONG64 mostBytes = static_cast<ULONG64>(count) * ((0xFFFFull + increment) >> 16) * bytesPerFrame;
    if (mostBytes > context->sliceBytes) {
        ULONG total = 0;
        for (ULONG k = 0; k < count; ++k) {
            accumulator += increment;
            total += (accumulator >> 16) * bytesPerFrame;
            accumulator &= 0xFFFF;
        }
        if (total > context->sliceBytes) {
            stream->rateAccumulator = accumulator;
            TRACE_RT(kLogError | kLogStream, total, context->sliceBytes);
            return;
        }
        accumulator = stream->rateAccumulator;
    }
    ULONG offset = 0;
    ULONG urbFrames = 0;
    RingPacket* packets = context->firstPacket;  // the URB's records are neighbours in the ring block
    if ((increment & 0xFFFF) == 0 && accumulator == 0) {
        // A whole number of frames per packet (48 kHz, 96 kHz, ...): every packet carries the same.
        const ULONG frames = increment >> 16;
        const ULONG length = frames * bytesPerFrame;
        const ULONG samples = frames * channels;
        for (ULONG k = 0; k < count; ++k) {
            urb.IsoPacket[k].Offset = offset;
            urb.IsoPacket[k].Length = length;
            packets[k].frames = frames;
            packets[k].samples = samples;
            packets[k].data = reinterpret_cast<LONG*>(context->bufferSlice + offset);
            offset += length;
        }
        context->frames = frames * count;
        context->transferBytes = offset;
        return;
    }
    for (ULONG k = 0; k < count; ++k) {
        accumulator += increment;
        ULONG frames = accumulator >> 16;
        accumulator &= 0xFFFF;
        ULONG length = frames * bytesPerFrame;
        urb.IsoPacket[k].Offset = offset;
        urb.IsoPacket[k].Length = length;
        packets[k].frames = frames;
        packets[k].samples = frames * channels;  // the length's samples, without a division
        packets[k].data = reinterpret_cast<LONG*>(context->bufferSlice + offset);
        offset += length;
        urbFrames += frames;
    }
    stream->rateAccumulator = accumulator;
    context->frames = urbFrames;
    context->transferBytes = offset;
}

void RecycleUrb(IsoStream* stream, IsoUrbContext* context, bool transferred) {
    if (stream->isOutput) {
        RelayPlaybackUrb(stream, context);
        RtlZeroMemory(context->bufferSlice, context->transferBytes);
    } else if (transferred) {
        CountCaptureFrames(stream, context);
    } else {
        ClearPackets(context);
    }
}

void RingResync(UsbFunctionDevice* device, ULONG urbIndex, bool resetCapture) {
    StreamState& state = device->streamState;
    if (urbIndex >= kUrbCount) {
        TRACE_RT(kLogError | kLogStream, urbIndex);
        urbIndex = kFallbackResyncUrb;
    }
    if (IsoStream* playback = device->playbackStream; playback != nullptr && playback->urbs[urbIndex] != nullptr) {
        ULONG offset =
            SafetyFrames(device->streamFormat.sampleRate, ReadULongNoFence(&device->streamFormat.operationMode));
        RingPacket* packet = playback->urbs[urbIndex]->firstPacket;
        // One circle at most: a ring of empty packets has nowhere to stop.
        for (ULONG n = 0; n < kUrbCount * kPacketsPerFrame * playback->framesPerUrb && offset >= packet->frames; ++n) {
            offset -= packet->frames;
            packet = packet->next;
        }
        if (offset >= packet->frames) offset = 0;
        PlaceHalf(HalfOf(state, true), packet, offset * state.playbackChannels);
    }
    IsoStream* capture = device->captureStream;
    if (resetCapture && capture != nullptr && capture->urbs[urbIndex] != nullptr) {
        PlaceHalf(HalfOf(state, false), capture->urbs[urbIndex]->firstPacket, 0);
    }
}

// Both streams' completions come on one path, so the playback URB read here is not being rewritten.
bool ProducerBehind(UsbFunctionDevice* device, ULONG urbStartFrame, bool frameKnown, ULONG current) {
    IsoStream* playback = device->playbackStream;
    RingPacket* cursor = device->streamState.playbackCursorPacket;
    if (!frameKnown || playback == nullptr || cursor == nullptr || cursor->urbIndex >= kUrbCount) return false;
    if (static_cast<LONG>(current - urbStartFrame) < 0) return false;
    ULONG cursorStart = playback->urbs[cursor->urbIndex]->urb->UrbIsochronousTransfer.StartFrame;
    return static_cast<LONG>(cursorStart - current) <= 0;
}

void PublishCursors(StreamState& state) {
    PublishCursor(HalfOf(state, true));
    PublishCursor(HalfOf(state, false));
}
