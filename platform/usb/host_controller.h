// The simulated USB host controller: one per machine. It runs the bus frame
// by frame on the machine clock (reads of the continuous readers complete at
// DISPATCH_LEVEL after their frame), and stands in for the controller's own
// device (\Device\USBFDO-0) and its root hub, which a function driver may
// look up for identification.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/io.h"
#include "usb_device_model.h"
#include "usb_types.h"

struct USBD_ISO_PACKET_DESCRIPTOR;
struct URB_ISOCH_TRANSFER;

namespace platform {
class Machine;
}

namespace platform::kmdf {
class FxTargetRequest;
}

namespace platform::usb {

class FxUsbPipe;

inline constexpr const char16_t* kControllerDeviceName = u"\\Device\\USBFDO-0";

class HostController : public IrpHandler {
public:
    explicit HostController(Machine& machine);
    ~HostController() override;

    static HostController& get();

    void add_reader(FxUsbPipe* pipe);
    void remove_reader(FxUsbPipe* pipe);
    // A device announced IN data or went away: the readers ask at the next
    // frame (until then, readers that last found nothing are not asked
    // again). With nothing scheduled, nothing read and no device that must be
    // polled, the controller tells the clock it is idle (a real-time machine
    // then sleeps); this ends the idleness from the next frame on.
    void announce();

    // Schedules a request formatted for a pipe: an isochronous URB runs during
    // its start frame, a bulk write during the current frame; both complete
    // at DISPATCH_LEVEL after their frame, in the order they were sent.
    NTSTATUS submit(FxUsbPipe* pipe, kmdf::FxTargetRequest* request);
    // Completes every transfer of the pipe still scheduled with STATUS_CANCELLED.
    void cancel_pipe(FxUsbPipe* pipe);
    bool cancel_request(kmdf::FxTargetRequest* request);
    size_t scheduled(FxUsbPipe* pipe);

    // Fault knobs: the next transfer on `endpoint` fails with `usbdStatus`,
    // or completes one frame late (after the transfer behind it).
    void fail_next_transfer(UCHAR endpoint, LONG usbdStatus);
    void delay_next_transfer(UCHAR endpoint);

    DEVICE_OBJECT* controller_device() { return &controller_; }
    DEVICE_OBJECT* root_hub() { return &rootHub_; }

    NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) override;
    std::u16string device_property(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property) override;

private:
    struct Transfer {
        FxUsbPipe* pipe;
        kmdf::FxTargetRequest* request;
        URB_ISOCH_TRANSFER* urb;  // an isochronous transfer's, as formatted; else null
        uint64_t frame;        // the frame it runs in
        LONG failWith;         // a USBD status to fail with, 0 for none
        bool isochronous;
        bool late;             // completes after the next frame's transfers
        bool badStartFrame;    // its start frame had passed when it was sent
    };

    // A transfer of the frame that carries packets, as its pipe and URB say.
    struct Source {
        UsbDeviceModel* model;
        USBD_ISO_PACKET_DESCRIPTOR* packets;  // in the URB: the received lengths and the statuses go here
        uint8_t* buffer;
        ULONG length;  // of the buffer
        ULONG maxPacket;
        unsigned count;  // its packets this frame
        UCHAR endpoint;
        bool in;
        // Each packet's place in bus order: `first` + microframe * `stride` when
        // every transfer of the frame has as many packets (the usual), else `at`.
        uint16_t first;
        uint16_t stride;
        std::array<uint16_t, 8> at;
        size_t place_of(unsigned microframe) const { return stride != 0 ? first + size_t{microframe} * stride : at[microframe]; }
    };

    void on_frame(uint64_t frame);
    void wake_locked();  // caller holds lock_
    void compact_locked();  // drops the transfers before transfersHead_; caller holds lock_
    void run_isochronous(std::vector<Transfer>& due, uint64_t frame);
    void complete(Transfer& transfer);

    Machine& machine_;
    DEVICE_OBJECT controller_{};
    DEVICE_OBJECT rootHub_{};
    uint64_t listener_ = 0;            // set once, under lock_
    std::mutex lock_;
    std::vector<FxUsbPipe*> readers_;  // guarded by lock_
    uint64_t readersVersion_ = 0;      // bumped with every change of readers_; guarded by lock_
    // Readers of devices that do not announce IN data: the bus polls them every frame; guarded by lock_.
    std::vector<FxUsbPipe*> polledReaders_;
    // Scheduled, in the order they were sent, from transfersHead_ on (those
    // before it ran already); guarded by lock_, as are the two below.
    std::vector<Transfer> transfers_;
    size_t transfersHead_ = 0;
    bool transfersInFrameOrder_ = true;  // no transfer runs in an earlier frame than one sent before it
    std::vector<Transfer> late_;       // held back a frame; guarded by lock_
    std::map<UCHAR, LONG> failNext_;   // guarded by lock_
    std::map<UCHAR, bool> delayNext_;  // guarded by lock_
    // Told to the clock. Written under lock_; a frame reads it without: only a frame sets it.
    std::atomic<bool> idle_{false};
    // Woken since the last frame began. Set under lock_; a frame takes it without.
    std::atomic<bool> woken_{false};
    // A device announced IN data (or went away) since the readers last asked; a frame takes it.
    std::atomic<bool> announced_{false};
    // Every reader asked at the last reading frame found nothing, and none
    // changed since: without an announcement a frame need not ask them again.
    // Frames only, under completionLock_.
    bool readersSettled_ = false;
    // One completion context: frame completions and cancellations never overlap.
    std::recursive_mutex completionLock_;
    // Storage a frame's lists reuse from frame to frame; taken by the frame that runs.
    std::vector<FxUsbPipe*> frameReaders_;
    uint64_t frameReadersVersion_ = UINT64_MAX;  // the readers_ version frameReaders_ holds a copy of
    std::vector<Transfer> frameDue_;
    std::vector<Transfer> frameLate_;
    std::vector<Source> frameSources_;
    std::vector<UsbDeviceModel*> frameOwners_;  // each packet's device, on a shared bus
    std::vector<UsbDeviceModel::IsoPacket> frameBatch_;     // the packets in bus order
    std::vector<UsbDeviceModel::IsoPacket> frameOneDevice_;  // one device's of them, on a shared bus
};

}  // namespace platform::usb
