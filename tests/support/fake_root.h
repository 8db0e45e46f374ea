// Stands in for the root driver on the other side of the direct-call
// interface: it queries the USB function driver's interface with its own
// callbacks and records what comes back.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "platform/kmdf/wdf.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

namespace vexa::test {

class FakeRoot {
public:
    struct Notification {
        ULONG type;
        ULONG value;
    };

    FakeRoot() {
        reset_record();
        std::lock_guard lock(live_lock());
        live().insert(this);
    }
    // The USB driver may still call a root that a test let go (at machine
    // shut-down, say); such calls are answered as a departed root would.
    ~FakeRoot() {
        std::lock_guard lock(live_lock());
        live().erase(this);
    }
    FakeRoot(const FakeRoot&) = delete;
    FakeRoot& operator=(const FakeRoot&) = delete;

    // The record as the root driver fills it before a query.
    void reset_record() {
        std::memset(&record_, 0, sizeof(record_));
        record_.Size = kAudioDeviceInterfaceSize;
        record_.Version = kAudioDeviceInterfaceVersion;
        record_.ClientDevice = this;
        record_.NotifyContext = this;
        record_.RealtimeContext = this;
        record_.MidiContext = this;
        record_.NotificationCallback = &FakeRoot::OnNotification;
        record_.RealtimeCallback = &FakeRoot::OnRealtime;
        record_.MidiCallback = &FakeRoot::OnMidi;
    }

    NTSTATUS query(DEVICE_OBJECT* pdo) {
        return platform::query_interface(pdo, GUID_DEVINTERFACE_PAL, reinterpret_cast<INTERFACE*>(&record_),
                                         record_.Size, record_.Version, nullptr);
    }

    ULONG command(USHORT category, USHORT command, void* in, ULONG64 inLength, void* out, ULONG64* outLength) {
        return record_.CommandEntry(record_.CommandContext, category, command, in, inLength, out, outLength);
    }

    AUDIODEVICE_INTERFACE& record() { return record_; }
    std::vector<Notification> notifications() {
        std::lock_guard lock(lock_);
        return notifications_;
    }
    void clear() {
        std::lock_guard lock(lock_);
        notifications_.clear();
    }
    // The period callback (DISPATCH_LEVEL, on the USB completion path).
    std::function<void(ULONG64 timeNs, ULONG frames)> on_period;
    // MIDI: incoming words, and the bytes handed out when the USB driver pulls per cable.
    std::vector<std::pair<UCHAR, ULONG>> midi_in() {
        std::lock_guard lock(lock_);
        return midiIn_;
    }
    void queue_midi_out(UCHAR cable, std::vector<uint8_t> bytes) {
        std::lock_guard lock(lock_);
        for (uint8_t b : bytes) midiOut_[cable].push_back(b);
    }

    // Notifications that arrived with another root's device (a torn callback triple).
    int mismatches() const { return mismatches_.load(); }
    // The answer the root gives to the next notifications.
    void answer_with(ULONG result) { answer_ = result; }

private:
    static std::mutex& live_lock() {
        static std::mutex lock;
        return lock;
    }
    static std::set<FakeRoot*>& live() {
        static std::set<FakeRoot*> roots;
        return roots;
    }

    static ULONG OnNotification(PVOID notifyContext, PVOID clientDevice, ULONG type, ULONG value) {
        auto* self = static_cast<FakeRoot*>(notifyContext);
        std::lock_guard alive(live_lock());
        if (live().count(self) == 0) return kUsbResultNotConnected;
        if (clientDevice != self) {
            self->mismatches_.fetch_add(1);
            return kUsbResultFailed;
        }
        std::lock_guard lock(self->lock_);
        self->notifications_.push_back({type, value});
        return self->answer_;
    }
    static void OnRealtime(PVOID context, ULONG64 timeNs, ULONG frames) {
        auto* self = static_cast<FakeRoot*>(context);
        if (self->on_period) self->on_period(timeNs, frames);
    }
    static NTSTATUS OnMidi(PVOID context, UCHAR direction, UCHAR cable, ULONG* word, UCHAR) {
        auto* self = static_cast<FakeRoot*>(context);
        std::lock_guard lock(self->lock_);
        if (direction == kMidiDirectionIn) {
            self->midiIn_.emplace_back(cable, *word);
            return STATUS_SUCCESS;
        }
        auto& queue = self->midiOut_[cable & 15];
        if (queue.empty()) {
            *word = 0;
            return STATUS_NO_MORE_ENTRIES;
        }
        // As the root driver answers: a marker in the high byte, so a data byte of 0 is still a byte.
        *word = (static_cast<ULONG>((cable << 4) | 1) << 24) | queue.front();
        queue.erase(queue.begin());
        return STATUS_SUCCESS;
    }

    AUDIODEVICE_INTERFACE record_;
    std::mutex lock_;
    std::vector<Notification> notifications_;
    ULONG answer_ = kUsbResultOk;
    std::atomic<int> mismatches_{0};
    std::vector<std::pair<UCHAR, ULONG>> midiIn_;  // guarded by lock_
    std::vector<uint8_t> midiOut_[16];             // guarded by lock_
};

}  // namespace vexa::test
