// The audio client factory and the ASIO client's life cycle.
#define LOG_FILE_NUMBER 151

#include "audio_client.h"

#include "kernel_audio_client.h"
#include "logger.h"

using namespace vexa::log;

namespace {

// The host reads the index without a lock while it may change: one
// interlocked step from the half just played to the other.
void FlipBufferIndex(volatile LONG* index) {
    LONG seen;
    do {
        seen = ReadNoFence(index);
    } while (InterlockedCompareExchange(index, seen ^ 1, seen) != seen);
}

}  // namespace

AudioClient* CreateAudioClient(ULONG type) {
    switch (type) {
        case kClientTypeAsio64:
        case kClientTypeAsio32:
            return new AsioClient(type);
        case kClientTypeKernel:
        case kClientTypeKernelRender:
        case kClientTypeKernelCapture:
            return CreateKernelAudioClient(type);
        default:
            TRACE(kLogWarning | kLogAsio, type);
            return nullptr;
    }
}

// DISPATCH_LEVEL under clientLock. Without buffers there is nothing to move.
bool AsioClient::Process(ULONG64, ULONG) { return false; }

// Under clientLock: the one writer of the time and the sequence. The host
// reads the block without a lock; the sequence, written last with release
// order, says the time and the index before it are there.
void AsioClient::BufferSwitch(ULONG64 timeNs) {
    block_.systemTime = timeNs;
    FlipBufferIndex(&block_.bufferIndex);
    WriteULongRelease(&block_.switchSequence, block_.switchSequence + 1);
    InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&state_), kAsioClientRunning, kAsioClientStarted);
}

void AsioClient::Notify(ULONG clientEvent) { TRACE(kLogDetail | kLogAsio, clientEvent, State()); }

void AsioClient::Start() {
    WriteRelease(&block_.bufferIndex, 1);
    WriteULongRelease(&state_, kAsioClientStarted);
}

void AsioClient::Stop() {
    if (IsRunning()) WriteULongRelease(&state_, kAsioClientStopped);
}

NTSTATUS AsioClient::Close() {
    WriteULongRelease(&state_, kAsioClientClosed);
    return STATUS_SUCCESS;
}

bool AsioClient::IsRunning() {
    ULONG state = State();
    return state == kAsioClientStarted || state == kAsioClientRunning;
}
