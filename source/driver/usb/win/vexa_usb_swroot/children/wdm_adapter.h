// The WDM adapter: one per opened WDM audio child, the root driver's object
// behind that child's requests. It holds the WDM settings and the channel
// maps in the Parameters key, its own kernel client (kind 2) through which
// client events reach the child, and the stream clients the child opened.
//
// Lifetime: listed in its child's CHILD_DEVEXT from kIoctlWdmOpen until
// WdmCloseAdapter or the child's clean-up takes it out (under the engine's
// binding lock); whoever takes it out closes and deletes it, after that
// lock. Closing closes the stream clients first, then its own client; an
// adapter whose client the manager would not let go of is never deleted.
//
// Handles the child hands back (to WdmCloseAdapter, WdmCloseStream) are
// looked for among the open adapters and their streams by address, under
// the locks that guard those lists, and are read only once found there.
//
// Locks: the driver's engine list lock (root_engines.h), then the engine's
// binding lock (the child's requests and closes run under it at
// PASSIVE_LEVEL, so they never run beside an arrival or removal, nor beside
// the adapter's close), then the child book's lock (a handle's search only),
// then streamLock_ (wait lock: the stream list), then the engine's other locks.
// The child's notification runs from a work item, never inside a request of
// the child's, so a child that answers it with a request finds its queue free.
#pragma once

#include "children/kernel_audio_client.h"
#include "children/midi_device.h"
#include "engine/audio_client_manager.h"
#include "platform/kmdf/wdf.h"

class AudioEngine;
class AudioClientManager;
struct CHILD_DEVEXT;

inline constexpr ULONG kDefaultSpeakerConfig = 3;
inline constexpr ULONG kDefaultBitDepth = 24;

class WdmAdapter : public ChildObject {
public:
    WdmAdapter(AudioEngine* engine, AudioClientManager* clientManager, CHILD_DEVEXT* child);
    ~WdmAdapter() override;

    // kIoctlWdmOpen: stores the child's notification, opens the Parameters
    // key, fills the reply (but the close-adapter function and the adapter's
    // address), loads the channel maps and adds its own client. A failure
    // leaves everything to the destructor. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS WdmAdapterOpen(vexa::child::WdmOpen* record, ULONG adapterIndex);
    // kIoctlWdmOpenStream: a render or capture stream client. A failure
    // undoes what this open did and nothing else. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS OpenStreamClient(vexa::child::WdmOpenStream* record);
    // kIoctlWdmCanChangeFormat: the may-change flag, with the one-shot vetoes. PASSIVE_LEVEL.
    void WdmCanChangeFormat(vexa::child::WdmFormatQuery* record);
    // kIoctlWdmSetSpeakerConfig. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS SaveSpeakerConfig(ULONG value);

    // Closes every stream client, then its own client. A failure (the manager
    // kept a client) leaves that client and the adapter as they are. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS CloseClients();
    // Drops the child's notification (waiting for one under way) and closes the key. PASSIVE_LEVEL.
    void ReleaseAdapterResources();
    // Takes a stream client out of the manager, uncounts, frees and deletes
    // it; STATUS_INVALID_PARAMETER (and nothing read) when it is none of this
    // adapter's open streams. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS CloseStreamClient(KernelAudioClient* client);
    // Whether one of its open streams is at `handle` (compared, not read). PASSIVE_LEVEL.
    bool HoldsStream(const void* handle);
    // From its own client's Notify (under clientLock): hands the event to the
    // child at PASSIVE_LEVEL from a work item.
    void QueueChildNotification(ULONG clientEvent);

    PDEVICE_OBJECT ChildDeviceObject() const;
    CHILD_DEVEXT* Child() const { return child_; }
    ULONG StreamCount() const { return static_cast<ULONG>(ReadAcquire(&streamCount_)); }
    const ULONG* OutputChannelMap() const { return outputChannelMap_; }
    const ULONG* InputChannelMap() const { return inputChannelMap_; }
    KernelAudioClient* AdapterClient() const { return adapterClient_; }

    // The functions handed to the child.
    [[nodiscard]] static NTSTATUS WdmCloseAdapter(PVOID adapter);
    [[nodiscard]] static NTSTATUS WdmCloseStream(PVOID stream);
    // The child's clean-up found it still open: closed and deleted, unless
    // the manager keeps one of its clients (then it stays, traced). PASSIVE_LEVEL.
    static void CloseAbandoned(WdmAdapter* adapter);

private:
    // wdm_channel_map.cpp
    [[nodiscard]] NTSTATUS InitChannelMaps();
    [[nodiscard]] NTSTATUS WriteDefaultChannelMap(bool input);
    void LoadChannelMap(bool input);
    [[nodiscard]] NTSTATUS LoadSequence(bool input, ULONG sequence, ULONG* entry);
    void FillGaps(ULONG* map, ULONG channels);

    // The opening stream is counted already, so the format rules weigh it beside the others.
    [[nodiscard]] NTSTATUS ApplyWdmStreamFormat(ULONG rate, ULONG bits, bool render);
    [[nodiscard]] NTSTATUS WriteULong(const WCHAR* name, ULONG value);
    void LogEventFor(UCHAR majorFunction, ULONG message, NTSTATUS status);
    bool ValidStreamRequest(const vexa::child::WdmOpenStream& request);
    static EVT_WDF_WORKITEM NotifyChildWork;

    AudioEngine* engine_;
    AudioClientManager* clientManager_;
    CHILD_DEVEXT* child_;
    // Set at open; cleared (release) before the work item goes. The work item reads them with acquire reads.
    PVOID volatile childCallback_ = nullptr;  // a WdmNotifyFn
    PVOID volatile childCallbackContext_ = nullptr;
    KernelAudioClient* adapterClient_ = nullptr;  // the child's requests and the close only
    // One-shot vetoes: set by a stream's rate change, taken by the format query (interlocked).
    volatile LONG renderFormatChanged_ = 0;
    volatile LONG captureFormatChanged_ = 0;
    ULONG adapterIndex_ = 0;
    ULONG speakerConfig_ = kDefaultSpeakerConfig;
    ULONG renderBitDepth_ = kDefaultBitDepth;
    ULONG captureBitDepth_ = kDefaultBitDepth;
    WDFKEY parametersKey_ = nullptr;
    WDFWORKITEM notifyWork_ = nullptr;
    ULONG outputChannelMap_[vexa::child::kWdmMaxChannels];
    ULONG inputChannelMap_[vexa::child::kWdmMaxChannels];
    WDFWAITLOCK streamLock_ = nullptr;
    KernelAudioClient* streams_[kMaxAudioClients] = {};  // guarded by streamLock_
    volatile LONG streamCount_ = 0;  // written under streamLock_ (release), read without it
};

// The work item's context: the adapter whose child it notifies.
struct WDM_NOTIFY_CONTEXT {
    WdmAdapter* adapter;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WDM_NOTIFY_CONTEXT, GetWdmNotifyContext)
