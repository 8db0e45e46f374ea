// The WDM channel maps: for each of the 48 WDM channels of a direction, the
// device channel it stands for, kept in the Parameters key as the device's
// 64-bit id (REG_BINARY) and the channel's label (REG_SZ) per sequence number.
// The first adapter open writes the current device's channels 1 to 48; every
// open reads the maps back and gives each entry left unmapped a free channel.
#define LOG_FILE_NUMBER 174

#include "children/wdm_adapter.h"
#include "engine/audio_engine.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "platform/kernel/strsafe.h"

using namespace vexa::log;
using namespace vexa::child;

namespace {

constexpr ULONG kInputChannel = 0x80000000;
constexpr ULONG kValueNameChars = 64;
constexpr ULONG kLabelBytes = kChannelLabelChars * sizeof(WCHAR);  // 512
static_assert(kLabelBytes == 512);
const WCHAR kMapSetValue[] = u"Channel map set first time";

// "WDM Out Seq 001 Device Index", "WDM In Seq 048 Channel Name", ...
NTSTATUS SequenceValueName(PUNICODE_STRING name, bool input, ULONG sequence, bool label) {
    return RtlUnicodeStringPrintf(name, label ? u"WDM %s Seq %003d Channel Name" : u"WDM %s Seq %003d Device Index",
                                  input ? u"In" : u"Out", static_cast<int>(sequence));
}

bool Holds(const ULONG* map, ULONG channel) {
    for (ULONG i = 0; i < kWdmMaxChannels; ++i) {
        if (map[i] == channel) return true;
    }
    return false;
}

}  // namespace

NTSTATUS WdmAdapter::InitChannelMaps() {
    UNICODE_STRING name = RTL_CONSTANT_STRING(kMapSetValue);
    ULONG set = 0;
    NTSTATUS status = WdfRegistryQueryULong(parametersKey_, &name, &set);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        if (!NT_SUCCESS(status = WriteULong(kMapSetValue, 1))) return status;
        if (!NT_SUCCESS(status = WriteDefaultChannelMap(false))) return status;
        if (!NT_SUCCESS(status = WriteDefaultChannelMap(true))) return status;
    } else if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogWdm, status);
        return status;
    }
    LoadChannelMap(false);
    LoadChannelMap(true);
    EngineSettings settings = engine_->EngineGetSettings();
    FillGaps(outputChannelMap_, settings.outputChannelCount);
    FillGaps(inputChannelMap_, settings.inputChannelCount);
    return STATUS_SUCCESS;
}

// The current device's channels 1 to 48 of a direction; channels past its
// count get the numbered labels ("Output 9" ...).
NTSTATUS WdmAdapter::WriteDefaultChannelMap(bool input) {
    PoolBuffer label(NonPagedPoolNx, kLabelBytes, kWdmPoolTag);
    if (!label) {
        LogEventFor(kMajorInternalDeviceControl, static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES),
                    STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG sequence = 1; sequence <= kWdmMaxChannels; ++sequence) {
        ULONG64 deviceId = 0;
        if (!clientManager_->GetChannelInfo((sequence - 1) | (input ? kInputChannel : 0), &deviceId,
                                            label.Get<WCHAR>())) {
            return STATUS_UNSUCCESSFUL;
        }
        DECLARE_UNICODE_STRING_SIZE(name, kValueNameChars);
        NTSTATUS status = SequenceValueName(&name, input, sequence, false);
        if (NT_SUCCESS(status)) status = WdfRegistryAssignValue(parametersKey_, &name, REG_BINARY, sizeof(deviceId), &deviceId);
        if (NT_SUCCESS(status)) status = SequenceValueName(&name, input, sequence, true);
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, label.Get<WCHAR>());
        if (NT_SUCCESS(status)) status = WdfRegistryAssignUnicodeString(parametersKey_, &name, &text);
        if (!NT_SUCCESS(status)) {
            TRACE(kLogError | kLogWdm, status, sequence);
            LogEventFor(kMajorInternalDeviceControl, MSG_REGISTRY_WRITE_FAILED, status);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// One sequence: the device its id names, then the channel its label names
// there. A label that matches nothing leaves the entry as it was.
NTSTATUS WdmAdapter::LoadSequence(bool input, ULONG sequence, ULONG* entry) {
    DECLARE_UNICODE_STRING_SIZE(name, kValueNameChars);
    NTSTATUS status = SequenceValueName(&name, input, sequence, false);
    if (!NT_SUCCESS(status)) return status;
    ULONG64 deviceId = 0;
    ULONG length = 0;
    ULONG type = REG_NONE;
    status = WdfRegistryQueryValue(parametersKey_, &name, sizeof(deviceId), &deviceId, &length, &type);
    if (status == STATUS_BUFFER_OVERFLOW || (NT_SUCCESS(status) && (type != REG_BINARY || length != sizeof(deviceId)))) {
        return STATUS_OBJECT_TYPE_MISMATCH;  // there, but not an id
    }
    if (!NT_SUCCESS(status)) return status;
    ULONG deviceIndex = 0;
    if (!NT_SUCCESS(status = engine_->EngineFindDeviceIndex(deviceId, &deviceIndex))) return status;
    WDFSTRING label = nullptr;
    if (!NT_SUCCESS(status = WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &label))) {
        *entry = kUnmappedChannel;
        return status;
    }
    status = SequenceValueName(&name, input, sequence, true);
    if (NT_SUCCESS(status)) status = WdfRegistryQueryString(parametersKey_, &name, label);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING text;
        WdfStringGetUnicodeString(label, &text);
        auto channel = static_cast<LONG>(*entry);
        status = engine_->EngineFindChannelByName(deviceIndex, &text, &channel, input);
        if (NT_SUCCESS(status)) *entry = static_cast<ULONG>(channel);
    }
    WdfObjectDelete(label);
    return status;
}

// A value that has gone missing brings the direction's defaults back, and the
// sequence is read once more; other failures leave the entry unmapped.
void WdmAdapter::LoadChannelMap(bool input) {
    ULONG* map = input ? inputChannelMap_ : outputChannelMap_;
    for (ULONG sequence = 1; sequence <= kWdmMaxChannels; ++sequence) {
        NTSTATUS status = LoadSequence(input, sequence, &map[sequence - 1]);
        if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
            TRACE(kLogWarning | kLogWdm, sequence, input);
            if (NT_SUCCESS(WriteDefaultChannelMap(input))) status = LoadSequence(input, sequence, &map[sequence - 1]);
        }
        if (!NT_SUCCESS(status)) TRACE(kLogDetail | kLogWdm, status, sequence, input);
    }
}

// Every unmapped entry takes the lowest device channel no entry holds; when
// none is free (or the device has none), the one given last in this pass (0 at first).
void WdmAdapter::FillGaps(ULONG* map, ULONG channels) {
    ULONG last = 0;
    for (ULONG i = 0; i < kWdmMaxChannels; ++i) {
        if (map[i] != kUnmappedChannel) continue;
        ULONG channel = 0;
        while (channel < channels && Holds(map, channel)) ++channel;
        if (channel < channels) last = channel;
        map[i] = last;
    }
}
