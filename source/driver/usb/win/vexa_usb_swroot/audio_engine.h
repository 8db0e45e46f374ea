// The owner of the USB audio devices (at most five, the first listed is the
// current one) and of the settings that apply to all of them. Devices reach
// it through EngineAddDevice once bound; without any, every query answers
// "nothing present".
#pragma once

#include "audio_device.h"
#include "lock_scope.h"
#include "platform/kmdf/wdf.h"
#include "public/pal_interface.h"

class AudioClientManager;
class PalClientManager;

inline constexpr ULONG kMaxAudioDevices = 5;
inline constexpr ULONG kDefaultOperationMode = 2;
inline constexpr ULONG kMaxOperationMode = 4;

struct EngineInitRecord {
    AudioClientManager* clientManager;
    PalClientManager* palClientManager;
    WDFDEVICE rootDevice;
    GUID interfaceClass;
};

struct EngineSettings {
    ULONG sampleRate;     // Hz
    ULONG clockSource;    // 16-bit clock id
    ULONG operationMode;  // 0-4
    ULONG periodFrames;
    ULONG outputChannelCount;  // of the current device at sampleRate
    ULONG inputChannelCount;
};

class AudioEngine : public PoolObject {
public:
    explicit AudioEngine(WDFDEVICE rootDevice);
    virtual ~AudioEngine();

    // PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS EngineInit(const EngineInitRecord& record, WDFDRIVER driver);

    // Lists a bound device (a sixth is not listed) and gives it its PAL identity.
    [[nodiscard]] NTSTATUS EngineAddDevice(AudioDevice* device);
    // Drops and deletes a device; the next listed one becomes current.
    NTSTATUS EngineRemoveDevice(AudioDevice* device);
    // Drops the first listed device (the FDO going away); false when none is left.
    bool EngineRemoveFirstDevice();

    // The current device, referenced by the caller's hold of deviceListLock
    // through the visit; null when there is none.
    template <typename Fn>
    auto WithCurrentDevice(Fn fn);
    ULONG DeviceCount();
    // PAL identities of the listed devices; returns how many were written.
    ULONG DeviceIds(ULONG64 ids[kMaxAudioDevices], ULONG64* currentId);

    bool Streaming() const { return __atomic_load_n(&streaming_, __ATOMIC_ACQUIRE) != 0; }
    NTSTATUS EngineStopStreaming();
    [[nodiscard]] NTSTATUS EngineSetRate(ULONG rate, ULONG clock, bool stopStreaming);
    [[nodiscard]] NTSTATUS EngineSetOperationMode(ULONG mode);
    ULONG EngineGetCurrentRate();
    EngineSettings EngineGetSettings();
    void SetPeriodFrames(ULONG frames);
    PalClientManager* PalClients() const { return palClientManager_; }

private:
    void Recompute(AudioDevice* current);

    AudioClientManager* clientManager_ = nullptr;
    PalClientManager* palClientManager_ = nullptr;
    AudioDevice* currentDevice_ = nullptr;                // guarded by deviceListLock_
    AudioDevice* devices_[kMaxAudioDevices] = {};         // guarded by deviceListLock_
    ULONG64 deviceCount_ = 0;                              // guarded by deviceListLock_
    ULONG64 nextPalId_ = 1;                                // guarded by deviceListLock_; never reused
    WDFDRIVER driver_ = nullptr;
    WDFWAITLOCK settingsLock_ = nullptr;
    WDFWAITLOCK deviceListLock_ = nullptr;
    EngineSettings settings_{};                            // guarded by settingsLock_
    WDFDEVICE rootDevice_;
    GUID interfaceClass_{};
    UCHAR streaming_ = 0;                                  // atomic
};

template <typename Fn>
auto AudioEngine::WithCurrentDevice(Fn fn) {
    WaitLockScope lock(deviceListLock_);
    return fn(currentDevice_);
}
