// The interface's sample clock through its USB Audio Class 2.0 audio-control
// interface: clock sources, the clock selector, discrete rates, and the clock
// commands 6/0 to 6/3.
#include "device.h"
#include "logger.h"
#include "platform/usb/usbd.h"
#include "status_error.h"
#include "usb_audio.h"

#define LOG_FILE_NUMBER 463

using namespace vexa::log;

namespace {

// The RANGE reply read: its count and as many sub-ranges as the rate table keeps.
constexpr ULONG kRangeReplyBytes = sizeof(USHORT) + kMaxClockEntries * sizeof(RateSubRange);
static_assert(kRangeReplyBytes == 194);

}  // namespace

struct ClockSourceEntry {
    WCHAR name[kClockNameChars];
    UCHAR clockId;
    UCHAR nameIndex;
    UCHAR clockValid;
};

// No lock of its own: written during preparation and by the clock commands,
// which the root driver sends one at a time at PASSIVE_LEVEL; read only by them.
struct ClockControl {
    USB_CONFIGURATION* configuration;
    InterfaceObject* interface;
    PipeRecord* interruptPipe;
    UCHAR currentClockId;
    UCHAR selectorPin;
    UCHAR clockSelectorId;
    ULONG clockSourceCount;  // every source found, even beyond the table
    ULONG sampleRates[kMaxClockEntries];
    ClockSourceEntry clockSources[kMaxClockEntries];
};

namespace {

ULONG StoredSources(const ClockControl* clock) { return std::min<ULONG>(clock->clockSourceCount, kMaxClockEntries); }

// A clock id as DCP carries it (16 bits) names a source only when one of the
// stored sources has exactly that id; an entity id is 8 bits, so a wider one
// names none (its low byte must not stand in for it).
bool ListsClockSource(const ClockControl* clock, USHORT clockId) {
    if (clockId == 0 || clockId > 0xFF) return false;
    for (ULONG i = 0; i < StoredSources(clock); ++i) {
        if (clock->clockSources[i].clockId == clockId) return true;
    }
    return false;
}

// The control's wIndex: the entity in the high byte, the audio-control interface's number in the low byte.
USHORT EntityIndex(const ClockControl* clock, UCHAR entity) {
    UCHAR number = clock->interface != nullptr && clock->interface->descriptor != nullptr
                       ? clock->interface->descriptor->bInterfaceNumber
                       : 0;
    return static_cast<USHORT>(entity << 8 | number);
}

[[nodiscard]] NTSTATUS ClockRequest(ClockControl* clock, UCHAR direction, UCHAR request, USHORT control, UCHAR entity,
                                    PVOID buffer, ULONG length) {
    return ClassControlTransfer(clock->configuration, direction, kRecipientInterface, request, control,
                                EntityIndex(clock, entity), buffer, length, nullptr);
}

void ParseClockDescriptors(ClockControl* clock) {
    USB_CONFIGURATION* configuration = clock->configuration;
    const USB_INTERFACE_DESCRIPTOR* own = clock->interface->descriptor;
    const USB_INTERFACE_DESCRIPTOR* found = USBD_ParseConfigurationDescriptorEx(
        configuration->configurationDescriptor, configuration->configurationDescriptor, own->bInterfaceNumber,
        own->bAlternateSetting, own->bInterfaceClass, own->bInterfaceSubClass, own->bInterfaceProtocol);
    ULONG count = 0;
    for (const USB_COMMON_DESCRIPTOR* d = NextDescriptorOfType(configuration, found, kCsInterface); d != nullptr;
         d = NextDescriptorOfType(configuration, d, kCsInterface)) {
        const auto* header = reinterpret_cast<const UacDescriptorHeader*>(d);
        if (d->bLength < sizeof(UacDescriptorHeader)) continue;
        if (header->bDescriptorSubtype == kAcClockSource && d->bLength >= sizeof(UacClockSourceDescriptor)) {
            if (count < kMaxClockEntries) {
                const auto* source = reinterpret_cast<const UacClockSourceDescriptor*>(d);
                ClockSourceEntry& entry = clock->clockSources[count];
                entry.clockId = source->bClockID;
                entry.nameIndex = source->iClockSource;
                // A missing or refused name leaves it empty.
                (void)ReadStringDescriptor(configuration, entry.nameIndex, entry.name, kClockNameChars);
            }
            ++count;
        } else if (header->bDescriptorSubtype == kAcClockSelector) {
            clock->clockSelectorId = header->bEntityId;
        } else {
            TRACE(kLogDetail | kLogDescriptor, header->bDescriptorSubtype, d->bLength);
        }
    }
    clock->clockSourceCount = count & 0xFF;
    if (PipeCount(clock->interface) == 1 && clock->interface->pipes[0]->endpoint != nullptr &&
        (clock->interface->pipes[0]->endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT) {
        clock->interruptPipe = clock->interface->pipes[0];
    }
}

}  // namespace

// DISPATCH_LEVEL. The clock interrupt's data is read and dropped.
void ClockEvtInterruptComplete(WDFUSBPIPE, WDFMEMORY, size_t bytes, WDFCONTEXT) { TRACE_RT(kLogDetail, bytes); }

void ReadRateRanges(ClockControl* clock) {
    if (clock->currentClockId == 0) return;
    UCHAR reply[kRangeReplyBytes] = {};
    RaiseIfFailed(ClockRequest(clock, kDirectionIn, kRequestRange, kClockFrequencyControl, clock->currentClockId, reply,
                               sizeof(reply)));
    USHORT subRanges = 0;
    RtlCopyMemory(&subRanges, reply, sizeof(subRanges));
    RtlZeroMemory(clock->sampleRates, sizeof(clock->sampleRates));
    if (subRanges < 1 || subRanges > kMaxClockEntries) return;
    for (USHORT i = 0; i < subRanges; ++i) {
        RateSubRange range;
        RtlCopyMemory(&range, reply + sizeof(USHORT) + i * sizeof(RateSubRange), sizeof(range));
        if (range.minimum != range.maximum) break;  // the first true range ends the discrete list
        clock->sampleRates[i] = range.minimum;
    }
}

namespace {

[[nodiscard]] NTSTATUS ReadClockValid(ClockControl* clock, UCHAR clockId) {
    for (ULONG i = 0; i < StoredSources(clock); ++i) {
        ClockSourceEntry& entry = clock->clockSources[i];
        if (entry.clockId != clockId) continue;
        return ClockRequest(clock, kDirectionIn, kRequestCur, kClockValidityControl, clockId, &entry.clockValid, 1);
    }
    return STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS ClockControlCreate(UsbFunctionDevice* device, InterfaceObject* object) {
    auto* clock = static_cast<ClockControl*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(ClockControl), kPoolTagObject));
    if (clock == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(clock, sizeof(*clock));
    clock->configuration = &device->configuration;
    clock->interface = object;
    NTSTATUS status = CatchStatus([&] {
        const USB_INTERFACE_DESCRIPTOR* d = object->descriptor;
        if (d == nullptr || d->bInterfaceClass != kAudioClass || d->bInterfaceSubClass != kAudioControlSubclass) {
            RaiseStatus(STATUS_INVALID_PARAMETER);
        }
        ParseClockDescriptors(clock);
        clock->currentClockId = clock->clockSources[0].clockId;
        // A clock selector is required: it says which source runs the interface.
        if (clock->clockSelectorId == 0) RaiseStatus(STATUS_DEVICE_NOT_READY);
        RaiseIfFailed(ClockRequest(clock, kDirectionIn, kRequestCur, kClockFrequencyControl, clock->clockSelectorId,
                                   &clock->selectorPin, 1));
        if (clock->selectorPin >= 1 && clock->selectorPin <= StoredSources(clock)) {
            clock->currentClockId = clock->clockSources[clock->selectorPin - 1].clockId;
        }
        ReadRateRanges(clock);
        ULONG rate = 0;
        RaiseIfFailed(GetCurrentRate(clock, &rate));
        RaiseIfFailed(SetClockRate(clock, clock->currentClockId, rate));
        for (ULONG i = 0; i < StoredSources(clock); ++i) {
            if (clock->clockSources[i].clockId != 0) {
                RaiseIfFailed(ReadClockValid(clock, clock->clockSources[i].clockId));
                break;
            }
        }
        // Without its interrupt endpoint the clock runs without the reader.
        if (clock->interruptPipe != nullptr) {
            RaiseIfFailed(ConfigureContinuousReader(clock->interruptPipe, ClockEvtInterruptComplete, clock));
            RaiseIfFailed(ClockControlStart(clock));
        }
    });
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogDescriptor, status);
        ClockControlDestroy(clock);
        return status;
    }
    TRACE(kLogInfo | kLogDescriptor, clock->currentClockId, clock->clockSourceCount, clock->selectorPin);
    device->clock = clock;
    return status;
}

void ClockControlDestroy(ClockControl* clock) {
    ClockControlStop(clock);
    ExFreePoolWithTag(clock, kPoolTagObject);
}

NTSTATUS ClockControlStart(ClockControl* clock) { return StartReaderPipe(clock->interruptPipe); }

void ClockControlStop(ClockControl* clock) { StopReaderPipe(clock->interruptPipe); }

NTSTATUS GetCurrentRate(ClockControl* clock, ULONG* rate) {
    if (clock->currentClockId == 0) return STATUS_SUCCESS;
    return ClockRequest(clock, kDirectionIn, kRequestCur, kClockFrequencyControl, clock->currentClockId, rate,
                        sizeof(*rate));
}

NTSTATUS SetClockRate(ClockControl* clock, UCHAR clockId, ULONG rate) {
    NTSTATUS status =
        ClockRequest(clock, kDirectionOut, kRequestCur, kClockFrequencyControl, clockId, &rate, sizeof(rate));
    if (NT_SUCCESS(status)) status = ReadClockValid(clock, clockId);
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogDescriptor, status, clockId, rate);
    return status;
}

ULONG ClockCommand(UsbFunctionDevice* device, USHORT command, PVOID in, ULONG64 inLength, PVOID out,
                   ULONG64* outLength) {
    ClockControl* clock = device->clock;
    if (clock == nullptr) return kUsbResultFailed;
    ULONG64 capacity = out != nullptr && outLength != nullptr ? *outLength : 0;
    switch (command) {
        case kDcpClockListSources: {
            ULONG n = clock->clockSourceCount;
            if (capacity < 4ull * n) return kUsbResultBufferTooSmall;
            auto* entries = static_cast<USHORT*>(out);
            for (ULONG i = 0; i < n; ++i) {
                if (i >= kMaxClockEntries || clock->clockSources[i].clockId == 0) return kUsbResultFailed;
                entries[2 * i] = clock->clockSources[i].clockId;
                entries[2 * i + 1] = clock->clockSources[i].nameIndex;
            }
            if (outLength != nullptr) *outLength = 4ull * n;
            return kUsbResultOk;
        }
        case kDcpClockListRates: {
            ULONG count = 0;
            while (count < kMaxClockEntries && clock->sampleRates[count] != 0) ++count;
            if (capacity < 4ull * count) return kUsbResultBufferTooSmall;
            if (count != 0) RtlCopyMemory(out, clock->sampleRates, 4ull * count);
            if (outLength != nullptr) *outLength = 4ull * count;
            return kUsbResultOk;
        }
        case kDcpClockGet: {
            if (capacity < kClockGetReplyMinBytes) return kUsbResultBufferTooSmall;
            ClockGetReply reply{};
            reply.clockSource = clock->currentClockId;
            if (!NT_SUCCESS(GetCurrentRate(clock, &reply.sampleRate))) return kUsbResultFailed;
            RtlCopyMemory(out, &reply, kClockGetReplyMinBytes);
            return kUsbResultOk;
        }
        case kDcpClockSet: {
            if (in == nullptr || inLength < kClockSetRequestMinBytes) return kUsbResultFailed;
            // A running stream cannot follow a new rate: refuse before the clock changes.
            if (ReadNoFence(&device->streamingOn) != 0 || StreamsActive(device)) return kUsbResultFailed;
            ClockSetRequest request{};
            RtlCopyMemory(&request, in, kClockSetRequestMinBytes);
            const ULONG rate = request.sampleRate;
            const USHORT clockId = request.clockSource;
            // Refused before anything reaches the device.
            if (!ListsClockSource(clock, clockId)) {
                TRACE(kLogError | kLogDescriptor, clockId, rate);
                return kUsbResultFailed;
            }
            if (!NT_SUCCESS(SetClockRate(clock, static_cast<UCHAR>(clockId), rate))) return kUsbResultFailed;
            device->streamFormat.sampleRate = rate;
            return NT_SUCCESS(StreamsTakeRate(device, rate, true)) ? kUsbResultOk : kUsbResultFailed;
        }
        default:
            return kUsbResultFailed;
    }
}
