// The audio engine: its settings in the registry, the device list with its
// arrivals and removals, and device streaming.
//
// Locks, always taken in this order: bindingLock_ (one arrival or removal at
// a time), streamingLock_ (one streaming start or stop), deviceListLock_ (the
// list and the current device stay as they are while held; every visit of a
// device holds it), settingsLock_, then a device's own command lock. The
// WDM adapter child's requests run under bindingLock_ too.
// listSpinLock_ guards the list too, for membership checks at DISPATCH_LEVEL.
#define LOG_FILE_NUMBER 115

#include "engine/audio_engine.h"

#include "engine/audio_client_manager.h"
#include "engine/engine_children.h"
#include "engine/pal_notifier.h"
#include "engine/root_engines.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "platform/kernel/pnp_notify.h"

using namespace vexa::log;

namespace {

constexpr ULONG kKeepClock = 0xFFFFFFFF;
constexpr ULONG kInputChannel = 0x80000000;  // a channel number's input bit
constexpr ACCESS_MASK kStandardRightsAll = 0x1F0000;
constexpr ULONG kRemovalPauseMs = 1000;
constexpr ULONG kBusyPolls = 10;
constexpr ULONG kBusyPollMs = 20;

const char16_t kSamplingRateValue[] = u"Sampling Rate";
const char16_t kClockSourceValue[] = u"Clock Source Index";
const char16_t kOperationModeValue[] = u"Operation Mode";

bool ListsRate(AudioDevice* device, ULONG rate) {
    ULONG listed = 0;
    for (ULONG i = 0; i < device->GetSampleRateCount(); ++i) {
        if (device->GetSampleRateAt(i, &listed) && listed == rate) return true;
    }
    return false;
}

bool ListsClock(AudioDevice* device, ULONG id) {
    USHORT listed = 0;
    for (ULONG i = 0; i < device->GetClockSourceCount(); ++i) {
        if (device->GetClockSourceAt(i, &listed, nullptr, 0) && listed == id) return true;
    }
    return false;
}

}  // namespace

AudioEngine::AudioEngine(WDFDEVICE rootDevice)
    : streamingControl_{
          this,
          [](PVOID engine) { return static_cast<AudioEngine*>(engine)->Streaming(); },
          [](PVOID engine) { return static_cast<AudioEngine*>(engine)->DeviceCount(); },
          [](PVOID engine) { return static_cast<AudioEngine*>(engine)->EngineStartStreaming(); },
          [](PVOID engine) { return static_cast<AudioEngine*>(engine)->EngineStopStreaming(); },
          [](PVOID engine, ULONG frames) { static_cast<AudioEngine*>(engine)->SetPeriodFrames(frames); },
          [](PVOID engine, DeviceLatencies* latencies) {
              return static_cast<AudioEngine*>(engine)->EngineGetLatencies(latencies);
          },
          [](PVOID engine, ULONG channel, StreamState** ring, ULONG* index) {
              return static_cast<AudioEngine*>(engine)->EngineGetChannelRing(channel, ring, index);
          },
          [](PVOID engine, ULONG channel, ULONG64* deviceId, WCHAR* label) {
              return static_cast<AudioEngine*>(engine)->EngineGetChannelInfo(channel, deviceId, label);
          },
          [](PVOID engine) { return static_cast<AudioEngine*>(engine)->palNotifier_; }},
      rootDevice_(rootDevice) {}

AudioEngine::~AudioEngine() {
    // No handle is looked for here any more (a visit under way ends first).
    UnlistRootEngine(this);
    if (bindingLock_ != nullptr) EngineRemoveAllDevices();
    EngineStopWatching();
    if (parametersKey_ != nullptr) WdfRegistryClose(parametersKey_);
    for (WDFWAITLOCK lock : {settingsLock_, deviceListLock_, bindingLock_, streamingLock_}) {
        if (lock != nullptr) WdfObjectDelete(lock);
    }
    if (listSpinLock_ != nullptr) WdfObjectDelete(listSpinLock_);
}

// A missing or unreadable value (or an operation mode out of range) is
// replaced by its default, which is written back.
NTSTATUS AudioEngine::ReadSetting(const char16_t* name, ULONG fallback, ULONG* value) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    NTSTATUS status = WdfRegistryQueryULong(parametersKey_, &valueName, value);
    if (NT_SUCCESS(status) && !(name == kOperationModeValue && *value > kMaxOperationMode)) return STATUS_SUCCESS;
    TRACE((status == STATUS_OBJECT_NAME_NOT_FOUND ? kLogWarning : kLogError) | kLogInterface, status, fallback);
    *value = fallback;
    WriteSetting(name, fallback, kMajorPnp);
    return STATUS_SUCCESS;
}

void AudioEngine::WriteSetting(const char16_t* name, ULONG value, UCHAR majorFunction) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    NTSTATUS status = WdfRegistryAssignULong(parametersKey_, &valueName, value);
    if (NT_SUCCESS(status)) return;
    TRACE(kLogError | kLogInterface, status, value);
    LogEvent(WdfDriverWdmGetDriverObject(driver_), majorFunction, MSG_REGISTRY_WRITE_FAILED, status);
    RaiseStatus(status);
}

// PASSIVE_LEVEL
NTSTATUS AudioEngine::EngineInit(const EngineInitRecord& record, WDFDRIVER driver) {
    NTSTATUS status = CatchStatus([&] {
        clientManager_ = record.clientManager;
        children_ = record.children;
        deviceOwner_ = {
            this,
            driver,
            [](PVOID engine) { return static_cast<AudioEngine*>(engine)->Streaming(); },
            [](PVOID engine) { return static_cast<AudioEngine*>(engine)->DeviceCount(); },
            [](PVOID engine, const void* device) { return static_cast<AudioEngine*>(engine)->IsListed(device); },
            [](PVOID engine) { return static_cast<AudioEngine*>(engine)->EngineNotifyClients(kClientEventDeviceLost); },
            [](PVOID engine) { return static_cast<AudioEngine*>(engine)->EngineNotifyClients(kClientEventDeviceChanged); },
            [](PVOID engine, ULONG64 palId, ULONG bits) { static_cast<AudioEngine*>(engine)->EngineDeviceEvent(palId, bits); },
            [](PVOID engine, AUDIODEVICEIOTARGET* target) { static_cast<AudioEngine*>(engine)->EngineTargetGone(target); },
        };
        ownerLink_ = {&deviceOwner_, record.ownerOf, AudioClientManager::OnRealtimePeriod, clientManager_};
        palNotifier_ = record.palNotifier;
        interfaceClass_ = record.interfaceClass;
        driver_ = driver;
        NTSTATUS opened =
            WdfDriverOpenParametersRegistryKey(driver, kStandardRightsAll, WDF_NO_OBJECT_ATTRIBUTES, &parametersKey_);
        if (!NT_SUCCESS(opened)) {
            parametersKey_ = nullptr;
            LogEvent(WdfDriverWdmGetDriverObject(driver), kMajorPnp, MSG_REGISTRY_OPEN_FAILED, opened);
            RaiseStatus(opened);
        }
        // The locks belong to the driver and go with the engine: the root
        // device's clean-up drops devices after the device's own children have gone.
        RaiseIfFailed(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &settingsLock_));
        ULONG rate, clock, mode;
        RaiseIfFailed(ReadSetting(kSamplingRateValue, kDefaultSampleRate, &rate));
        RaiseIfFailed(ReadSetting(kClockSourceValue, kDefaultClockSource, &clock));
        RaiseIfFailed(ReadSetting(kOperationModeValue, kDefaultOperationMode, &mode));
        RaiseIfFailed(clientManager_->LoadBaseBufferSize(&settings_.periodFrames));
        settings_.clockSource = ClockId(clock);
        settings_.sampleRate = rate;
        settings_.operationMode = mode;
        RaiseIfFailed(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &deviceListLock_));
        RaiseIfFailed(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &bindingLock_));
        RaiseIfFailed(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &streamingLock_));
        RaiseIfFailed(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &listSpinLock_));
        RaiseIfFailed(children_->Prepare());
        // Before the first arrival: its children's drivers may hand handles back at once.
        ListRootEngine(this);
        NTSTATUS registered = IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                                             PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                                                             &interfaceClass_, WdfDriverWdmGetDriverObject(driver),
                                                             OnAudioDeviceInterfaceChange, this, &notificationEntry_);
        if (!NT_SUCCESS(registered)) {
            notificationEntry_ = nullptr;
            LogEvent(WdfDriverWdmGetDriverObject(driver), kMajorPnp, MSG_INTERFACE_CHANGE_NOTIFY_FAILED, registered);
            RaiseStatus(registered);
        }
    });
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status);
    return status;
}

void AudioEngine::EngineStopWatching() {
    PVOID entry = InterlockedExchangePointer(&notificationEntry_, nullptr);
    if (entry != nullptr) (void)IoUnregisterPlugPlayNotificationEx(entry);
}

// PASSIVE_LEVEL, on the PnP notification worker.
NTSTATUS AudioEngine::OnAudioDeviceInterfaceChange(PVOID notificationStructure, PVOID context) {
    PAGED_CODE();
    auto* engine = static_cast<AudioEngine*>(context);
    auto* notification = static_cast<DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(notificationStructure);
    if (engine == nullptr || notification == nullptr) return STATUS_INTERNAL_ERROR;
    if (!(notification->InterfaceClassGuid == engine->interfaceClass_)) return STATUS_INVALID_PARAMETER;
    if (!(notification->Event == GUID_DEVICE_INTERFACE_ARRIVAL)) {
        // Removal comes through the proxy's target.
        TRACE(kLogInfo | kLogInterface);
        return STATUS_SUCCESS;
    }
    return engine->WithBindingLock([&] {
        auto* proxy = new UsbAudioDeviceTarget();
        if (proxy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = proxy->OpenTarget(engine->rootDevice_, notification->SymbolicLinkName, engine->ownerLink_);
        if (!NT_SUCCESS(status)) {
            // Never listed: the other devices are not disturbed.
            proxy->Unbind();
            delete proxy;
            return status;
        }
        return engine->EngineAttachDevice(proxy);
    });
}

// A device that arrives beside the current one leaves the current device and
// its stream alone: nothing of it changes, so its clients are not disturbed.
// Only a first device takes the rate step, which commits the settings it chose.
NTSTATUS AudioEngine::EngineAttachDevice(UsbAudioDeviceTarget* proxy) {
    bool listed = false;
    NTSTATUS status = CatchStatus([&] {
        ULONG rate = 0;
        ULONG clock = 0;
        RaiseIfFailed(EngineAddDevice(proxy, &rate, &clock));
        listed = true;
        RaiseIfFailed(EngineConfigureDevice(proxy, rate, clock));
        RaiseIfFailed(EngineRecompute(rate));
        RaiseIfFailed(EngineAddChildren(proxy));
        if (proxy->IsCurrent()) RaiseIfFailed(EngineSetRate(rate, clock, true));
    });
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status, listed);
    if (NT_SUCCESS(status)) {
        if (NTSTATUS notified = palNotifier_->Notify(vexa::pal::kPalNotifyDeviceArrival, 0, 0); !NT_SUCCESS(notified)) {
            TRACE(kLogWarning | kLogInterface, notified);
        }
    } else {
        // No PAL notification for a failed arrival.
        proxy->Unbind();
        if (listed) {
            (void)EngineRemoveDevice(proxy);
        } else {
            delete proxy;
        }
    }
    clientManager_->ResumeStreaming();
    return status;
}

// A sixth device is refused before anything else changes.
NTSTATUS AudioEngine::EngineAddDevice(UsbAudioDeviceTarget* device, ULONG* rate, ULONG* clock) {
    if (DeviceCount() >= kMaxAudioDevices) {
        TRACE(kLogError | kLogInterface, kMaxAudioDevices);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Nothing streams before there is a device, and a later device does not
    // touch the current one's stream.
    WaitLockScope list(deviceListLock_);
    // A new identity for every arrival, never reused, never an address.
    device->SetPalId(nextPalId_++);
    {
        SpinLockScope spin(listSpinLock_);
        devices_[deviceCount_++] = device;
    }
    EngineSettings settings = EngineGetSettings();
    *rate = settings.sampleRate;
    *clock = settings.clockSource;
    TRACE(kLogInfo | kLogInterface, device->PalId(), deviceCount_);
    if (deviceCount_ != 1) return STATUS_SUCCESS;

    {
        SpinLockScope spin(listSpinLock_);
        currentDevice_ = device;
    }
    device->SetCurrent();
    // The stored settings meet what the first device supports; they are
    // committed only once the device took them (the arrival's EngineSetRate).
    if (!ListsClock(device, *clock)) {
        *clock = device->GetFirstClockSource();
        if (*clock == 0) *clock = kDefaultClockSource;
    }
    if (!ListsRate(device, *rate)) {
        *rate = device->GetSampleRate();
        if (*rate == 0) *rate = kFallbackSampleRate;
    }
    return device->SetOperationMode(settings.operationMode);
}

NTSTATUS AudioEngine::EngineConfigureDevice(UsbAudioDeviceTarget* device, ULONG rate, ULONG clock) {
    if (!device->SetClock(rate, clock)) return STATUS_NO_SUCH_DEVICE;
    return device->MapStreamState();
}

NTSTATUS AudioEngine::EngineRecompute(ULONG rate) {
    WaitLockScope list(deviceListLock_);
    return RecomputeLocked(rate);
}

// Caller holds deviceListLock_.
NTSTATUS AudioEngine::RecomputeLocked(ULONG rate) {
    if (currentDevice_ == nullptr) return STATUS_NO_SUCH_DEVICE;
    // The clients' period follows the rate the current device runs at.
    clientManager_->FollowRate(currentDevice_->GetSampleRate());
    ULONG period = clientManager_->BufferSizeForRate(currentDevice_->GetSampleRate());
    ULONG outputs = currentDevice_->GetOutputChannelCount(rate);
    ULONG inputs = currentDevice_->GetInputChannelCount(rate);
    WaitLockScope settings(settingsLock_);
    settings_.periodFrames = period;
    settings_.outputChannelCount = outputs;
    settings_.inputChannelCount = inputs;
    return outputs == 0 && inputs == 0 ? STATUS_DEVICE_DOES_NOT_EXIST : STATUS_SUCCESS;
}

// Caller holds deviceListLock_.
void AudioEngine::Unlist(UsbAudioDeviceTarget* device, bool* promoted) {
    SpinLockScope spin(listSpinLock_);
    *promoted = false;
    ULONG64 slot = 0;
    while (slot < deviceCount_ && devices_[slot] != device) ++slot;
    if (slot == deviceCount_) return;  // not listed: nothing changes
    for (; slot + 1 < deviceCount_; ++slot) devices_[slot] = devices_[slot + 1];
    devices_[--deviceCount_] = nullptr;
    if (deviceCount_ == 0) {
        currentDevice_ = nullptr;
    } else if (currentDevice_ == device) {
        currentDevice_ = devices_[0];
        *promoted = true;
    }
}

// Only the current device streams and only it is described to the clients:
// the removal of another leaves the stream, the channel counts and the
// clients as they are.
NTSTATUS AudioEngine::EngineRemoveDevice(UsbAudioDeviceTarget* device) {
    bool wasCurrent = WithCurrentDevice([device](UsbAudioDeviceTarget* current) { return current == device; });
    if (wasCurrent) (void)EngineStopStreaming();
    // What this device's children borrowed is taken back (their MIDI ports
    // closed, the children told) while they are surely still there: the
    // removal that follows runs on the PnP manager's own time. Then every
    // child goes, of whatever device.
    children_->DeviceGoes(device);
    if (NTSTATUS status = children_->AllMissing(rootDevice_); !NT_SUCCESS(status)) {
        TRACE(kLogError | kLogInterface, status);
    }
    // Callbacks the USB driver had under way when the device went finish first.
    SleepMs(kRemovalPauseMs);
    {
        WaitLockScope list(deviceListLock_);
        bool promoted = false;
        Unlist(device, &promoted);
        if (wasCurrent) {
            WaitLockScope settings(settingsLock_);
            settings_.outputChannelCount = 0;
            settings_.inputChannelCount = 0;
        }
        if (promoted) {
            // The new current device takes the engine's settings, as a first device would.
            currentDevice_->SetCurrent();
            EngineSettings settings = EngineGetSettings();
            NTSTATUS status = SetRateLocked(settings.sampleRate, settings.clockSource, nullptr);
            if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status, currentDevice_->PalId());
            if (!NT_SUCCESS(currentDevice_->SetOperationMode(settings.operationMode))) {
                TRACE(kLogError | kLogInterface, settings.operationMode);
            }
        }
    }
    delete device;
    if (wasCurrent) (void)EngineNotifyClients(kClientEventDeviceChanged);
    clientManager_->ResumeStreaming();
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, the proxy's notification work item.
void AudioEngine::EngineDeviceEvent(ULONG64 palId, ULONG bits) {
    // A device that went in the meantime is not found and not touched.
    bool listed = WithListedDevice(palId, [bits](UsbAudioDeviceTarget* device) {
        if (device == nullptr) return false;
        if (bits & kNotificationRefreshBits) device->AudioDevice::Refresh(bits);
        return true;
    });
    if (listed) (void)palNotifier_->Notify(vexa::pal::kPalNotifyDeviceEvent, palId, bits);
}

// PASSIVE_LEVEL, on the PnP thread, before the USB driver hears of the removal.
void AudioEngine::EngineTargetGone(AUDIODEVICEIOTARGET* context) {
    WithBindingLock([&] {
        // Read only now: an arrival that failed meanwhile deleted its proxy and cleared this.
        UsbAudioDeviceTarget* proxy = context->proxy;
        if (proxy == nullptr) return;
        proxy->Unbind();
        (void)EngineRemoveDevice(proxy);
        (void)palNotifier_->Notify(vexa::pal::kPalNotifyDeviceRemoval, 0, 0);
    });
}

void AudioEngine::EngineRemoveAllDevices() {
    // No arrival comes in while the devices go.
    EngineStopWatching();
    WithBindingLock([this] {
        for (;;) {
            UsbAudioDeviceTarget* first;
            {
                WaitLockScope list(deviceListLock_);
                if (deviceCount_ == 0) return;
                first = devices_[0];
            }
            // The USB driver still holds the device: it forgets the callbacks first.
            first->Unbind();
            (void)EngineRemoveDevice(first);
            if (palNotifier_ != nullptr) {
                (void)palNotifier_->Notify(vexa::pal::kPalNotifyDeviceRemoval, 0, 0);
            }
        }
    });
}

ULONG AudioEngine::SerialOf(const UsbAudioDeviceTarget* device) {
    WaitLockScope list(deviceListLock_);
    for (ULONG64 i = 0; i < deviceCount_; ++i) {
        if (devices_[i] == device) return static_cast<ULONG>(i + 1);
    }
    return 0;
}

// The children always describe the current device; the serial number is the arrived device's.
NTSTATUS AudioEngine::EngineAddChildren(UsbAudioDeviceTarget* device) {
    ULONG serial = SerialOf(device);
    NTSTATUS status = WithCurrentDevice([&](UsbAudioDeviceTarget* current) {
        return children_->AdapterChild(rootDevice_, serial, current);
    });
    if (!NT_SUCCESS(status)) return status;
    return EngineCreateMidiChildren(device);
}

NTSTATUS AudioEngine::EngineCreateMidiChildren(UsbAudioDeviceTarget* device) {
    ULONG serial = SerialOf(device);
    return WithCurrentDevice([&](UsbAudioDeviceTarget* current) {
        if (current == nullptr) return STATUS_NO_SUCH_DEVICE;
        return children_->MidiChildren(rootDevice_, serial, current);
    });
}

ULONG AudioEngine::DeviceCount() {
    if (listSpinLock_ == nullptr) return 0;
    SpinLockScope spin(listSpinLock_);
    return static_cast<ULONG>(deviceCount_);
}

bool AudioEngine::IsListed(const void* device) {
    if (listSpinLock_ == nullptr || device == nullptr) return false;
    SpinLockScope spin(listSpinLock_);
    for (ULONG64 i = 0; i < deviceCount_; ++i) {
        if (devices_[i] == device) return true;
    }
    return false;
}

ULONG AudioEngine::DeviceIds(ULONG64 ids[kMaxAudioDevices], ULONG64* currentId) {
    WaitLockScope list(deviceListLock_);
    for (ULONG64 i = 0; i < deviceCount_; ++i) ids[i] = devices_[i]->PalId();
    if (currentId != nullptr) *currentId = currentDevice_ != nullptr ? currentDevice_->PalId() : 0;
    return static_cast<ULONG>(deviceCount_);
}

NTSTATUS AudioEngine::EngineStartStreaming() {
    WaitLockScope streaming(streamingLock_);
    return WithCurrentDevice([this](UsbAudioDeviceTarget* device) {
        if (device == nullptr || Streaming()) return STATUS_SUCCESS;
        NTSTATUS status = CatchStatus([&] {
            ULONG rate = device->GetSampleRate();
            ULONG period = clientManager_->BufferSizeForRate(rate);
            if (!NT_SUCCESS(device->SetStreamFormat(rate, period, OperationMode()))) RaiseStatus(STATUS_INTERNAL_ERROR);
            RaiseIfFailed(device->MapStreamState());
            RaiseIfFailed(device->ResetStreamState());
            // The first period may come before the start returns.
            clientManager_->StreamingChanged(device->MappedStreamState());
            if (!device->StartDeviceStreaming()) RaiseStatus(STATUS_NO_SUCH_DEVICE);
            WriteRelease(&streaming_, 1);
        });
        if (!NT_SUCCESS(status)) {
            clientManager_->StreamingChanged(nullptr);
            TRACE(kLogError | kLogInterface, status);
        }
        return status;
    });
}

// Waits up to ten polls of 20 ms for the device to become idle, and goes on regardless.
NTSTATUS AudioEngine::EngineStopStreaming() {
    if (streamingLock_ == nullptr) return STATUS_SUCCESS;
    WaitLockScope streaming(streamingLock_);
    WithCurrentDevice([this](UsbAudioDeviceTarget* device) {
        if (device == nullptr || !Streaming() || !device->StopDeviceStreaming()) return;
        ULONG busy = 1;
        for (ULONG poll = 0; poll < kBusyPolls && busy != 0; ++poll) {
            SleepMs(kBusyPollMs);
            (void)device->QueryBusy(&busy);
        }
    });
    WriteRelease(&streaming_, 0);
    if (clientManager_ != nullptr) clientManager_->StreamingChanged(nullptr);
    return STATUS_SUCCESS;
}

// Caller holds deviceListLock_. The clock is committed only once the device
// accepted it. `notify` (may be null) says whether the clients must hear of it.
NTSTATUS AudioEngine::SetRateLocked(ULONG rate, ULONG clock, bool* notify) {
    if (currentDevice_ == nullptr) return STATUS_NO_SUCH_DEVICE;
    EngineSettings before = EngineGetSettings();
    NTSTATUS status = CatchStatus([&] {
        if (clock == kKeepClock) clock = before.clockSource;
        // The one cut on the way to the device: every rate change comes through here.
        clock = ClockId(clock);
        if (!currentDevice_->SetClock(rate, clock)) RaiseStatus(STATUS_INTERNAL_ERROR);
        {
            WaitLockScope settings(settingsLock_);
            settings_.clockSource = clock;
            settings_.sampleRate = rate;
        }
        WriteSetting(kClockSourceValue, clock, kMajorDeviceControl);
        WriteSetting(kSamplingRateValue, rate, kMajorDeviceControl);
        RaiseIfFailed(RecomputeLocked(rate));
    });
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status, rate, clock);
    EngineSettings after = EngineGetSettings();
    if (notify != nullptr) {
        *notify = after.sampleRate != before.sampleRate || after.outputChannelCount != before.outputChannelCount ||
                  after.inputChannelCount != before.inputChannelCount;
    }
    return status;
}

NTSTATUS AudioEngine::EngineSetRate(ULONG rate, ULONG clock, bool stopStreaming) {
    if (stopStreaming) (void)EngineStopStreaming();
    bool notify = false;
    NTSTATUS status;
    {
        WaitLockScope list(deviceListLock_);
        status = SetRateLocked(rate, clock, &notify);
    }
    if (status == STATUS_INTERNAL_ERROR) return status;  // the device refused: nothing changed
    if (notify) {
        if (NTSTATUS notified = palNotifier_->Notify(vexa::pal::kPalNotifyBusChanged, 0, 0); !NT_SUCCESS(notified)) {
            TRACE(kLogWarning | kLogInterface, notified);
        }
        (void)EngineNotifyClients(kClientEventRateChanged);
    }
    return status;
}

NTSTATUS AudioEngine::EngineSetOperationMode(ULONG mode) {
    if (mode > kMaxOperationMode) return STATUS_INVALID_PARAMETER;
    if (NTSTATUS status = CatchStatus([&] { WriteSetting(kOperationModeValue, mode, kMajorPnp); });
        !NT_SUCCESS(status)) {
        return status;
    }
    {
        WaitLockScope settings(settingsLock_);
        settings_.operationMode = mode;
    }
    WithCurrentDevice([mode](UsbAudioDeviceTarget* device) {
        if (device != nullptr) (void)device->SetOperationMode(mode);
    });
    return EngineNotifyClients(kClientEventModeChanged);
}

NTSTATUS AudioEngine::EngineNotifyClients(ULONG clientEvent) {
    return clientManager_ != nullptr ? clientManager_->NotifyAudioClients(clientEvent) : STATUS_SUCCESS;
}

ULONG AudioEngine::EngineGetCurrentRate() {
    return WithCurrentDevice([](AudioDevice* device) { return device != nullptr ? device->GetSampleRate() : 0; });
}

EngineSettings AudioEngine::EngineGetSettings() {
    WaitLockScope settings(settingsLock_);
    return settings_;
}

ULONG AudioEngine::OperationMode() { return EngineGetSettings().operationMode; }

void AudioEngine::SetPeriodFrames(ULONG frames) {
    WaitLockScope settings(settingsLock_);
    settings_.periodFrames = frames;
}

bool AudioEngine::EngineHasSampleRate(ULONG rate) {
    return WithCurrentDevice([rate](AudioDevice* device) { return device != nullptr && ListsRate(device, rate); });
}

bool AudioEngine::EngineHasClockSource(ULONG id) {
    return WithCurrentDevice([id](AudioDevice* device) { return device != nullptr && ListsClock(device, id); });
}

bool AudioEngine::EngineGetRateRange(ULONG* lowest, ULONG* highest) {
    bool found = WithCurrentDevice([&](AudioDevice* device) {
        if (device == nullptr) {
            TRACE(kLogError | kLogInterface);
            return false;
        }
        ULONG count = device->GetSampleRateCount();
        if (count == 0) {
            LogEvent(WdfDriverWdmGetDriverObject(driver_), kMajorPnp, MSG_NO_SAMPLE_RATE_SUPPORTED,
                     STATUS_DEVICE_FEATURE_NOT_SUPPORTED);
            return false;
        }
        ULONG rate = 0;
        (void)device->GetSampleRateAt(0, &rate);
        *lowest = *highest = rate;
        for (ULONG i = 1; i < count; ++i) {
            if (!device->GetSampleRateAt(i, &rate)) continue;
            if (rate < *lowest) *lowest = rate;
            if (rate > *highest) *highest = rate;
        }
        return true;
    });
    return found;
}

// PASSIVE_LEVEL
NTSTATUS AudioEngine::EngineGetLatencies(DeviceLatencies* latencies) {
    return WithCurrentDevice([&](UsbAudioDeviceTarget* device) {
        if (device == nullptr) return STATUS_NO_SUCH_DEVICE;
        latencies->rate = device->GetSampleRate();
        NTSTATUS status = device->GetLatency(&latencies->framesPerMs, &latencies->safetyFrames);
        if (!NT_SUCCESS(status)) {
            TRACE(kLogError | kLogAsio, status);
            return status;
        }
        latencies->input = device->GetDeviceInputLatency(latencies->rate);
        latencies->output = device->GetDeviceOutputLatency(latencies->rate);
        return STATUS_SUCCESS;
    });
}

bool AudioEngine::EngineGetChannelRing(ULONG channel, StreamState** ring, ULONG* index) {
    return WithCurrentDevice([&](UsbAudioDeviceTarget* device) {
        if (device == nullptr) return false;
        *ring = device->MappedStreamState();
        *index = channel & 0x7FFFFFFF;
        return true;
    });
}

bool AudioEngine::EngineGetChannelInfo(ULONG channel, ULONG64* deviceId, WCHAR* label) {
    return WithCurrentDevice([&](UsbAudioDeviceTarget* device) {
        if (device == nullptr) return false;
        *deviceId = device->GetDeviceId64();
        if ((channel & kInputChannel) != 0) {
            device->GetInputChannelLabel(channel & ~kInputChannel, label);
        } else {
            device->GetOutputChannelLabel(channel, label);
        }
        return true;
    });
}
