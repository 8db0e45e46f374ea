// The host controller's rules that the USB function driver's streams rely on,
// tested directly through the framework's USB calls from a small driver built
// into this test: a start frame that has passed fails, completions run at
// DISPATCH_LEVEL in the order the transfers were sent, and an aborted pipe
// completes everything it still held with STATUS_CANCELLED.
#include <gtest/gtest.h>

#include <mutex>
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
    WDFUSBPIPE pipe = nullptr;
    std::vector<Completion> completions;  // guarded by lock
};
ProbeState g_probe;

struct Transfer {
    int index;
    WDFMEMORY urbMemory;
    PURB urb;
    WDFREQUEST request;
    uint8_t buffer[kPackets * kPacketBytes];
};

void TransferComplete(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    auto* transfer = static_cast<Transfer*>(context);
    std::lock_guard guard(g_probe.lock);
    g_probe.completions.push_back(
        {transfer->index, params->IoStatus.Status, transfer->urb->UrbHeader.Status, KeGetCurrentIrql()});
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
    return g_probe.pipe != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED;
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

// One interface whose only endpoint is an isochronous IN endpoint, one packet per microframe.
std::shared_ptr<platform::device::SimulatedUsbDevice> IsochronousDevice() {
    auto configuration = platform::device::DescriptorBuilder()
                             .configuration(1, 0x80, 50)
                             .interface(0, 0, 1, 0xFF, 0, 0)
                             .endpoint(kIsoIn, 0x05, kPacketBytes, 1)
                             .build();
    return std::make_shared<platform::device::SimulatedUsbDevice>(
        platform::device::make_device_descriptor(0x0A4A, 0x7E57, 0x0100, 0, 0, 0), std::move(configuration),
        std::map<UCHAR, std::u16string>{});
}

class HostControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_probe.usbDevice = nullptr;
        g_probe.pipe = nullptr;
        g_probe.completions.clear();
        machine_.drivers().install_builtin(kService, ProbeDriverEntry);
        node_ = platform::usb::plug(IsochronousDevice(), kService, u"0001");
        ASSERT_EQ(node_->state, platform::NodeState::Started);
        ASSERT_NE(g_probe.pipe, nullptr);
    }

    void TearDown() override {
        for (auto& transfer : transfers_) {
            WdfObjectDelete(transfer->request);
            WdfObjectDelete(transfer->urbMemory);
        }
    }

    ULONG frame() {
        ULONG frame = 0;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(g_probe.usbDevice, &frame), STATUS_SUCCESS);
        return frame;
    }

    // Sends one IN transfer of a frame's packets, for `startFrame` (0: as soon as possible).
    NTSTATUS send(ULONG startFrame) {
        auto transfer = std::make_unique<Transfer>();
        transfer->index = static_cast<int>(transfers_.size());
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = g_probe.usbDevice;
        NTSTATUS status = WdfUsbTargetDeviceCreateIsochUrb(g_probe.usbDevice, &attributes, kPackets,
                                                           &transfer->urbMemory, &transfer->urb);
        if (!NT_SUCCESS(status)) return status;
        URB_ISOCH_TRANSFER& urb = transfer->urb->UrbIsochronousTransfer;
        urb.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(kPackets));
        urb.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        urb.PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(g_probe.pipe);
        urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | (startFrame == 0 ? USBD_START_ISO_TRANSFER_ASAP : 0);
        urb.TransferBuffer = transfer->buffer;
        urb.TransferBufferLength = sizeof(transfer->buffer);
        urb.StartFrame = startFrame;
        urb.NumberOfPackets = kPackets;
        for (ULONG k = 0; k < kPackets; ++k) urb.IsoPacket[k] = USBD_ISO_PACKET_DESCRIPTOR{k * kPacketBytes, 0, 0};
        WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(g_probe.pipe);
        status = WdfRequestCreate(&attributes, target, &transfer->request);
        if (!NT_SUCCESS(status)) {
            WdfObjectDelete(transfer->urbMemory);
            return status;
        }
        transfers_.push_back(std::move(transfer));
        Transfer* sent = transfers_.back().get();
        status = WdfUsbTargetPipeFormatRequestForUrb(g_probe.pipe, sent->request, sent->urbMemory, nullptr);
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
    platform::DevNode* node_ = nullptr;
    std::vector<std::unique_ptr<Transfer>> transfers_;
};

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

}  // namespace
