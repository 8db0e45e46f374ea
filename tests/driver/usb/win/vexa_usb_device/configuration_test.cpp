// The USB configuration code, tested with the driver linked into this program
// so its records can be inspected directly.
#include <gtest/gtest.h>

#include "platform/device/vexa_interface.h"
#include "platform/kernel/fault.h"
#include "platform/kmdf/fx_device.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/usbd.h"
#include "platform/kernel/handle_table.h"
#include "source/driver/usb/win/vexa_usb_device/device.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/event_log.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "platform/usb/usb_port.h"
#include "support/usb_constants.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace {

using platform::device::VexaModel;
using platform::device::VexaVariant;
namespace dev = platform::device;

class ConfigurationTest : public ::testing::Test {
protected:
    ConfigurationTest() {
        machine_.drivers().install_builtin(vexa::test::kUsbService, DriverEntry);
        objectBytes_ = platform::pool::outstanding_bytes(vexa::test::kTagObject);
        bufferBytes_ = platform::pool::outstanding_bytes(vexa::test::kTagBuffer);
    }

    UsbFunctionDevice* plug(VexaModel model = VexaModel::CantileQe, VexaVariant variant = {}) {
        device_ = dev::make_vexa_interface(model, variant);
        node_ = platform::usb::plug(device_, vexa::test::kUsbService, u"0001");
        if (node_->state != platform::NodeState::Started) return nullptr;
        return GetDeviceContext(platform::kmdf::FxDevice::of(node_->fdo)->as_handle<WDFDEVICE>())->device;
    }

    InterfaceObject* interface_number(UsbFunctionDevice* device, UCHAR number) {
        for (UCHAR i = 0; i < device->configuration.interfaceCount; ++i) {
            InterfaceObject* object = device->configuration.interfaces[i];
            if (object->descriptor->bInterfaceNumber == number) return object;
        }
        return nullptr;
    }

    int64_t leaked_bytes() const {
        return platform::pool::outstanding_bytes(vexa::test::kTagObject) - objectBytes_ +
               platform::pool::outstanding_bytes(vexa::test::kTagBuffer) - bufferBytes_;
    }

    platform::Machine machine_;
    std::shared_ptr<dev::VexaInterface> device_;
    platform::DevNode* node_ = nullptr;
    int64_t objectBytes_ = 0;
    int64_t bufferBytes_ = 0;
};

// The walk builds one object per interface with a pipe record per configured endpoint, each with its descriptor.
TEST_F(ConfigurationTest, WalkRecordsInterfacesAndPipes) {
    UsbFunctionDevice* device = plug();
    ASSERT_NE(device, nullptr) << NtStatusName(node_->lastStatus);
    USB_CONFIGURATION& c = device->configuration;
    EXPECT_EQ(c.interfaceCount, 5);
    EXPECT_EQ(c.deviceDescriptor.idProduct, dev::kCantileQeProductId);
    EXPECT_NE(c.pdo, nullptr);
    EXPECT_TRUE(c.information.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED);

    struct Expected {
        UCHAR number;
        std::vector<UCHAR> endpoints;
    };
    const Expected expected[] = {
        {dev::kAudioControlInterface, {dev::kClockInterruptEndpoint}},
        {dev::kPlaybackInterface, {dev::kPlaybackEndpoint}},  // the streams select their streaming setting
        {dev::kCaptureInterface, {dev::kCaptureEndpoint}},
        {dev::kMidiInterface, {dev::kMidiOutEndpoint, dev::kMidiInEndpoint}},
        {dev::kVendorInterface, {dev::kVendorInterruptEndpoint}},
    };
    for (const Expected& e : expected) {
        InterfaceObject* object = interface_number(device, e.number);
        ASSERT_NE(object, nullptr) << int(e.number);
        EXPECT_EQ(PipeCount(object), e.endpoints.size()) << int(e.number);
        for (size_t i = 0; i < e.endpoints.size(); ++i) {
            PipeRecord* pipe = object->pipes[i];
            EXPECT_EQ(pipe->interface, object);
            EXPECT_EQ(pipe->information.EndpointAddress, e.endpoints[i]);
            ASSERT_NE(pipe->endpoint, nullptr);
            EXPECT_EQ(pipe->endpoint->bEndpointAddress, e.endpoints[i]);
            EXPECT_NE(pipe->pipe, nullptr);
        }
    }
    machine_.pnp().remove(*node_);
    EXPECT_EQ(leaked_bytes(), 0);
}

// Selecting the setting already configured sends nothing; another setting rebuilds the pipes.
TEST_F(ConfigurationTest, AlternateSettingSelection) {
    UsbFunctionDevice* device = plug();
    ASSERT_NE(device, nullptr);
    InterfaceObject* playback = interface_number(device, dev::kPlaybackInterface);
    size_t before = device_->interface_selections().size();
    EXPECT_EQ(SelectAlternateSetting(playback, 1), STATUS_SUCCESS);  // the stream selected it already
    EXPECT_EQ(device_->interface_selections().size(), before);
    ASSERT_EQ(PipeCount(playback), 1u);
    PipeRecord* data = playback->pipes[0];
    EXPECT_EQ(data->information.PipeType, WdfUsbPipeTypeIsochronous);
    EXPECT_EQ(data->packetBytes, dev::data_packet_bytes(10));
    EXPECT_EQ(data->bytesPerFrame, data->packetBytes * 8);  // one packet every microframe

    EXPECT_EQ(SelectAlternateSetting(playback, 0), STATUS_SUCCESS);
    EXPECT_EQ(PipeCount(playback), 0u);
    EXPECT_EQ(device_->current_setting(dev::kPlaybackInterface), 0);
    EXPECT_EQ(SelectAlternateSetting(playback, 0), STATUS_SUCCESS);
    EXPECT_EQ(device_->interface_selections().size(), before + 1);
    EXPECT_EQ(SelectAlternateSetting(playback, 1), STATUS_SUCCESS);
    EXPECT_EQ(PipeCount(playback), 1u);
    EXPECT_EQ(device_->interface_selections().size(), before + 2);
}

// A setting the bus cannot carry fails with an event an administrator sees.
TEST_F(ConfigurationTest, BandwidthFailureIsLogged) {
    UsbFunctionDevice* device = plug();
    ASSERT_NE(device, nullptr);
    InterfaceObject* capture = interface_number(device, dev::kCaptureInterface);
    ASSERT_EQ(SelectAlternateSetting(capture, 0), STATUS_SUCCESS);
    device_->refuse_next_setting(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SelectAlternateSetting(capture, 1), STATUS_INSUFFICIENT_RESOURCES);
    auto log = machine_.event_log().entries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].errorCode, MSG_NOT_ENOUGH_BANDWIDTH);
    EXPECT_EQ(log[0].finalStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(log[0].message, "System does not have enough bandwidth available for this device.");
}

// A string needs room for its terminator: ten characters do not fit ten, they fit eleven.
TEST_F(ConfigurationTest, StringReadBounds) {
    UsbFunctionDevice* device = plug();
    ASSERT_NE(device, nullptr);
    WCHAR buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    UCHAR product = device->configuration.deviceDescriptor.iProduct;  // "Cantile-QE", ten characters
    EXPECT_EQ(ReadStringDescriptor(&device->configuration, product, buffer, 10), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], u'#');
    ASSERT_EQ(ReadStringDescriptor(&device->configuration, product, buffer, 11), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"Cantile-QE");
    EXPECT_EQ(buffer[10], 0);
    EXPECT_EQ(buffer[11], u'#');
    EXPECT_EQ(ReadStringDescriptor(&device->configuration, product, nullptr, 11), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(NT_SUCCESS(ReadStringDescriptor(&device->configuration, 77, buffer, 16)));
}

// The isochronous check bounds packet size and interval, and derives the bytes of one 1 ms frame.
TEST_F(ConfigurationTest, IsochronousPipeCheck) {
    const struct {
        ULONG packet;
        UCHAR interval;
        NTSTATUS status;
        ULONG perFrame;
    } cases[] = {
        {3073, 1, STATUS_INVALID_PARAMETER, 0}, {0, 1, STATUS_INVALID_PARAMETER, 0},
        {512, 5, STATUS_INVALID_PARAMETER, 0},  {512, 0, STATUS_INVALID_PARAMETER, 0},
        {3072, 1, STATUS_SUCCESS, 3072 * 8},    {1024, 2, STATUS_SUCCESS, 4096},
        {1024, 3, STATUS_SUCCESS, 2048},        {1024, 4, STATUS_SUCCESS, 1024},
    };
    for (auto& c : cases) {
        PipeRecord pipe{};
        pipe.information.PipeType = WdfUsbPipeTypeIsochronous;
        pipe.information.MaximumPacketSize = c.packet;
        pipe.information.Interval = c.interval;
        EXPECT_EQ(CheckIsochronousPipe(&pipe), c.status) << c.packet << "/" << int(c.interval);
        EXPECT_EQ(pipe.bytesPerFrame, c.perFrame);
    }
}

// The search for class descriptors never leaves the interface it starts in.
TEST_F(ConfigurationTest, DescriptorSearchStaysInItsInterface) {
    UsbFunctionDevice* device = plug();
    ASSERT_NE(device, nullptr);
    const USB_CONFIGURATION& c = device->configuration;
    auto* first = USBD_ParseConfigurationDescriptorEx(c.configurationDescriptor, c.configurationDescriptor,
                                                      dev::kAudioControlInterface, 0, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    int classSpecific = 0;
    for (auto* d = NextDescriptorOfType(&c, first, 0x24); d != nullptr; d = NextDescriptorOfType(&c, d, 0x24)) {
        ++classSpecific;
    }
    EXPECT_EQ(classSpecific, 4);  // header, two clock sources, the selector
    EXPECT_EQ(NextDescriptorOfType(&c, nullptr, 0), nullptr);
    EXPECT_EQ(NextDescriptorOfType(&c, reinterpret_cast<const UCHAR*>(c.configurationDescriptor) + 4096, 0), nullptr);
}

// Configurations the driver's tables cannot hold, or that are malformed, fail the start cleanly.
TEST_F(ConfigurationTest, BadConfigurationsFailTheStartCleanly) {
    VexaVariant nine;
    nine.extraInterfaces = true;
    VexaVariant zero;
    zero.zeroLengthDescriptor = true;
    VexaVariant pastEnd;
    pastEnd.descriptorPastEnd = true;
    VexaVariant bulkVendor;
    bulkVendor.vendorWithoutInterrupt = true;
    for (auto& [name, variant] : {std::pair{"nine interfaces", nine}, std::pair{"zero length", zero},
                                  std::pair{"past the end", pastEnd}, std::pair{"bulk vendor endpoint", bulkVendor}}) {
        EXPECT_EQ(plug(VexaModel::CantileQe, variant), nullptr) << name;
        EXPECT_EQ(node_->state, platform::NodeState::Failed) << name;
        EXPECT_EQ(leaked_bytes(), 0) << name;
    }
}

// Host-controller identification takes references and gives every one back, on success and on failure.
TEST_F(ConfigurationTest, HostControllerIdentificationReleasesItsReferences) {
    auto& host = platform::usb::HostController::get();
    ASSERT_NE(plug(), nullptr);
    EXPECT_EQ(host.root_hub()->ReferenceCount, 0);
    machine_.pnp().remove(*node_);
    platform::fault::inject("IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME", STATUS_DEVICE_NOT_READY, 1, 1);
    EXPECT_EQ(plug(), nullptr);
    EXPECT_EQ(node_->lastStatus, STATUS_DEVICE_NOT_READY);
    platform::fault::inject("IoGetDeviceProperty", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    EXPECT_NE(plug(), nullptr);
    EXPECT_EQ(host.root_hub()->ReferenceCount, 0);
    machine_.pnp().remove(*node_);
    EXPECT_EQ(machine_.kernel_handles().size(), 0u);  // the controller's and the logger's handles are closed
}

}  // namespace
