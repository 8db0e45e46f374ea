// An ASIO connection's session: the events and the shared block from open to
// close, the double buffers from create-buffers to dispose, start and stop,
// and the events signalled for client notices.
#define LOG_FILE_NUMBER 177

#include "asio/asio_client.h"

#include "engine/audio_client_manager.h"
#include "logger.h"

using namespace vexa::log;
using namespace vexa::asio;

namespace {

// The priority boost of the buffer-switch signal: the host's audio thread wakes first.
constexpr CHAR kSwitchBoost = 8;
constexpr CHAR kNoticeBoost = 0;
constexpr ULONG64 kNanosecondsPerSecond = 1000000000;

// Where an open request keeps each event's handle, in AsioEvent order.
constexpr size_t kEventSlots[kAsioEvents] = {offsetof(AsioOpenRequest, switchEvent),
                                             offsetof(AsioOpenRequest, resetEvent),
                                             offsetof(AsioOpenRequest, resyncEvent),
                                             offsetof(AsioOpenRequest, latencyEvent)};
// A 32-bit host's buffer addresses are packed u32 from the start of each array.
constexpr size_t kOutputAddresses = offsetof(AsioCreateBuffersRequest, outputBuffers);
constexpr size_t kInputAddresses = offsetof(AsioCreateBuffersRequest, inputBuffers);

// Tokens handed out by open, one sequence for every connection of the driver.
volatile LONG64 g_lastContext = 0;

// A handle or address slot: u64 for a 64-bit host, a u32 at the same offset for a 32-bit one.
ULONG64 ReadSlot(const UCHAR* record, size_t offset, bool wide) {
    if (wide) {
        ULONG64 value;
        RtlCopyMemory(&value, record + offset, sizeof(value));
        return value;
    }
    ULONG value;
    RtlCopyMemory(&value, record + offset, sizeof(value));
    return value;
}

void WriteSlot(UCHAR* record, size_t offset, bool wide, ULONG64 value) {
    if (wide) {
        RtlCopyMemory(record + offset, &value, sizeof(value));
    } else {
        auto narrow = static_cast<ULONG>(value);
        RtlCopyMemory(record + offset, &narrow, sizeof(narrow));
    }
}

// The performance counter's ticks in nanoseconds, without overflowing for years of uptime.
ULONG64 TicksToNanoseconds(ULONG64 ticks, ULONG64 frequency) {
    if (frequency == 0) return 0;
    return ticks / frequency * kNanosecondsPerSecond + ticks % frequency * kNanosecondsPerSecond / frequency;
}

class EventLockScope {
public:
    explicit EventLockScope(KSPIN_LOCK* lock) : lock_(lock) { KeAcquireSpinLock(lock_, &irql_); }
    ~EventLockScope() { KeReleaseSpinLock(lock_, irql_); }
    EventLockScope(const EventLockScope&) = delete;
    EventLockScope& operator=(const EventLockScope&) = delete;

private:
    KSPIN_LOCK* lock_;
    KIRQL irql_ = PASSIVE_LEVEL;
};

}  // namespace

AsioClient::AsioClient(ULONG type) : type_(type), is64BitHost_(type == kClientTypeAsio64) {
    KeInitializeSpinLock(&eventLock_);
    LARGE_INTEGER frequency;
    startCounter_ = static_cast<ULONG64>(KeQueryPerformanceCounter(&frequency).QuadPart);
    counterFrequency_ = static_cast<ULONG64>(frequency.QuadPart);
}

// PASSIVE_LEVEL. By now the handle's clean-up has taken the client out of
// the manager and closed it; whatever a late request opened goes here.
AsioClient::~AsioClient() {
    (void)CloseSession();
    if (sessionLock_ != nullptr) WdfObjectDelete(sessionLock_);
}

// PASSIVE_LEVEL
NTSTATUS AsioClient::Initialize() {
    PAGED_CODE();
    NTSTATUS status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &sessionLock_);
    if (!NT_SUCCESS(status)) {
        sessionLock_ = nullptr;
        TRACE(kLogError | kLogAsio, status);
    }
    return status;
}

// PASSIVE_LEVEL, in the host's thread, under the session lock.
LONG AsioClient::OpenSession(UCHAR* request) {
    PAGED_CODE();
    // A second open would hand out an address it never wrote.
    if (State() != kAsioClientClosed) return ASE_InvalidMode;
    PKEVENT referenced[kAsioEvents] = {};
    LONG result = ASE_OK;
    for (ULONG i = 0; i < kAsioEvents && result == ASE_OK; ++i) {
        ULONG64 slot = ReadSlot(request, kEventSlots[i], is64BitHost_);
        auto handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(slot));
        PVOID object = nullptr;
        NTSTATUS status =
            ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr);
        if (NT_SUCCESS(status)) {
            referenced[i] = static_cast<PKEVENT>(object);
        } else {
            // One bad handle ends the open: a session without all four events is none.
            TRACE(kLogError | kLogAsio, status, i);
            result = ASE_NoMemory;
        }
    }
    if (result == ASE_OK) {
        // The block belongs to the client (the objects' tag), but on a page of
        // its own: a mapping maps whole pages, and no other kernel memory may
        // show in the host's process.
        NTSTATUS status = blockPages_.Create(sizeof(AsioSharedBlock), kPoolTagObject, !is64BitHost_);
        if (!NT_SUCCESS(status)) result = ASE_NoMemory;
    }
    if (result != ASE_OK) {
        for (PKEVENT event : referenced) {
            if (event != nullptr) ObDereferenceObject(event);
        }
        return result;
    }
    {
        EventLockScope lock(&eventLock_);
        for (ULONG i = 0; i < kAsioEvents; ++i) events_[i] = referenced[i];
        // Zeroed pages: index, position, time, sequence and acknowledgement all 0.
        block_ = static_cast<AsioSharedBlock*>(blockPages_.Kernel());
    }
    context_ = static_cast<ULONG64>(InterlockedIncrement64(&g_lastContext));
    WriteSlot(request, offsetof(AsioOpenRequest, sharedBlock), is64BitHost_, blockPages_.User());
    WriteULongRelease(&state_, kAsioClientOpen);
    TRACE(kLogInfo | kLogAsio, type_, context_);
    return ASE_OK;
}

// PASSIVE_LEVEL, in the host's thread, under the session lock.
NTSTATUS AsioClient::AllocateBuffers(UCHAR* request, ULONG minSize, ULONG maxSize) {
    PAGED_CODE();
    AsioCreateBuffersRequest header;
    RtlCopyMemory(&header, request, offsetof(AsioCreateBuffersRequest, outputBuffers));
    ULONG frames = header.bufferSize;
    if (State() >= kAsioClientPrepared || frames < minSize || frames > maxSize || owner_ == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // The caller checked that channelCount x frames x 16 does not overflow.
    SIZE_T regionBytes = SIZE_T{header.channelCount} * frames * 2 * 2 * sizeof(LONG);
    NTSTATUS status = bufferPages_.Create(regionBytes, kPoolTagAsio, !is64BitHost_);
    if (!NT_SUCCESS(status)) return status;

    auto* kernel = static_cast<LONG*>(bufferPages_.Kernel());
    ULONG64 user = bufferPages_.User();
    ULONG64 channelBytes = ULONG64{frames} * 2 * sizeof(LONG);
    const UCHAR* outputEnable = request + offsetof(AsioCreateBuffersRequest, outputEnable);
    const UCHAR* inputEnable = request + offsetof(AsioCreateBuffersRequest, inputEnable);
    AsioChannelMap** outputTail = &outputList_;
    AsioChannelMap** inputTail = &inputList_;
    for (ULONG n = 0; n < kAsioMapChannels && NT_SUCCESS(status); ++n) {
        for (bool input : {false, true}) {
            ULONG enabled;
            RtlCopyMemory(&enabled, (input ? inputEnable : outputEnable) + n * sizeof(ULONG), sizeof(enabled));
            if (enabled == 0) continue;
            StreamState* ring = nullptr;
            ULONG index = 0;
            if (!owner_->GetChannelRing(input ? (n | kInputChannelFlag) : n, &ring, &index)) {
                // The device went away since the caller looked.
                status = STATUS_DEVICE_NOT_CONNECTED;
                break;
            }
            AsioChannelMap* map = input ? &inputMaps_[n] : &outputMaps_[n];
            *map = AsioChannelMap{index, n, kernel, nullptr};
            AsioChannelMap**& tail = input ? inputTail : outputTail;
            *tail = map;
            tail = &map->next;
            size_t addresses = input ? kInputAddresses : kOutputAddresses;
            size_t slot = addresses + n * (is64BitHost_ ? sizeof(ULONG64) : sizeof(ULONG));
            WriteSlot(request, slot, is64BitHost_, user);
            kernel += 2 * frames;
            user += channelBytes;
        }
    }
    if (!NT_SUCCESS(status)) {
        FreeBuffers();
        return status;
    }
    bufferSize_ = frames;
    doubleBufferSamples_ = 2 * frames;
    WriteULongRelease(&state_, kAsioClientPrepared);
    TRACE(kLogInfo | kLogAsio, frames, header.channelCount);
    return STATUS_SUCCESS;
}

// Under the session lock: the maps and the region go; a prepared or stopped client is open again.
void AsioClient::FreeBuffers() {
    bufferPages_.Release();
    inputList_ = nullptr;
    outputList_ = nullptr;
    RtlZeroMemory(inputMaps_, sizeof(inputMaps_));
    RtlZeroMemory(outputMaps_, sizeof(outputMaps_));
    if (State() >= kAsioClientPrepared) WriteULongRelease(&state_, kAsioClientOpen);
}

// Under the session lock: the period callback lets go of the client before
// anything of it goes; the last running client stops streaming too.
void AsioClient::StopRunning() {
    if (!IsRunning() || owner_ == nullptr) return;
    if (NTSTATUS status = owner_->StopClient(this); !NT_SUCCESS(status)) TRACE(kLogError | kLogAsio, status);
}

// PASSIVE_LEVEL, under the session lock.
void AsioClient::DisposeBuffers() {
    PAGED_CODE();
    StopRunning();
    FreeBuffers();
}

// PASSIVE_LEVEL, under the session lock (or by the destructor, alone).
NTSTATUS AsioClient::CloseSession() {
    PAGED_CODE();
    StopRunning();
    PKEVENT events[kAsioEvents];
    {
        // Notices and latency updates come under this lock: past it they find nothing.
        EventLockScope lock(&eventLock_);
        for (ULONG i = 0; i < kAsioEvents; ++i) {
            events[i] = events_[i];
            events_[i] = nullptr;
        }
        block_ = nullptr;
    }
    for (PKEVENT event : events) {
        if (event != nullptr) ObDereferenceObject(event);
    }
    FreeBuffers();
    blockPages_.Release();
    context_ = 0;
    WriteULongRelease(&state_, kAsioClientClosed);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL: the handle's clean-up.
NTSTATUS AsioClient::Close() {
    PAGED_CODE();
    AsioSessionScope session(this);
    return CloseSession();
}

// DISPATCH_LEVEL, under clientLock (the manager's StartClient). The host fills
// half 1 while the device works on half 0.
void AsioClient::Start() {
    AsioSharedBlock* block = block_;
    if (block == nullptr || doubleBufferSamples_ == 0) return;
    block->samplePosition = 0;
    block->switchSequence = 0;
    block->switchAck = 0;
    deviceHalf_ = 0;
    halfPosition_ = 0;
    frameCounter_ = 0;
    LARGE_INTEGER frequency;
    startCounter_ = static_cast<ULONG64>(KeQueryPerformanceCounter(&frequency).QuadPart);
    counterFrequency_ = static_cast<ULONG64>(frequency.QuadPart);
    block->systemTime = TicksToNanoseconds(startCounter_, counterFrequency_);
    WriteRelease(&block->bufferIndex, 1);
    WriteULongRelease(&state_, kAsioClientStarted);
}

// DISPATCH_LEVEL, under clientLock.
void AsioClient::Stop() {
    if (IsRunning()) WriteULongRelease(&state_, kAsioClientStopped);
}

bool AsioClient::IsRunning() {
    ULONG state = State();
    return state == kAsioClientStarted || state == kAsioClientRunning;
}

// DISPATCH_LEVEL (under clientLock) or PASSIVE_LEVEL. Device, rate and
// buffer-size changes and the device's loss ask the host to reset; an
// operation-mode change tells it the latencies changed. The root never asks
// for a resync.
void AsioClient::Notify(ULONG clientEvent) {
    if (State() < kAsioClientOpen) return;
    switch (clientEvent) {
        case kClientEventDeviceChanged:
        case kClientEventRateChanged:
        case kClientEventBufferSizeChanged:
        case kClientEventDeviceLost:
            Signal(kAsioEventReset, kNoticeBoost);
            break;
        case kClientEventModeChanged:
            Signal(kAsioEventLatency, kNoticeBoost);
            break;
        default:
            break;
    }
}

void AsioClient::Signal(AsioEvent event, CHAR boost) {
    EventLockScope lock(&eventLock_);
    if (events_[event] != nullptr) (void)KeSetEvent(events_[event], boost, FALSE);
}

// The host reads them from the block without a lock.
void AsioClient::SetLatencies(ULONG input, ULONG output) {
    EventLockScope lock(&eventLock_);
    if (block_ == nullptr) return;
    WriteRelease(&block_->inputLatency, static_cast<LONG>(input));
    WriteRelease(&block_->outputLatency, static_cast<LONG>(output));
}

// DISPATCH_LEVEL, under clientLock: the period callback finished the device's
// half. The host reads the block without a lock: the index flips in one
// interlocked step, and the sequence, written last with release order, says
// the time and the position before it are there.
void AsioClient::BufferSwitch(ULONG64 timeNs) {
    AsioSharedBlock* block = block_;
    if (block == nullptr) return;
    ULONG sequence = block->switchSequence;
    ULONG acknowledged = ReadULongAcquire(&block->switchAck);
    if (sequence != acknowledged) {
        // The host has not finished the half before: it falls behind.
        TRACE_RT(kLogError | kLogAsio, sequence, acknowledged, type_);
    }
    block->systemTime = timeNs;
    block->samplePosition = frameCounter_;
    (void)InterlockedXor(&block->bufferIndex, 1);
    WriteULongRelease(&block->switchSequence, sequence + 1);
    (void)InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&state_), kAsioClientRunning,
                                     kAsioClientStarted);
    Signal(kAsioEventSwitch, kSwitchBoost);
    frameCounter_ += bufferSize_;
    deviceHalf_ ^= 1;
}
