// The audio client manager: client slots, streaming started by the first
// running client and stopped by the last, the buffer-size rules with
// "Base Buffer Size", latencies and client events.
#define LOG_FILE_NUMBER 150

#include "engine/audio_client_manager.h"

#include "device/lock_scope.h"
#include "engine/pal_notifier.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "public/pal_interface.h"

using namespace vexa::log;

namespace {

constexpr ULONG kBand0TopRate = 48000;
constexpr ULONG kBand1TopRate = 96000;
constexpr ACCESS_MASK kStandardRightsAll = 0x1F0000;
const char16_t kBaseBufferSizeValue[] = u"Base Buffer Size";

constexpr ULONG64 kMaxLatencyFrames = 0x7FFFFFFF;

bool IsAsio(const AudioClient* client) {
    return client->Type() == kClientTypeAsio64 || client->Type() == kClientTypeAsio32;
}

}  // namespace

// Hosts read the latencies as signed 32-bit frame counts: a sum beyond that
// (an absurd device latency) stops at the largest, never wraps to a small one.
ULONG LatencySum(ULONG period, ULONG deviceLatency, ULONG extra, bool* saturated) {
    ULONG64 sum = ULONG64{period} + deviceLatency + extra;
    if (sum <= kMaxLatencyFrames) return static_cast<ULONG>(sum);
    *saturated = true;
    return static_cast<ULONG>(kMaxLatencyFrames);
}

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
    if (parametersKey_ != nullptr) WdfRegistryClose(parametersKey_);
    if (streamingLock_ != nullptr) WdfObjectDelete(streamingLock_);
    if (clientLock_ != nullptr) WdfObjectDelete(clientLock_);
}

// PASSIVE_LEVEL
NTSTATUS AudioClientManager::ClientManagerInit(const StreamingControl* engine, WDFDEVICE device) {
    engine_ = engine;
    device_ = device;
    WDFDRIVER driver = WdfDeviceGetDriver(device);
    NTSTATUS status =
        WdfDriverOpenParametersRegistryKey(driver, kStandardRightsAll, WDF_NO_OBJECT_ATTRIBUTES, &parametersKey_);
    if (!NT_SUCCESS(status)) {
        parametersKey_ = nullptr;
        LogEvent(WdfDriverWdmGetDriverObject(driver), kMajorPnp, MSG_REGISTRY_OPEN_FAILED, status);
        return status;
    }
    // The locks go with the manager, not the device: the device's clean-up
    // still notifies the clients after the device's own children have gone.
    status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &clientLock_);
    if (NT_SUCCESS(status)) status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &streamingLock_);
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status);
    return status;
}

ULONG AudioClientManager::Shift(ULONG rate) {
    if (rate <= kBand0TopRate) return 0;
    return rate <= kBand1TopRate ? 1 : 2;
}

ULONG AudioClientManager::BufferSizeForRate(ULONG rate) const {
    return ReadULongAcquire(&baseBufferSize_) << Shift(rate);
}

ULONG AudioClientManager::MinBufferSize() const { return kMinBaseBufferSize << Shift(CurrentRate()); }
ULONG AudioClientManager::MaxBufferSize() const { return kMaxBaseBufferSize << Shift(CurrentRate()); }

bool AudioClientManager::WriteBaseBufferSize(ULONG base, UCHAR majorFunction) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kBaseBufferSizeValue);
    NTSTATUS status = WdfRegistryAssignULong(parametersKey_, &name, base);
    if (NT_SUCCESS(status)) return true;
    TRACE(kLogError | kLogInterface, status, base);
    LogEvent(WdfDeviceWdmGetDeviceObject(device_), majorFunction, MSG_REGISTRY_WRITE_FAILED, status);
    return false;
}

// PASSIVE_LEVEL
NTSTATUS AudioClientManager::LoadBaseBufferSize(ULONG* periodFrames) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kBaseBufferSizeValue);
    ULONG base = 0;
    NTSTATUS status = WdfRegistryQueryULong(parametersKey_, &name, &base);
    if (!NT_SUCCESS(status) || base < kMinBaseBufferSize || base > kMaxBaseBufferSize) {
        TRACE((status == STATUS_OBJECT_NAME_NOT_FOUND ? kLogWarning : kLogError) | kLogInterface, status, base);
        base = kDefaultBaseBufferSize;
        if (!WriteBaseBufferSize(base, kMajorPnp)) return STATUS_UNSUCCESSFUL;
    }
    {
        SpinLockScope lock(clientLock_);
        WriteULongRelease(&baseBufferSize_, base);
        WriteULongRelease(&periodFrames_, base << Shift(CurrentRate()));
    }
    *periodFrames = PeriodFrames();
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL
bool AudioClientManager::BufferSizeInRange(ULONG frames) {
    ULONG rate = CurrentRate();
    if (frames >= (kMinBaseBufferSize << Shift(rate)) && frames <= (kMaxBaseBufferSize << Shift(rate))) return true;
    LogEvent(WdfDeviceWdmGetDeviceObject(device_), kMajorDeviceControl, MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE,
             STATUS_INVALID_PARAMETER);
    TRACE(kLogWarning | kLogInterface, frames, rate);
    return false;
}

// PASSIVE_LEVEL
bool AudioClientManager::SetBufferSize(ULONG frames) {
    if (!BufferSizeInRange(frames)) return false;
    ULONG rate = CurrentRate();
    ULONG base = frames >> Shift(rate);
    // A size the registry does not take is not used either: the stored and the running size stay one.
    if (!WriteBaseBufferSize(base, kMajorDeviceControl)) return false;
    ULONG period;
    {
        // Not in the middle of a period callback.
        SpinLockScope lock(clientLock_);
        WriteULongRelease(&baseBufferSize_, base);
        period = base << Shift(rate);
        WriteULongRelease(&periodFrames_, period);
        if (CountRunningLocked() != 0) WriteULongRelease(&periodPosition_, 0);
    }
    if (engine_ != nullptr) engine_->KeepPeriodFrames(period);
    return true;
}

void AudioClientManager::FollowRate(ULONG rate) {
    WriteULongRelease(&currentRate_, rate);
    if (clientLock_ == nullptr) return;
    SpinLockScope lock(clientLock_);
    WriteULongRelease(&periodFrames_, baseBufferSize_ << Shift(rate));
}

void AudioClientManager::StreamingChanged(StreamState* state) {
    if (clientLock_ == nullptr) return;
    SpinLockScope lock(clientLock_);
    streamState_ = state;
    // A new stream starts a new period; so does the end of one.
    ResetPeriodLocked();
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
        client->SetOwner(this);
    }
    NotifyBusChanged();
    return true;
}

ULONG AudioClientManager::CountRunningLocked() {
    ULONG running = 0;
    for (ULONG64 i = 0; i < clientCount_; ++i) running += clients_[i]->IsRunning() ? 1 : 0;
    return running;
}

// PASSIVE_LEVEL
NTSTATUS AudioClientManager::StartClient(AudioClient* client) {
    if (client == nullptr) return STATUS_INVALID_PARAMETER;
    WaitLockScope decision(streamingLock_);
    {
        SpinLockScope lock(clientLock_);
        // An ASIO client starts a period of its own, unless others are mid-period.
        if (IsAsio(client) && CountRunningLocked() == 0) ResetPeriodLocked();
        client->Start();
    }
    if (engine_ == nullptr || engine_->StreamsNow()) return STATUS_SUCCESS;
    NTSTATUS status = engine_->BeginStreaming();
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogAsio, status);
    return status;
}

// PASSIVE_LEVEL
NTSTATUS AudioClientManager::StopClient(AudioClient* client) {
    if (client == nullptr) return STATUS_INVALID_PARAMETER;
    WaitLockScope decision(streamingLock_);
    ULONG running;
    {
        SpinLockScope lock(clientLock_);
        client->Stop();
        running = CountRunningLocked();
    }
    if (running != 0 || engine_ == nullptr) return STATUS_SUCCESS;
    return engine_->EndStreaming();
}

void AudioClientManager::ResumeStreaming() {
    if (engine_ == nullptr || streamingLock_ == nullptr) return;
    WaitLockScope decision(streamingLock_);
    if (CountRunningClients() == 0 || engine_->StreamsNow() || engine_->DevicesPresent() == 0) return;
    NTSTATUS status = engine_->BeginStreaming();
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status);
}

NTSTATUS AudioClientManager::RemoveClient(AudioClient* client) {
    NTSTATUS status = StopClient(client);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogAsio, status);
        return status;
    }
    Unlist(client);
    NotifyBusChanged();
    return status;
}

void AudioClientManager::Unlist(AudioClient* client) {
    SpinLockScope lock(clientLock_);
    ULONG64 slot = 0;
    while (slot < clientCount_ && clients_[slot] != client) ++slot;
    if (slot < clientCount_) {
        for (; slot + 1 < clientCount_; ++slot) clients_[slot] = clients_[slot + 1];
        clients_[--clientCount_] = nullptr;
    }
}

// PASSIVE_LEVEL, from the root device's clean-up, which keeps every handle's
// cleanup out meanwhile: the clients cannot go under it.
void AudioClientManager::DetachAsioClients() {
    for (;;) {
        AudioClient* client = nullptr;
        {
            SpinLockScope lock(clientLock_);
            for (ULONG64 i = 0; i < clientCount_ && client == nullptr; ++i) {
                if (IsAsio(clients_[i])) client = clients_[i];
            }
            // Told as an unplugged interface tells it, before its audio stops.
            if (client != nullptr) client->Notify(kClientEventDeviceLost);
        }
        if (client == nullptr) break;
        // Out of the period callback first; a failed stop of the device's streaming leaves it out all the same.
        if (NTSTATUS status = StopClient(client); !NT_SUCCESS(status)) TRACE(kLogError | kLogAsio, status);
        Unlist(client);
        CountClientType(client->Type(), true);
        client->SetOwner(nullptr);
        TRACE(kLogInfo | kLogAsio, client->Type());
    }
    NotifyBusChanged();
}

void AudioClientManager::NotifyBusChanged() {
    if (engine_ != nullptr && engine_->BusNotifier() != nullptr) {
        (void)engine_->BusNotifier()->Notify(vexa::pal::kPalNotifyBusChanged, 0, 0);
    }
}

ULONG AudioClientManager::ClientCount() {
    SpinLockScope lock(clientLock_);
    return static_cast<ULONG>(clientCount_);
}

ULONG AudioClientManager::CountRunningClients() {
    SpinLockScope lock(clientLock_);
    return CountRunningLocked();
}

// PASSIVE_LEVEL. The slots are walked under clientLock, so a client that
// handle clean-up removes meanwhile is either told or gone, never half.
NTSTATUS AudioClientManager::NotifyAudioClients(ULONG clientEvent) {
    NTSTATUS status = STATUS_SUCCESS;
    if (clientEvent == kClientEventDeviceLost && engine_ != nullptr) status = engine_->EndStreaming();
    ULONG inputLatency = 0;
    ULONG outputLatency = 0;
    bool latencies = false;
    if (clientEvent == kClientEventModeChanged) {
        // Asked of the device once, before the walk: the walk runs at DISPATCH_LEVEL.
        status = ComputeLatencies(&inputLatency, &outputLatency);
        latencies = NT_SUCCESS(status);
    }
    SpinLockScope lock(clientLock_);
    for (ULONG64 i = 0; i < clientCount_; ++i) {
        AudioClient* client = clients_[i];
        if (clientEvent == kClientEventModeChanged && IsAsio(client)) {
            if (!latencies) return status;
            client->SetLatencies(inputLatency, outputLatency);
        }
        client->Notify(clientEvent);
    }
    return status;
}

// PASSIVE_LEVEL. Input: the period, the device's input latency and one
// millisecond; output: the period, the device's output latency and the
// safety frames beyond that millisecond.
NTSTATUS AudioClientManager::ComputeLatencies(ULONG* inputLatency, ULONG* outputLatency) {
    if (engine_ == nullptr) return STATUS_NO_SUCH_DEVICE;
    DeviceLatencies device{};
    if (NTSTATUS status = engine_->DeviceLatenciesNow(&device); !NT_SUCCESS(status)) return status;
    ULONG period = BufferSizeForRate(device.rate);
    bool saturated = false;
    *inputLatency = LatencySum(period, device.input, device.framesPerMs, &saturated);
    *outputLatency = LatencySum(period, device.output, device.safetyFrames, &saturated);
    if (saturated) TRACE(kLogWarning | kLogAsio, device.input, device.output, device.rate);
    return STATUS_SUCCESS;
}

NTSTATUS AudioClientManager::UpdateLatencies(AudioClient* client) {
    if (client == nullptr || !IsAsio(client)) return STATUS_INVALID_PARAMETER;
    ULONG inputLatency = 0;
    ULONG outputLatency = 0;
    NTSTATUS status = ComputeLatencies(&inputLatency, &outputLatency);
    if (NT_SUCCESS(status)) client->SetLatencies(inputLatency, outputLatency);
    return status;
}

bool AudioClientManager::GetChannelRing(ULONG channel, StreamState** ring, ULONG* index) {
    return engine_ != nullptr && engine_->RingOfChannel(channel, ring, index);
}

bool AudioClientManager::GetChannelInfo(ULONG channel, ULONG64* deviceId, WCHAR* label) {
    return engine_ != nullptr && engine_->InfoOfChannel(channel, deviceId, label);
}
