// One ASIO host's connection (an "\ASIO" handle): its session with the four
// events and the shared block, its double buffers, and its share of every
// period, in which it mixes its output into the device's playback packets,
// copies the capture packets into its input buffers and switches halves.
#pragma once

#include "asio/user_pages.h"
#include "engine/audio_client.h"
#include "platform/kmdf/wdf.h"
#include "public/asio_interface.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

inline constexpr ULONG kAsioClientClosed = 0;
inline constexpr ULONG kAsioClientOpen = 1;
inline constexpr ULONG kAsioClientPrepared = 2;
inline constexpr ULONG kAsioClientStopped = 3;
inline constexpr ULONG kAsioClientStarted = 4;
inline constexpr ULONG kAsioClientRunning = 5;

inline constexpr ULONG kPoolTagAsio = 0x6F697361;  // 'asio': the buffer region
// Channel maps per direction: the channel numbers a host may enable are below this.
inline constexpr ULONG kAsioMapChannels = 64;
// Bit 31 of a channel asks GetChannelRing for an input.
inline constexpr ULONG kInputChannelFlag = 0x80000000;

// The four events of a session, in the order of the open request's slots.
enum AsioEvent : ULONG { kAsioEventSwitch = 0, kAsioEventReset, kAsioEventResync, kAsioEventLatency, kAsioEvents };

// One enabled channel: where its samples sit in each device frame and its double buffer.
struct AsioChannelMap {
    ULONG ringIndex;       // the channel's sample within an interleaved frame
    ULONG channel;         // the channel number the host enabled
    LONG* buffer;          // kernel address of its two halves of bufferSize samples
    AsioChannelMap* next;  // the next enabled channel of the same direction, in channel order
};

class AsioClient : public AudioClient {
public:
    explicit AsioClient(ULONG type);
    ~AsioClient() override;

    // The session lock; without it the client cannot serve requests. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS Initialize();

    // AudioClient.
    bool ProcessBuffer(ULONG64 timeNs, ULONG frames) override { return Process(timeNs, frames); }
    bool Process(ULONG64 timeNs, ULONG frames) override;
    void BufferSwitch(ULONG64 timeNs) override;
    void Notify(ULONG clientEvent) override;
    void Start() override;
    void Stop() override;
    // Takes the session lock; a request that holds it calls CloseSession.
    [[nodiscard]] NTSTATUS Close() override;
    bool IsRunning() override;
    ULONG Type() const override { return type_; }
    void SetOwner(AudioClientManager* owner) override { owner_ = owner; }
    void SetLatencies(ULONG input, ULONG output) override;

    // Every request on the connection holds the session lock throughout, so
    // two threads of one host never run open, create-buffers, dispose, start,
    // stop or close into each other. PASSIVE_LEVEL.
    void LockSession() { WdfWaitLockAcquire(sessionLock_, nullptr); }
    void UnlockSession() { WdfWaitLockRelease(sessionLock_); }

    // The rest needs the session lock, at PASSIVE_LEVEL.
    ULONG State() const { return ReadULongAcquire(&state_); }
    bool Is64BitHost() const { return is64BitHost_; }
    // The token Open handed out: never an address, never reused; 0 while closed.
    ULONG64 Context() const { return context_; }
    ULONG BufferSize() const { return bufferSize_; }
    void SetBufferSize(ULONG frames) { bufferSize_ = frames; }

    // In the host's thread (it references the host's handles and maps into
    // it): the four events, the shared block mapped into the process and its
    // address written into the request. Returns the ASIO result; anything
    // but 0 leaves the client closed and holding nothing.
    [[nodiscard]] LONG OpenSession(UCHAR* request);
    // In the host's thread: the buffer region for the enabled channels, carved
    // in channel order, output before input, and mapped into the process; the
    // addresses written into the request. The caller has checked the request
    // against the device. A failure leaves the state as it was.
    [[nodiscard]] NTSTATUS AllocateBuffers(UCHAR* request, ULONG minSize, ULONG maxSize);
    // Out of the period callback first (the last running client stops
    // streaming), then the buffers go; open again.
    void DisposeBuffers();
    // Releases the whole session; harmless on a client never opened or closed already.
    [[nodiscard]] NTSTATUS CloseSession();

private:
    void StopRunning();
    void FreeBuffers();
    void Signal(AsioEvent event, CHAR boost);

    AudioClientManager* owner_ = nullptr;
    const ULONG type_;
    const bool is64BitHost_;
    WDFWAITLOCK sessionLock_ = nullptr;

    // Written under the session lock and, for start, stop and the switch,
    // under the manager's clientLock too: release writes; acquire reads.
    volatile ULONG state_ = kAsioClientClosed;
    // The rest of the session: guarded by the session lock. The period
    // callback reads the buffers and the size only while the client runs,
    // and a client stops under clientLock before any of them changes.
    ULONG64 context_ = 0;
    ULONG bufferSize_ = 0;           // frames per half
    ULONG doubleBufferSamples_ = 0;  // 2 x bufferSize
    UserPages blockPages_;
    UserPages bufferPages_;
    AsioChannelMap inputMaps_[kAsioMapChannels] = {};
    AsioChannelMap outputMaps_[kAsioMapChannels] = {};
    AsioChannelMap* inputList_ = nullptr;
    AsioChannelMap* outputList_ = nullptr;

    // What Notify and the latency updates reach from under clientLock, and
    // what close takes away: guarded by eventLock (spin, DISPATCH_LEVEL).
    KSPIN_LOCK eventLock_ = 0;
    PKEVENT events_[kAsioEvents] = {};
    vexa::asio::AsioSharedBlock* block_ = nullptr;  // kernel view of the shared block

    // The period path: written by Start and the period callback, both under clientLock.
    ULONG64 startCounter_ = 0;      // performance-counter ticks at construction, then at Start
    ULONG64 counterFrequency_ = 0;  // ticks per second
    ULONG deviceHalf_ = 0;          // the half the device side fills and drains now
    ULONG halfPosition_ = 0;        // frames into the double buffer where the device side stands
    ULONG64 frameCounter_ = 0;      // frames switched since Start
};

// Holds a client's session lock for a scope.
class AsioSessionScope {
public:
    explicit AsioSessionScope(AsioClient* client) : client_(client) { client_->LockSession(); }
    ~AsioSessionScope() { client_->UnlockSession(); }
    AsioSessionScope(const AsioSessionScope&) = delete;
    AsioSessionScope& operator=(const AsioSessionScope&) = delete;

private:
    AsioClient* client_;
};
