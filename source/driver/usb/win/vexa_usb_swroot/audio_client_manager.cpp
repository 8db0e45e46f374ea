// The audio client manager: client slots, counts by kind and the buffer-size rules.
#define LOG_FILE_NUMBER 150

#include "audio_client_manager.h"

#include "audio_engine.h"
#include "pal_client_manager.h"
#include "event_log.h"
#include "lock_scope.h"
#include "logger.h"
#include "public/messages.h"

using namespace vexa::log;

namespace {

constexpr ULONG kBand0TopRate = 48000;
constexpr ULONG kBand1TopRate = 96000;
constexpr ULONG kMinBufferFrames = 48;    // at band 0; doubled per band
constexpr ULONG kMaxBufferFrames = 2048;  // at band 0; doubled per band

}  // namespace

bool AudioClientArbiter::MayChangeFormat(ULONG kind) const {
    switch (kind) {
        case kClientTypeAsio64:
        case kClientTypeAsio32:
            return AsioClientCount() <= 1;
        case kClientTypeKernelRender:
            return AsioClientCount() == 0 && CaptureClientCount() == 0 && RenderClientCount() <= 1;
        case kClientTypeKernelCapture:
            return AsioClientCount() == 0 && RenderClientCount() == 0 && CaptureClientCount() <= 1;
        default:
            return true;
    }
}

void AudioClientArbiter::CountClientType(ULONG kind, bool remove) {
    volatile LONG* counter = nullptr;
    if (kind == kClientTypeAsio64 || kind == kClientTypeAsio32) counter = &asioClientCount_;
    if (kind == kClientTypeKernelRender) counter = &renderClientCount_;
    if (kind == kClientTypeKernelCapture) counter = &captureClientCount_;
    if (counter == nullptr) return;
    if (remove) {
        InterlockedDecrement(counter);
    } else {
        InterlockedIncrement(counter);
    }
}

AudioClientManager::~AudioClientManager() {
    if (clientLock_ != nullptr) WdfObjectDelete(clientLock_);
}

// PASSIVE_LEVEL
NTSTATUS AudioClientManager::ClientManagerInit(AudioEngine* engine, WDFDEVICE device) {
    engine_ = engine;
    device_ = device;
    // The lock goes with the manager, not the device: the device's clean-up
    // still notifies the clients after the device's own children have gone.
    NTSTATUS status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &clientLock_);
    if (!NT_SUCCESS(status)) {
        clientLock_ = nullptr;
        TRACE(kLogError | kLogInterface, status);
    }
    return status;
}

ULONG AudioClientManager::Shift(ULONG rate) {
    if (rate <= kBand0TopRate) return 0;
    return rate <= kBand1TopRate ? 1 : 2;
}

ULONG AudioClientManager::CurrentRate() const { return engine_ != nullptr ? engine_->EngineGetCurrentRate() : 0; }

ULONG AudioClientManager::BufferSizeForRate(ULONG rate) const {
    return __atomic_load_n(&baseBufferSize_, __ATOMIC_ACQUIRE) << Shift(rate);
}

ULONG AudioClientManager::MinBufferSize() const { return kMinBufferFrames << Shift(CurrentRate()); }
ULONG AudioClientManager::MaxBufferSize() const { return kMaxBufferFrames << Shift(CurrentRate()); }

// PASSIVE_LEVEL
bool AudioClientManager::SetBufferSize(ULONG frames) {
    ULONG rate = CurrentRate();
    if (frames < (kMinBufferFrames << Shift(rate)) || frames > (kMaxBufferFrames << Shift(rate))) {
        LogEvent(WdfDeviceWdmGetDeviceObject(device_), kMajorDeviceControl, MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE,
                 STATUS_INVALID_PARAMETER);
        TRACE(kLogWarning | kLogInterface, frames, rate);
        return false;
    }
    ULONG base = frames >> Shift(rate);
    __atomic_store_n(&baseBufferSize_, base, __ATOMIC_RELEASE);
    __atomic_store_n(&periodFrames_, base << Shift(rate), __ATOMIC_RELEASE);
    if (engine_ != nullptr) engine_->SetPeriodFrames(base << Shift(rate));
    return true;
}

bool AudioClientManager::AddClient(AudioClient* client) {
    {
        SpinLockScope lock(clientLock_);
        for (ULONG64 i = 0; i < clientCount_; ++i) {
            if (clients_[i] == client) {
                TRACE(kLogError | kLogAsio, clientCount_);
                return false;
            }
        }
        if (clientCount_ == kMaxAudioClients) return false;
        clients_[clientCount_++] = client;
    }
    NotifyBusChanged();
    return true;
}

NTSTATUS AudioClientManager::StopClient(AudioClient* client) {
    if (client == nullptr) return STATUS_INVALID_PARAMETER;
    ULONG running;
    {
        SpinLockScope lock(clientLock_);
        client->Stop();
        running = 0;
        for (ULONG64 i = 0; i < clientCount_; ++i) running += clients_[i]->IsRunning() ? 1 : 0;
    }
    if (running == 0 && engine_ != nullptr) return engine_->EngineStopStreaming();
    return STATUS_SUCCESS;
}

NTSTATUS AudioClientManager::RemoveClient(AudioClient* client) {
    NTSTATUS status = StopClient(client);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogAsio, status);
        return status;
    }
    {
        SpinLockScope lock(clientLock_);
        ULONG64 slot = 0;
        while (slot < clientCount_ && clients_[slot] != client) ++slot;
        if (slot < clientCount_) {
            for (; slot + 1 < clientCount_; ++slot) clients_[slot] = clients_[slot + 1];
            clients_[--clientCount_] = nullptr;
        }
    }
    NotifyBusChanged();
    return status;
}

void AudioClientManager::NotifyBusChanged() {
    if (engine_ != nullptr && engine_->PalClients() != nullptr) {
        (void)engine_->PalClients()->Notify(vexa::pal::kPalNotifyBusChanged, 0, 0);
    }
}

ULONG AudioClientManager::ClientCount() {
    SpinLockScope lock(clientLock_);
    return static_cast<ULONG>(clientCount_);
}

ULONG AudioClientManager::CountRunningClients() {
    SpinLockScope lock(clientLock_);
    ULONG running = 0;
    for (ULONG64 i = 0; i < clientCount_; ++i) running += clients_[i]->IsRunning() ? 1 : 0;
    return running;
}

// PASSIVE_LEVEL
NTSTATUS AudioClientManager::NotifyAudioClients(ULONG clientEvent) {
    NTSTATUS status = STATUS_SUCCESS;
    if (clientEvent == kClientEventDeviceLost && engine_ != nullptr) status = engine_->EngineStopStreaming();
    SpinLockScope lock(clientLock_);
    for (ULONG64 i = 0; i < clientCount_; ++i) clients_[i]->Notify(clientEvent);
    return status;
}

// DISPATCH_LEVEL
void AudioClientManager::OnRealtimePeriod(PVOID context, ULONG64 timeNs, ULONG frames) {
    auto* manager = static_cast<AudioClientManager*>(context);
    if (manager == nullptr || manager->clientLock_ == nullptr) return;
    SpinLockScope lock(manager->clientLock_);
    for (ULONG64 i = 0; i < manager->clientCount_; ++i) {
        AudioClient* client = manager->clients_[i];
        if (client->IsRunning()) (void)client->Process(timeNs, frames);
    }
}
