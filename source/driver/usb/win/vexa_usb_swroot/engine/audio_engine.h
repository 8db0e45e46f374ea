// The owner of the USB audio devices (at most five, one of them current) and
// of the settings that apply to all of them: sample rate, clock source and
// operation mode, kept in the driver's Parameters key. It watches the USB
// function driver's device interface, binds a proxy to each arrival, drops a
// device when its target goes, and starts and stops device streaming.
#pragma once

#include "device/lock_scope.h"
#include "device/usb_audio_device_target.h"
#include "engine/audio_client.h"
#include "engine/engine_children.h"
#include "engine/streaming_control.h"
#include "platform/kmdf/wdf.h"
#include "public/pal_interface.h"

class AudioClientManager;
class PalNotifier;

inline constexpr ULONG kMaxAudioDevices = 5;
inline constexpr ULONG kDefaultSampleRate = 48000;
inline constexpr ULONG kDefaultClockSource = 24;
inline constexpr ULONG kDefaultOperationMode = 2;
inline constexpr ULONG kMaxOperationMode = 4;
inline constexpr ULONG kFallbackSampleRate = 44100;

struct EngineInitRecord {
    AudioClientManager* clientManager;
    // The engine of a root device as it is now (null once it went), for the
    // proxies' notification work items.
    const DeviceOwner* (*ownerOf)(WDFDEVICE rootDevice);
    PalNotifier* palNotifier;
    const EngineChildren* children;  // outlives the engine
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

    // PASSIVE_LEVEL. Interfaces already present arrive before it returns.
    [[nodiscard]] NTSTATUS EngineInit(const EngineInitRecord& record, WDFDRIVER driver);
    // Ends the PnP registration, waiting for an arrival in progress. PASSIVE_LEVEL.
    void EngineStopWatching();
    // The PnP callback (PASSIVE_LEVEL, serialised by the PnP manager).
    [[nodiscard]] static NTSTATUS OnAudioDeviceInterfaceChange(PVOID notification, PVOID context);

    // Arrivals and removals run one at a time under the binding lock; a
    // removal callback takes it before it looks at its proxy.
    template <typename Fn>
    auto WithBindingLock(Fn fn);
    // Lists, configures and announces a bound proxy; a failure unbinds and
    // deletes it. Caller holds the binding lock.
    [[nodiscard]] NTSTATUS EngineAttachDevice(UsbAudioDeviceTarget* proxy);
    // Unlists and deletes a device; the next listed one becomes current.
    // Caller holds the binding lock.
    [[nodiscard]] NTSTATUS EngineRemoveDevice(UsbAudioDeviceTarget* device);
    // The FDO goes: unbinds and drops every device, telling the PAL clients.
    void EngineRemoveAllDevices();

    // The current device, kept alive by the caller's hold of deviceListLock
    // through the visit; null when there is none.
    template <typename Fn>
    auto WithCurrentDevice(Fn fn);
    // The listed device with this PAL identity, under deviceListLock; null when it went.
    template <typename Fn>
    auto WithListedDevice(ULONG64 palId, Fn fn);
    // Any IRQL.
    ULONG DeviceCount();
    bool IsListed(const void* device);
    // PAL identities of the listed devices; returns how many were written.
    ULONG DeviceIds(ULONG64 ids[kMaxAudioDevices], ULONG64* currentId);

    bool Streaming() const { return ReadAcquire(&streaming_) != 0; }
    [[nodiscard]] NTSTATUS EngineStartStreaming();
    [[nodiscard]] NTSTATUS EngineStopStreaming();
    [[nodiscard]] NTSTATUS EngineSetRate(ULONG rate, ULONG clock, bool stopStreaming);
    [[nodiscard]] NTSTATUS EngineSetOperationMode(ULONG mode);
    ULONG EngineGetCurrentRate();
    EngineSettings EngineGetSettings();
    ULONG OperationMode();
    void SetPeriodFrames(ULONG frames);
    bool EngineHasSampleRate(ULONG rate);
    bool EngineHasClockSource(ULONG id);
    bool EngineGetRateRange(ULONG* lowest, ULONG* highest);
    // The current device's shared stream state and the ring index of a channel; false without a device.
    bool EngineGetChannelRing(ULONG channel, StreamState** ring, ULONG* index);
    // The current device's id and the label of a channel (bit 31: an input),
    // into `label` of kChannelLabelChars; false without a device.
    bool EngineGetChannelInfo(ULONG channel, ULONG64* deviceId, WCHAR* label);
    [[nodiscard]] NTSTATUS EngineNotifyClients(ULONG clientEvent);
    // engine_channels.cpp: the WDM channel maps name channels by device id
    // and label. The first listed device with this id; STATUS_UNSUCCESSFUL when none.
    [[nodiscard]] NTSTATUS EngineFindDeviceIndex(ULONG64 id, ULONG* index);
    // The channel with this label on the listed device `deviceIndex` (FindChannelByName).
    [[nodiscard]] NTSTATUS EngineFindChannelByName(ULONG deviceIndex, PCUNICODE_STRING name, LONG* channel, bool input);

    // The child devices that exist and what they borrow.
    const EngineChildren& Children() const { return *children_; }
    // The MIDI children of the current device, serial number of `device`'s position. Caller holds the binding lock.
    [[nodiscard]] NTSTATUS EngineCreateMidiChildren(UsbAudioDeviceTarget* device);

    AudioClientManager* ClientManager() const { return clientManager_; }
    // What binds a proxy to this engine: set by init, before the first arrival.
    const DeviceOwnerLink& OwnerLink() const { return ownerLink_; }

    // What the proxies report and ask, as their owner record names it.
    const DeviceOwner* AsDeviceOwner() const { return &deviceOwner_; }
    // The proxy's notification work item: re-read and PAL notification. PASSIVE_LEVEL.
    void EngineDeviceEvent(ULONG64 palId, ULONG bits);
    // The proxy's target was removed. PASSIVE_LEVEL, on the PnP thread.
    void EngineTargetGone(AUDIODEVICEIOTARGET* context);

    // What the client manager asks, with this engine as the context; there from construction on.
    const StreamingControl* AsStreamingControl() const { return &streamingControl_; }
    // The current device's rate and latencies; STATUS_NO_SUCH_DEVICE without one. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS EngineGetLatencies(DeviceLatencies* latencies);

    // The driver's list of running engines (root_engines.cpp); guarded by its lock.
    AudioEngine* nextListed = nullptr;
    PalNotifier* PalClients() const { return palNotifier_; }
    WDFDRIVER Driver() const { return driver_; }
    WDFDEVICE RootDevice() const { return rootDevice_; }

private:
    // Lists the device and chooses the rate and clock its arrival applies.
    [[nodiscard]] NTSTATUS EngineAddDevice(UsbAudioDeviceTarget* device, ULONG* rate, ULONG* clock);
    [[nodiscard]] NTSTATUS EngineConfigureDevice(UsbAudioDeviceTarget* device, ULONG rate, ULONG clock);
    [[nodiscard]] NTSTATUS EngineRecompute(ULONG rate);
    [[nodiscard]] NTSTATUS RecomputeLocked(ULONG rate);
    void Unlist(UsbAudioDeviceTarget* device, bool* promoted);
    [[nodiscard]] NTSTATUS ReadSetting(const char16_t* name, ULONG fallback, ULONG* value);
    // Raises the status of a failed write (event-log entry with `majorFunction`).
    void WriteSetting(const char16_t* name, ULONG value, UCHAR majorFunction);
    [[nodiscard]] NTSTATUS SetRateLocked(ULONG rate, ULONG clock, bool* notify);
    // The arrived device's list position + 1; 0 when it is not listed.
    ULONG SerialOf(const UsbAudioDeviceTarget* device);
    // The children the arrival of `device` adds: the adapter child and the MIDI children, for the current device.
    [[nodiscard]] NTSTATUS EngineAddChildren(UsbAudioDeviceTarget* device);

    AudioClientManager* clientManager_ = nullptr;
    const StreamingControl streamingControl_;
    DeviceOwner deviceOwner_{};  // set by init, before the first arrival
    DeviceOwnerLink ownerLink_{};
    PalNotifier* palNotifier_ = nullptr;
    UsbAudioDeviceTarget* currentDevice_ = nullptr;        // guarded by deviceListLock_ and listSpinLock_
    UsbAudioDeviceTarget* devices_[kMaxAudioDevices] = {};  // guarded by deviceListLock_ and listSpinLock_
    ULONG64 deviceCount_ = 0;                               // guarded by deviceListLock_ and listSpinLock_
    ULONG64 nextPalId_ = 1;                                 // guarded by bindingLock_; never reused
    WDFDRIVER driver_ = nullptr;
    WDFWAITLOCK settingsLock_ = nullptr;
    WDFWAITLOCK deviceListLock_ = nullptr;
    WDFWAITLOCK bindingLock_ = nullptr;
    WDFWAITLOCK streamingLock_ = nullptr;  // one streaming start or stop at a time
    WDFSPINLOCK listSpinLock_ = nullptr;   // for the DISPATCH_LEVEL membership checks
    EngineSettings settings_{};             // guarded by settingsLock_
    WDFDEVICE rootDevice_;
    GUID interfaceClass_{};
    WDFKEY parametersKey_ = nullptr;
    PVOID notificationEntry_ = nullptr;  // taken once with an interlocked exchange (stop watching)
    const EngineChildren* children_ = nullptr;
    // Written under streamingLock_ by start and stop (release); read without
    // it (acquire) by the client manager and the device proxy.
    volatile LONG streaming_ = 0;
};

template <typename Fn>
auto AudioEngine::WithBindingLock(Fn fn) {
    WaitLockScope lock(bindingLock_);
    return fn();
}

template <typename Fn>
auto AudioEngine::WithCurrentDevice(Fn fn) {
    WaitLockScope lock(deviceListLock_);
    return fn(currentDevice_);
}

template <typename Fn>
auto AudioEngine::WithListedDevice(ULONG64 palId, Fn fn) {
    WaitLockScope lock(deviceListLock_);
    UsbAudioDeviceTarget* found = nullptr;
    for (ULONG64 i = 0; i < deviceCount_; ++i) {
        if (devices_[i]->PalId() == palId) found = devices_[i];
    }
    return fn(found);
}
