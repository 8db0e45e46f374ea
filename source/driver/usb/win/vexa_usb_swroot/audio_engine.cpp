// The audio engine: its device list and the settings over all devices.
#define LOG_FILE_NUMBER 115

#include "audio_engine.h"

#include "audio_client_manager.h"
#include "lock_scope.h"
#include "logger.h"
#include "pal_client_manager.h"

using namespace vexa::log;

namespace {

constexpr ULONG kKeepClock = 0xFFFFFFFF;
constexpr ULONG kClockIdMask = 0xFFFF;

}  // namespace

AudioEngine::AudioEngine(WDFDEVICE rootDevice) : rootDevice_(rootDevice) {
    settings_.operationMode = kDefaultOperationMode;
    settings_.periodFrames = kDefaultBaseBufferSize;
}

AudioEngine::~AudioEngine() {
    if (deviceListLock_ != nullptr) {
        while (EngineRemoveFirstDevice()) {
        }
        WdfObjectDelete(deviceListLock_);
    }
    if (settingsLock_ != nullptr) WdfObjectDelete(settingsLock_);
}

// PASSIVE_LEVEL
NTSTATUS AudioEngine::EngineInit(const EngineInitRecord& record, WDFDRIVER driver) {
    NTSTATUS status = STATUS_SUCCESS;
    try {
        clientManager_ = record.clientManager;
        palClientManager_ = record.palClientManager;
        interfaceClass_ = record.interfaceClass;
        driver_ = driver;
        // The locks belong to the driver and go with the engine: the root
        // device's clean-up still drops devices after the device's own children have gone.
        RaiseIfFailed(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &settingsLock_));
        RaiseIfFailed(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &deviceListLock_));
    } catch (const NtError& error) {
        status = error.status;
        TRACE(kLogError | kLogInterface, status);
    }
    return status;
}

NTSTATUS AudioEngine::EngineAddDevice(AudioDevice* device) {
    (void)EngineStopStreaming();
    WaitLockScope lock(deviceListLock_);
    // A new identity for every arrival, never reused, never an address.
    device->SetPalId(nextPalId_++);
    if (deviceCount_ < kMaxAudioDevices) devices_[deviceCount_++] = device;
    if (deviceCount_ == 1 && currentDevice_ == nullptr) {
        currentDevice_ = device;
        Recompute(device);
    }
    TRACE(kLogInfo | kLogInterface, device->PalId(), deviceCount_);
    return STATUS_SUCCESS;
}

NTSTATUS AudioEngine::EngineRemoveDevice(AudioDevice* device) {
    {
        WaitLockScope lock(deviceListLock_);
        ULONG64 slot = 0;
        while (slot < deviceCount_ && devices_[slot] != device) ++slot;
        if (slot < deviceCount_) {
            for (; slot + 1 < deviceCount_; ++slot) devices_[slot] = devices_[slot + 1];
            devices_[--deviceCount_] = nullptr;
        }
        if (currentDevice_ == device) {
            currentDevice_ = deviceCount_ != 0 ? devices_[0] : nullptr;
            if (currentDevice_ != nullptr) Recompute(currentDevice_);
        }
    }
    delete device;
    return STATUS_SUCCESS;
}

bool AudioEngine::EngineRemoveFirstDevice() {
    AudioDevice* first;
    {
        WaitLockScope lock(deviceListLock_);
        if (deviceCount_ == 0) return false;
        first = devices_[0];
    }
    (void)EngineRemoveDevice(first);
    return true;
}

ULONG AudioEngine::DeviceCount() {
    WaitLockScope lock(deviceListLock_);
    return static_cast<ULONG>(deviceCount_);
}

ULONG AudioEngine::DeviceIds(ULONG64 ids[kMaxAudioDevices], ULONG64* currentId) {
    WaitLockScope lock(deviceListLock_);
    for (ULONG64 i = 0; i < deviceCount_; ++i) ids[i] = devices_[i]->PalId();
    if (currentId != nullptr) *currentId = currentDevice_ != nullptr ? currentDevice_->PalId() : 0;
    return static_cast<ULONG>(deviceCount_);
}

// Nothing streams before a client starts streaming; stopping then is a no-op.
NTSTATUS AudioEngine::EngineStopStreaming() {
    __atomic_store_n(&streaming_, 0, __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

// Locks are taken in one order everywhere: deviceListLock_, then settingsLock_.
NTSTATUS AudioEngine::EngineSetRate(ULONG rate, ULONG clock, bool stopStreaming) {
    if (stopStreaming) (void)EngineStopStreaming();
    bool ok = WithCurrentDevice([&](AudioDevice* device) {
        WaitLockScope settings(settingsLock_);
        if (clock == kKeepClock) clock = settings_.clockSource;
        settings_.clockSource = clock & kClockIdMask;
        if (device == nullptr || !device->SetClock(rate, settings_.clockSource)) return false;
        settings_.sampleRate = rate;
        settings_.outputChannelCount = device->GetOutputChannelCount(rate);
        settings_.inputChannelCount = device->GetInputChannelCount(rate);
        return true;
    });
    if (!ok) {
        TRACE(kLogError | kLogInterface, STATUS_INTERNAL_ERROR, rate, clock);
        return STATUS_INTERNAL_ERROR;
    }
    (void)clientManager_->NotifyAudioClients(kClientEventRateChanged);
    (void)palClientManager_->Notify(vexa::pal::kPalNotifyBusChanged, 0, 0);
    return STATUS_SUCCESS;
}

NTSTATUS AudioEngine::EngineSetOperationMode(ULONG mode) {
    if (mode > kMaxOperationMode) return STATUS_INVALID_PARAMETER;
    {
        WaitLockScope settings(settingsLock_);
        settings_.operationMode = mode;
    }
    return clientManager_->NotifyAudioClients(kClientEventModeChanged);
}

ULONG AudioEngine::EngineGetCurrentRate() {
    return WithCurrentDevice([](AudioDevice* device) { return device != nullptr ? device->GetSampleRate() : 0; });
}

EngineSettings AudioEngine::EngineGetSettings() {
    WaitLockScope settings(settingsLock_);
    return settings_;
}

void AudioEngine::SetPeriodFrames(ULONG frames) {
    WaitLockScope settings(settingsLock_);
    settings_.periodFrames = frames;
}

// Caller holds deviceListLock_: the settings follow the new current device.
void AudioEngine::Recompute(AudioDevice* current) {
    WaitLockScope settings(settingsLock_);
    ULONG rate = current->GetSampleRate();
    settings_.sampleRate = rate;
    settings_.clockSource = current->GetClockSource() & kClockIdMask;
    settings_.outputChannelCount = current->GetOutputChannelCount(rate);
    settings_.inputChannelCount = current->GetInputChannelCount(rate);
    settings_.periodFrames = clientManager_ != nullptr ? clientManager_->BufferSizeForRate(rate) : kDefaultBaseBufferSize;
}
