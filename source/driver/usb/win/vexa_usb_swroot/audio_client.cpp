// The audio client factory and the ASIO client's life cycle.
#define LOG_FILE_NUMBER 151

#include "audio_client.h"

#include "logger.h"

using namespace vexa::log;

AudioClient* CreateAudioClient(ULONG type) {
    switch (type) {
        case kClientTypeAsio64:
        case kClientTypeAsio32:
            return new AsioClient(type);
        default:
            // The WDM child's kernel clients come with the child devices.
            TRACE(kLogWarning | kLogAsio, type);
            return nullptr;
    }
}

// DISPATCH_LEVEL under clientLock. Without buffers there is nothing to move.
bool AsioClient::Process(ULONG64, ULONG) { return false; }

void AsioClient::BufferSwitch(ULONG64 timeNs) {
    block_.systemTime = timeNs;
    __atomic_fetch_xor(&block_.bufferIndex, 1, __ATOMIC_ACQ_REL);
    ++block_.switchSequence;
    ULONG started = kAsioClientStarted;
    __atomic_compare_exchange_n(&state_, &started, kAsioClientRunning, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void AsioClient::Notify(ULONG clientEvent) { TRACE(kLogDetail | kLogAsio, clientEvent, State()); }

void AsioClient::Start() {
    block_.bufferIndex = 1;
    __atomic_store_n(&state_, kAsioClientStarted, __ATOMIC_RELEASE);
}

void AsioClient::Stop() {
    if (IsRunning()) __atomic_store_n(&state_, kAsioClientStopped, __ATOMIC_RELEASE);
}

NTSTATUS AsioClient::Close() {
    __atomic_store_n(&state_, kAsioClientClosed, __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

bool AsioClient::IsRunning() {
    ULONG state = State();
    return state == kAsioClientStarted || state == kAsioClientRunning;
}
