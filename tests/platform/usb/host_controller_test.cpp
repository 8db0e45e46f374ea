// The host controller's rules that the USB function driver's streams rely on,
// tested directly through the framework's USB calls from a small driver built
// into this test: a start frame that has passed fails, completions run at
// DISPATCH_LEVEL in the order the transfers were sent, and an aborted pipe
// completes everything it still held with STATUS_CANCELLED; a frame's packets
// reach the device in bus order and what it returns lands in each packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/device/descriptor_builder.h"
#include "platform/device/simulated_usb_device.h"
#include "platform/kmdf/wdf.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "platform/usb/usb_port.h"
#include "platform/usb/usb_urb.h"
#include "platform/usb/wdf_usb.h"

namespace {

constexpr char kService[] = "HostControllerProbe";
constexpr UCHAR kIsoIn = 0x81;
constexpr UCHAR kIsoOut = 0x02;
constexpr USHORT kPacketBytes = 64;
constexpr ULONG kPackets = 8;  // one frame of microframe packets
constexpr ULONG kTag = 0x74734854;  // "THst"

struct Completion {
    int urb;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    KIRQL irql;
};

// What the built-in driver shares with the test; the machine runs one device at a time.
struct ProbeState {
    std::mutex lock;
    WDFUSBDEVICE usbDevice = nullptr;
    WDFUSBPIPE pipe = nullptr;     // the isochronous IN endpoint
    WDFUSBPIPE outPipe = nullptr;  // the isochronous OUT endpoint
    std::vector<Completion> completions;  // guarded by lock
};
ProbeState g_probe;

struct Transfer {
    int index;
    WDFMEMORY urbMemory;
    PURB urb;
    WDFREQUEST request;
    uint8_t buffer[kPackets * kPacketBytes];
    bool deleteWhenDone = false;  // the completion routine deletes the request and its URB
};

void TransferComplete(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    auto* transfer = static_cast<Transfer*>(context);
    {
        std::lock_guard guard(g_probe.lock);
        g_probe.completions.push_back(
            {transfer->index, params->IoStatus.Status, transfer->urb->UrbHeader.Status, KeGetCurrentIrql()});
    }
    if (transfer->deleteWhenDone) {
        WdfObjectDelete(request);
        WdfObjectDelete(transfer->urbMemory);
        transfer->request = nullptr;
        transfer->urbMemory = nullptr;
    }
}

NTSTATUS ProbePrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    WDF_USB_DEVICE_CREATE_CONFIG create;
    WDF_USB_DEVICE_CREATE_CONFIG_INIT(&create, USBD_CLIENT_CONTRACT_VERSION_602);
    NTSTATUS status = WdfUsbTargetDeviceCreateWithParameters(device, &create, WDF_NO_OBJECT_ATTRIBUTES,
                                                             &g_probe.usbDevice);
    if (!NT_SUCCESS(status)) return status;
    WDF_USB_INTERFACE_SETTING_PAIR pair{WdfUsbTargetDeviceGetInterface(g_probe.usbDevice, 0), 0};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 1, &pair);
    status = WdfUsbTargetDeviceSelectConfig(g_probe.usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) return status;
    g_probe.pipe = WdfUsbInterfaceGetConfiguredPipe(pair.UsbInterface, 0, nullptr);
    g_probe.outPipe = WdfUsbInterfaceGetConfiguredPipe(pair.UsbInterface, 1, nullptr);
    return g_probe.pipe != nullptr && g_probe.outPipe != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS ProbeDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = ProbePrepareHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDFDEVICE device;
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
}

NTSTATUS ProbeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ProbeDeviceAdd);
    return WdfDriverCreate(driver, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

// A packet as the device saw it.
struct SeenPacket {
    uint64_t frame;
    unsigned microframe;
    UCHAR endpoint;
    ULONG bytes;      // sent (OUT) or room offered (IN)
    uint8_t first;    // OUT: the packet's first byte; IN: the byte the device wrote
};

// Records every isochronous packet; an IN packet gets microframe + 1 bytes,
// each of them a running number, so every packet's data and length can be told apart.
class RecordingDevice : public platform::device::SimulatedUsbDevice {
public:
    using SimulatedUsbDevice::SimulatedUsbDevice;

    void iso_out(UCHAR endpoint, uint64_t frame, unsigned microframe, const uint8_t* data, ULONG bytes) override {
        std::lock_guard guard(lock_);
        seen_.push_back({frame, microframe, endpoint, bytes, bytes != 0 ? data[0] : uint8_t{0}});
    }
    ULONG iso_in(UCHAR endpoint, uint64_t frame, unsigned microframe, uint8_t* data, ULONG maxBytes) override {
        std::lock_guard guard(lock_);
        uint8_t mark = next_++;
        ULONG bytes = std::min<ULONG>(microframe + 1, maxBytes);
        std::memset(data, mark, bytes);
        seen_.push_back({frame, microframe, endpoint, maxBytes, mark});
        return bytes;
    }
    std::vector<SeenPacket> seen() {
        std::lock_guard guard(lock_);
        return seen_;
    }

private:
    std::mutex lock_;
    std::vector<SeenPacket> seen_;
    uint8_t next_ = 1;
};

// One interface with an isochronous IN and an isochronous OUT endpoint, one packet per microframe.
std::shared_ptr<RecordingDevice> IsochronousDevice() {
    auto configuration = platform::device::DescriptorBuilder()
                             .configuration(1, 0x80, 50)
                             .interface(0, 0, 2, 0xFF, 0, 0)
                             .endpoint(kIsoIn, 0x05, kPacketBytes, 1)
                             .endpoint(kIsoOut, 0x05, kPacketBytes, 1)
                             .build();
    return std::make_shared<RecordingDevice>(platform::device::make_device_descriptor(0x0A4A, 0x7E57, 0x0100, 0, 0, 0),
                                             std::move(configuration), std::map<UCHAR, std::u16string>{});
}

class HostControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_probe.usbDevice = nullptr;
        g_probe.pipe = nullptr;
        g_probe.outPipe = nullptr;
        g_probe.completions.clear();
        machine_.drivers().install_builtin(kService, ProbeDriverEntry);
        device_ = IsochronousDevice();
        node_ = platform::usb::plug(device_, kService, u"0001");
        ASSERT_EQ(node_->state, platform::NodeState::Started);
        ASSERT_NE(g_probe.pipe, nullptr);
    }

    void TearDown() override {
        for (auto& transfer : transfers_) {
            if (transfer->request != nullptr) WdfObjectDelete(transfer->request);
            if (transfer->urbMemory != nullptr) WdfObjectDelete(transfer->urbMemory);
        }
    }

    ULONG frame() {
        ULONG frame = 0;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(g_probe.usbDevice, &frame), STATUS_SUCCESS);
        return frame;
    }

    // Sends one transfer of a frame's packets, for `startFrame` (0: as soon as
    // possible), IN unless `out`; an OUT transfer's packet k carries k + 1
    // bytes of the transfer's index + 100. `packets` below a frame's leaves its later microframes empty.
    NTSTATUS send(ULONG startFrame, bool out = false, ULONG packets = kPackets) {
        WDFUSBPIPE pipe = out ? g_probe.outPipe : g_probe.pipe;
        auto transfer = std::make_unique<Transfer>();
        transfer->index = static_cast<int>(transfers_.size());
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = g_probe.usbDevice;
        NTSTATUS status = WdfUsbTargetDeviceCreateIsochUrb(g_probe.usbDevice, &attributes, packets,
                                                           &transfer->urbMemory, &transfer->urb);
        if (!NT_SUCCESS(status)) return status;
        URB_ISOCH_TRANSFER& urb = transfer->urb->UrbIsochronousTransfer;
        urb.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
        urb.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb.PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(pipe);
        urb.TransferFlags = (out ? 0 : USBD_TRANSFER_DIRECTION_IN) | (startFrame == 0 ? USBD_START_ISO_TRANSFER_ASAP : 0);
        urb.TransferBuffer = transfer->buffer;
        urb.TransferBufferLength = sizeof(transfer->buffer);
        urb.StartFrame = startFrame;
        urb.NumberOfPackets = packets;
        for (ULONG k = 0; k < packets; ++k) {
            urb.IsoPacket[k] = USBD_ISO_PACKET_DESCRIPTOR{k * kPacketBytes, out ? k + 1 : 0, 0};
        }
        if (out) std::memset(transfer->buffer, transfer->index + 100, sizeof(transfer->buffer));
        WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
        status = WdfRequestCreate(&attributes, target, &transfer->request);
        if (!NT_SUCCESS(status)) {
            WdfObjectDelete(transfer->urbMemory);
            return status;
        }
        transfers_.push_back(std::move(transfer));
        Transfer* sent = transfers_.back().get();
        status = WdfUsbTargetPipeFormatRequestForUrb(pipe, sent->request, sent->urbMemory, nullptr);
        if (!NT_SUCCESS(status)) return status;
        WdfRequestSetCompletionRoutine(sent->request, TransferComplete, sent);
        return WdfRequestSend(sent->request, target, WDF_NO_SEND_OPTIONS) ? STATUS_SUCCESS
                                                                           : WdfRequestGetStatus(sent->request);
    }

    std::vector<Completion> completions() {
        std::lock_guard guard(g_probe.lock);
        return g_probe.completions;
    }

    platform::Machine machine_;
    std::shared_ptr<RecordingDevice> device_;
    platform::DevNode* node_ = nullptr;
    std::vector<std::unique_ptr<Transfer>> transfers_;
};

// A driver may delete a request (and its URB) in the request's own
// completion routine, as drivers do with requests they send once: the
// framework touches neither afterwards, and the transfers behind it complete
// as usual (under AddressSanitizer a touch is a use after free).
TEST_F(HostControllerTest, ARequestDeletedInItsCompletionRoutineIsLeftAlone) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(send(0), STATUS_SUCCESS);
    transfers_[0]->deleteWhenDone = true;
    transfers_[2]->deleteWhenDone = true;
    ULONG now = frame();
    ASSERT_EQ(send(now + 3), STATUS_SUCCESS);
    transfers_[3]->deleteWhenDone = true;
    machine_.clock().run_for(platform::Milliseconds(5));
    auto seen = completions();
    ASSERT_EQ(seen.size(), 4u);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].urb, static_cast<int>(i));
        EXPECT_EQ(seen[i].status, STATUS_SUCCESS);
    }
    EXPECT_EQ(transfers_[0]->request, nullptr);
    EXPECT_NE(transfers_[1]->request, nullptr);
}

// A start frame that has passed must fail the transfer (bad start frame), not run it late as if on time.
TEST_F(HostControllerTest, StartFrameInThePastFails) {
    machine_.clock().run_for(platform::Milliseconds(5));
    ULONG now = frame();
    ASSERT_EQ(send(now - 1), STATUS_SUCCESS);
    ASSERT_EQ(send(now + 1), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(3));
    auto seen = completions();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].urb, 0);
    EXPECT_EQ(seen[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(seen[0].usbdStatus, USBD_STATUS_BAD_START_FRAME);
    EXPECT_EQ(seen[1].urb, 1);
    EXPECT_EQ(seen[1].status, STATUS_SUCCESS) << "a start frame still ahead runs";
    EXPECT_EQ(seen[1].usbdStatus, USBD_STATUS_SUCCESS);
}

// Completions run at DISPATCH_LEVEL and in send order, both within a frame and across frames,
// so a stream may resubmit from its completion and keep its ring in order.
TEST_F(HostControllerTest, CompletionsRunAtDispatchLevelInSendOrder) {
    ULONG now = frame();
    for (ULONG start : {0u, 0u, 0u, now + 2, now + 2, now + 3}) ASSERT_EQ(send(start), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(1));
    EXPECT_EQ(completions().size(), 0u) << "nothing completes before its frame has run";
    machine_.clock().run_for(platform::Milliseconds(4));
    auto seen = completions();
    ASSERT_EQ(seen.size(), 6u);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].urb, static_cast<int>(i));
        EXPECT_EQ(seen[i].status, STATUS_SUCCESS);
        EXPECT_EQ(seen[i].irql, DISPATCH_LEVEL);
    }
}

// An aborted pipe completes every transfer it still held, with STATUS_CANCELLED, at once and
// only once: a stream's stop waits on exactly these completions.
TEST_F(HostControllerTest, AbortedPipeCompletesEverythingCancelled) {
    ULONG now = frame();
    for (ULONG start : {now + 5, now + 6, now + 7}) ASSERT_EQ(send(start), STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetPipeAbortSynchronously(g_probe.pipe, nullptr, nullptr), STATUS_SUCCESS);
    auto seen = completions();
    ASSERT_EQ(seen.size(), 3u);
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].urb, static_cast<int>(i));
        EXPECT_EQ(seen[i].status, STATUS_CANCELLED);
        EXPECT_EQ(seen[i].usbdStatus, USBD_STATUS_CANCELED);
        EXPECT_EQ(seen[i].irql, DISPATCH_LEVEL);
    }
    machine_.clock().run_for(platform::Milliseconds(10));
    EXPECT_EQ(completions().size(), 3u) << "a cancelled transfer must not complete again in its frame";
}

// A frame's packets reach the device microframe by microframe, OUT before IN
// within each, and in send order among transfers of one direction; each IN
// packet's length and data are what the device returned for that very packet.
// Guards the order a frame's packets are gathered in and handed over at once.
TEST_F(HostControllerTest, FramePacketsReachTheDeviceInBusOrder) {
    ULONG start = frame() + 2;
    // Sent in an order unlike the bus's: IN, OUT, IN, OUT.
    for (bool out : {false, true, false, true}) ASSERT_EQ(send(start, out), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(4));
    ASSERT_EQ(completions().size(), 4u);
    std::vector<SeenPacket> seen = device_->seen();
    ASSERT_EQ(seen.size(), 4 * kPackets);
    for (unsigned microframe = 0; microframe < kPackets; ++microframe) {
        const SeenPacket* packet = &seen[microframe * 4];
        // OUT transfers 1 and 3, then IN transfers 0 and 2.
        int transfers[] = {1, 3, 0, 2};
        for (int k = 0; k < 4; ++k, ++packet) {
            SCOPED_TRACE(testing::Message() << "microframe " << microframe << ", transfer " << transfers[k]);
            EXPECT_EQ(packet->frame, start);
            EXPECT_EQ(packet->microframe, microframe);
            bool out = k < 2;
            EXPECT_EQ(packet->endpoint, out ? kIsoOut : kIsoIn);
            if (out) {
                EXPECT_EQ(packet->bytes, microframe + 1) << "an OUT packet carries the length it was sent with";
                EXPECT_EQ(packet->first, transfers[k] + 100);
                continue;
            }
            EXPECT_EQ(packet->bytes, kPacketBytes) << "an IN packet offers the endpoint's packet size";
            const USBD_ISO_PACKET_DESCRIPTOR& descriptor =
                transfers_[static_cast<size_t>(transfers[k])]->urb->UrbIsochronousTransfer.IsoPacket[microframe];
            EXPECT_EQ(descriptor.Length, microframe + 1) << "the length the device returned for this packet";
            EXPECT_EQ(descriptor.Status, USBD_STATUS_SUCCESS);
            EXPECT_EQ(transfers_[static_cast<size_t>(transfers[k])]->buffer[microframe * kPacketBytes], packet->first);
        }
    }
}

// Transfers of a frame with fewer packets than it has microframes: the bus
// order must still be microframe by microframe, OUT before IN, send order
// within each, with no slot given to a transfer whose packets ran out, and
// each IN length must land in its own transfer's descriptor (not a neighbour's).
TEST_F(HostControllerTest, ShortTransfersKeepTheBusOrderOfTheOthers) {
    ULONG start = frame() + 2;
    struct Sent {
        bool out;
        ULONG packets;
    };
    const Sent sent[] = {{false, 3}, {true, kPackets}, {false, kPackets}, {true, 2}};
    for (const Sent& s : sent) ASSERT_EQ(send(start, s.out, s.packets), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(4));
    ASSERT_EQ(completions().size(), 4u);
    std::vector<SeenPacket> seen = device_->seen();
    size_t at = 0;
    uint8_t mark = 1;
    for (unsigned microframe = 0; microframe < kPackets; ++microframe) {
        for (bool out : {true, false}) {
            for (int k = 0; k < 4; ++k) {
                if (sent[k].out != out || microframe >= sent[k].packets) continue;
                SCOPED_TRACE(testing::Message() << "microframe " << microframe << ", transfer " << k);
                ASSERT_LT(at, seen.size());
                const SeenPacket& packet = seen[at++];
                EXPECT_EQ(packet.microframe, microframe);
                EXPECT_EQ(packet.endpoint, out ? kIsoOut : kIsoIn);
                if (out) {
                    EXPECT_EQ(packet.first, k + 100);
                    continue;
                }
                EXPECT_EQ(packet.first, mark++);
                const USBD_ISO_PACKET_DESCRIPTOR& descriptor =
                    transfers_[static_cast<size_t>(k)]->urb->UrbIsochronousTransfer.IsoPacket[microframe];
                EXPECT_EQ(descriptor.Length, microframe + 1);
                EXPECT_EQ(transfers_[static_cast<size_t>(k)]->buffer[microframe * kPacketBytes], packet.first);
            }
        }
    }
    EXPECT_EQ(at, seen.size());
}

// A stop that waits for sent I/O returns only once the transfer in flight has
// completed; what is sent while the pipe stands still is held, not lost or
// run, and goes out when it starts again. Guards the in-flight count a request
// takes without the target's lock against a stop that must see it.
TEST_F(HostControllerTest, StopWaitsForTheTransferInFlightAndHoldsWhatComesAfter) {
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(g_probe.pipe);
    ASSERT_EQ(send(frame() + 3), STATUS_SUCCESS);
    WdfIoTargetStop(target, WdfIoTargetWaitForSentIoToComplete);
    auto seen = completions();
    ASSERT_EQ(seen.size(), 1u) << "the stop returned before the transfer in flight completed";
    EXPECT_EQ(seen[0].status, STATUS_SUCCESS);

    ASSERT_EQ(send(0), STATUS_SUCCESS) << "a transfer sent to a stopped pipe is held";
    machine_.clock().run_for(platform::Milliseconds(5));
    EXPECT_EQ(completions().size(), 1u) << "a held transfer does not run while the pipe is stopped";
    ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(3));
    seen = completions();
    ASSERT_EQ(seen.size(), 2u) << "the held transfer runs once the pipe starts";
    EXPECT_EQ(seen[1].urb, 1);
    EXPECT_EQ(seen[1].status, STATUS_SUCCESS);
}

// Transfers sent while another thread stops and starts the pipe over and over
// each run exactly once: none is lost between the state a sender read and the
// count a stop reads, none runs twice. (Under ThreadSanitizer, a race report.)
TEST_F(HostControllerTest, SendsRacingStopsAndStartsEachRunOnce) {
    constexpr int kTransfers = 200;
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(g_probe.pipe);
    std::atomic<bool> done{false};
    std::thread toggler([&] {
        while (!done.load()) {
            WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
            EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
        }
    });
    for (int i = 0; i < kTransfers; ++i) ASSERT_EQ(send(0), STATUS_SUCCESS);
    done.store(true);
    toggler.join();
    ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(kTransfers + 5));
    auto seen = completions();
    ASSERT_EQ(seen.size(), static_cast<size_t>(kTransfers));
    std::vector<int> runs(kTransfers, 0);
    for (const Completion& completion : seen) {
        ++runs[static_cast<size_t>(completion.urb)];
        EXPECT_EQ(completion.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), kTransfers) << "each transfer completes once";
}

}  // namespace
