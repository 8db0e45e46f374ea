// The vendor channel: DCP commands to the firmware as class requests on the
// vendor interface, replies announced on its interrupt endpoint, which also
// carries the device's notification bits to the root driver.
#include "device.h"
#include "logger.h"
#include "status_error.h"

#define LOG_FILE_NUMBER 461

using namespace vexa::log;

inline constexpr uint64_t kVendorChannelMagic = 0x1810196604061973ull;
inline constexpr ULONG kVendorReplyWaitMs = 2000;

namespace {

constexpr UCHAR kRequestCapabilities = 0;
constexpr UCHAR kRequestResync = 1;
constexpr UCHAR kRequestCommand = 2;
constexpr UCHAR kRequestReply = 3;
constexpr ULONG kNotifyReplyReady = 0x1;
constexpr ULONG kNotifyReservedBits = 0x3;
constexpr ULONG kNotificationBytes = 8;
constexpr ULONG kMaxTransferBytes = 0xFFFF;  // wLength is 16 bits
constexpr ULONG kResyncLevel = 2;
constexpr ULONG kHighestCompatibleLevel = 1;

struct VendorChannelCapabilities {
    ULONG64 magic;
    ULONG protocolLevel;
    ULONG minCompatibleLevel;
    ULONG maxPayload;
    ULONG reserved;
};
static_assert(sizeof(VendorChannelCapabilities) == 24);

struct VendorMessageHeader {
    ULONG commandWord;  // bits 12-23 category, 0-11 command
    USHORT length;
    USHORT sequence;
    ULONG status;
    ULONG reserved;
};
static_assert(sizeof(VendorMessageHeader) == 16);

ULONG CommandWord(USHORT category, USHORT command) {
    return (static_cast<ULONG>(category) & 0xFFF) << 12 | (static_cast<ULONG>(command) & 0xFFF);
}

[[nodiscard]] ULONG MapStatus(NTSTATUS status) {
    if (status == STATUS_NO_SUCH_DEVICE) return kUsbResultNotConnected;
    if (status == STATUS_IO_TIMEOUT) return kUsbResultTimeout;
    return kUsbResultFailed;
}

}  // namespace

struct VendorChannel {
    USB_CONFIGURATION* configuration;
    UsbFunctionDevice* device;
    InterfaceObject* interface;
    PipeRecord* notificationPipe;
    VendorChannelCapabilities capabilities;
    UCHAR* requestBuffer;  // bufferSize bytes each; exchange path only
    UCHAR* replyBuffer;
    USHORT sendCounter;
    USHORT receiveCounter;
    ULONG bufferSize;
    BOOLEAN open;
    UCHAR interfaceNumber;
    KEVENT replyReady;
    WDFWAITLOCK exchangeLock;  // one exchange at a time: one pair of buffers and counters
    KSPIN_LOCK calloutLock;    // guards the triple below against the notification completion
    PVOID clientDevice;
    PVOID notifyContext;
    PFN_AUDIODEVICE_NOTIFICATION notificationCallback;
};

namespace {

void FreeBuffers(VendorChannel* channel) {
    if (channel->requestBuffer != nullptr) ExFreePoolWithTag(channel->requestBuffer, kPoolTagBuffer);
    if (channel->replyBuffer != nullptr) ExFreePoolWithTag(channel->replyBuffer, kPoolTagBuffer);
    channel->requestBuffer = nullptr;
    channel->replyBuffer = nullptr;
    channel->bufferSize = 0;
}

}  // namespace

// DISPATCH_LEVEL: the interrupt endpoint's reader.
void VendorEvtNotificationComplete(WDFUSBPIPE, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context) {
    auto* channel = static_cast<VendorChannel*>(context);
    if (channel == nullptr || bytes != kNotificationBytes) {
        TRACE_RT(kLogError | kLogInterface, bytes);
        return;
    }
    ULONG word = 0;
    RtlCopyMemory(&word, WdfMemoryGetBuffer(buffer, nullptr), sizeof(word));
    if (word == 0) {
        TRACE_RT(kLogError | kLogInterface, word);
        return;
    }
    if (word & kNotifyReplyReady) KeSetEvent(&channel->replyReady, 0, FALSE);
    ULONG bits = word & ~kNotifyReservedBits;
    if (bits == 0) return;

    KIRQL irql;
    KeAcquireSpinLock(&channel->calloutLock, &irql);
    PVOID clientDevice = channel->clientDevice;
    PVOID notifyContext = channel->notifyContext;
    PFN_AUDIODEVICE_NOTIFICATION callback = channel->notificationCallback;
    KeReleaseSpinLock(&channel->calloutLock, irql);
    if (clientDevice == nullptr || callback == nullptr) return;
    ULONG result = callback(notifyContext, clientDevice, kNotifyTypeDeviceBits, bits);
    if (result != kUsbResultOk && result != kUsbResultNotConnected) TRACE_RT(kLogWarning | kLogInterface, result, bits);
}

namespace {

void Initialise(VendorChannel* channel) {
    InterfaceObject* object = channel->interface;
    USB_INTERFACE_DESCRIPTOR* descriptor = object->descriptor;
    channel->interfaceNumber = descriptor != nullptr ? descriptor->bInterfaceNumber : 0;
    if (descriptor == nullptr || descriptor->bInterfaceClass != kVendorInterfaceClass ||
        descriptor->bInterfaceSubClass != kVendorChannelSubclass) {
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
    // Exactly one interrupt IN endpoint carries the notifications; anything else has none to read.
    PipeRecord* pipe = object->pipes[0];
    if (PipeCount(object) != 1 || pipe->endpoint == nullptr ||
        (pipe->endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_INTERRUPT ||
        (pipe->endpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0) {
        TRACE(kLogError | kLogInterface, PipeCount(object));
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
    channel->notificationPipe = pipe;
    KeInitializeEvent(&channel->replyReady, NotificationEvent, FALSE);
    KeInitializeSpinLock(&channel->calloutLock);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = channel->device->wdfDevice;
    RaiseIfFailed(WdfWaitLockCreate(&attributes, &channel->exchangeLock));
    RaiseIfFailed(ConfigureContinuousReader(pipe, VendorEvtNotificationComplete, channel));
    RaiseIfFailed(VendorChannelStartNotifications(channel));
}

}  // namespace

NTSTATUS VendorChannelCreate(UsbFunctionDevice* device, InterfaceObject* object) {
    auto* channel = static_cast<VendorChannel*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(VendorChannel), kPoolTagObject));
    if (channel == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(channel, sizeof(*channel));
    channel->configuration = &device->configuration;
    channel->device = device;
    channel->interface = object;
    NTSTATUS status = CatchStatus([&] { Initialise(channel); });
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogInterface, status);
        VendorChannelDestroy(channel);
        return status;
    }
    device->vendorChannel = channel;
    return status;
}

void VendorChannelDestroy(VendorChannel* channel) {
    VendorChannelStopNotifications(channel);
    VendorChannelSetCallbacks(channel, nullptr, nullptr, nullptr);
    FreeBuffers(channel);
    if (channel->exchangeLock != nullptr) WdfObjectDelete(channel->exchangeLock);
    if (channel->device != nullptr && channel->device->vendorChannel == channel) channel->device->vendorChannel = nullptr;
    ExFreePoolWithTag(channel, kPoolTagObject);
}

NTSTATUS VendorChannelStartNotifications(VendorChannel* channel) { return StartReaderPipe(channel->notificationPipe); }

void VendorChannelStopNotifications(VendorChannel* channel) { StopReaderPipe(channel->notificationPipe); }

void VendorChannelSetCallbacks(VendorChannel* channel, PVOID notifyContext, PVOID clientDevice,
                               PFN_AUDIODEVICE_NOTIFICATION callback) {
    KIRQL irql;
    KeAcquireSpinLock(&channel->calloutLock, &irql);
    channel->notifyContext = notifyContext;
    channel->clientDevice = clientDevice;
    channel->notificationCallback = callback;
    KeReleaseSpinLock(&channel->calloutLock, irql);
}

NTSTATUS OpenVendorChannel(VendorChannel* channel) {
    WdfWaitLockAcquire(channel->exchangeLock, nullptr);
    NTSTATUS status = CatchStatus([&] {
        channel->open = FALSE;
        RtlZeroMemory(&channel->capabilities, sizeof(channel->capabilities));
        RaiseIfFailed(ClassControlTransfer(channel->configuration, kDirectionIn, kRecipientInterface,
                                           kRequestCapabilities, 0, channel->interfaceNumber, &channel->capabilities,
                                           sizeof(channel->capabilities), nullptr));
        // A reply of maxPayload + 16 bytes must fit one control transfer's 16-bit length.
        if (channel->capabilities.maxPayload > kMaxTransferBytes - sizeof(VendorMessageHeader)) {
            TRACE(kLogError | kLogInterface, channel->capabilities.maxPayload);
            RaiseStatus(STATUS_INVALID_PARAMETER);
        }
        bool valid = channel->capabilities.magic == kVendorChannelMagic &&
                     channel->capabilities.minCompatibleLevel <= kHighestCompatibleLevel;
        // A repeated open replaces the earlier buffers instead of leaking them.
        FreeBuffers(channel);
        ULONG size = channel->capabilities.maxPayload + sizeof(VendorMessageHeader);
        channel->requestBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(g_nonPagedPool, size, kPoolTagBuffer));
        channel->replyBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(g_nonPagedPool, size, kPoolTagBuffer));
        if (channel->requestBuffer == nullptr || channel->replyBuffer == nullptr) {
            FreeBuffers(channel);
            RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        }
        channel->bufferSize = size;
        channel->open = valid ? TRUE : FALSE;
        TRACE(kLogInfo | kLogInterface, channel->open, channel->capabilities.protocolLevel,
              channel->capabilities.maxPayload);
    });
    WdfWaitLockRelease(channel->exchangeLock);
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status);
    return status;
}

namespace {

// One exchange once its command is known: the request sent, the reply awaited,
// read and checked against the request; the caller holds exchangeLock.
[[nodiscard]] ULONG Exchange(VendorChannel* channel, USHORT category, USHORT command, PVOID in, ULONG64 inLength,
                             PVOID out, ULONG64* outLength) {
    bool resync = category == kDcpCategoryGlobal && command == kDcpGlobalResync;
    if (resync) {
        channel->sendCounter = 0;
        channel->receiveCounter = 0;
    }
    if (!channel->open) return kUsbResultChannelClosed;
    if (inLength > channel->capabilities.maxPayload) return kUsbResultTooLarge;

    RtlZeroMemory(channel->requestBuffer, channel->bufferSize);
    VendorMessageHeader header{CommandWord(category, command), static_cast<USHORT>(inLength & 0xFFFF),
                               channel->sendCounter, 0, 0};
    RtlCopyMemory(channel->requestBuffer, &header, sizeof(header));
    if (inLength != 0 && in != nullptr) RtlCopyMemory(channel->requestBuffer + sizeof(header), in, inLength);
    KeResetEvent(&channel->replyReady);

    bool withoutData = resync && channel->capabilities.protocolLevel >= kResyncLevel;
    NTSTATUS status = withoutData
                          ? ClassControlTransfer(channel->configuration, kDirectionOut, kRecipientInterface,
                                                 kRequestResync, 0, channel->interfaceNumber, nullptr, 0, nullptr)
                          : ClassControlTransfer(channel->configuration, kDirectionOut, kRecipientInterface,
                                                 kRequestCommand, 0, channel->interfaceNumber, channel->requestBuffer,
                                                 static_cast<ULONG>(sizeof(header) + inLength), nullptr);
    if (!NT_SUCCESS(status)) return MapStatus(status);

    RtlZeroMemory(channel->replyBuffer, channel->bufferSize);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(kVendorReplyWaitMs) * 10'000;
    status = KeWaitForSingleObject(&channel->replyReady, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT) return kUsbResultTimeout;
    if (status != STATUS_SUCCESS) return kUsbResultFailed;

    ULONG received = 0;
    status = ClassControlTransfer(channel->configuration, kDirectionIn, kRecipientInterface, kRequestReply, 0,
                                  channel->interfaceNumber, channel->replyBuffer, channel->bufferSize, &received);
    if (!NT_SUCCESS(status)) return withoutData ? kUsbResultSequenceMismatch : MapStatus(status);

    // Every reply read moves both counters on, whatever it says.
    channel->sendCounter = static_cast<USHORT>(channel->sendCounter + 1);
    USHORT expected = channel->receiveCounter;
    channel->receiveCounter = static_cast<USHORT>(channel->receiveCounter + 1);

    VendorMessageHeader reply{};
    if (received < sizeof(reply)) return kUsbResultFailed;
    RtlCopyMemory(&reply, channel->replyBuffer, sizeof(reply));
    ULONG capacity = out != nullptr && outLength != nullptr ? static_cast<ULONG>(std::min<ULONG64>(*outLength, ~0u)) : 0;
    if (reply.commandWord != header.commandWord) return kUsbResultHeaderMismatch;
    if (reply.sequence != expected) return kUsbResultSequenceMismatch;
    if (reply.length > capacity) return kUsbResultTooLarge;
    if (reply.status != 0) {
        if (outLength != nullptr) *outLength = 0;
        return reply.status;
    }
    // Never copy more than the reply actually carried.
    if (reply.length > received - sizeof(reply)) return kUsbResultFailed;
    if (out != nullptr && reply.length > 0) RtlCopyMemory(out, channel->replyBuffer + sizeof(reply), reply.length);
    if (outLength != nullptr) *outLength = reply.length;
    return kUsbResultOk;
}

}  // namespace

ULONG VendorChannelExchange(VendorChannel* channel, USHORT category, USHORT command, PVOID in, ULONG64 inLength,
                            PVOID out, ULONG64* outLength) {
    WdfWaitLockAcquire(channel->exchangeLock, nullptr);
    ULONG result = Exchange(channel, category, command, in, inLength, out, outLength);
    WdfWaitLockRelease(channel->exchangeLock);
    if (result != kUsbResultOk) TRACE(kLogWarning | kLogInterface, result, category, command);
    return result;
}
