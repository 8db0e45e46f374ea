// The child devices on the whole stack: simulated interfaces plugged into the
// USB host, the USB function driver and the root driver's real image, the
// MIDI child drivers' stand-ins loaded by hardware id.
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "platform/kmdf/fx_pdo.h"
#include "support/midi_doubles.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::test;
using namespace vexa::child;
using platform::device::VexaModel;
using platform::device::VexaInterface;

constexpr const char16_t* kAdapter = u"QUVVexaUSB\\Audio&Adapter";
constexpr const char16_t* kMidiIn = u"QUVVexaUSB\\MidiIn";
constexpr const char16_t* kMidiOut = u"QUVVexaUSB\\MidiOut";
constexpr ULONG kNameScratchTag = 0x6B61726D;
constexpr ULONG kPoolTagObject = 0x774E434B;  // "wNCK": the drivers' objects

class ChildrenTest : public ::testing::Test {
protected:
    ChildrenTest() : root_(VEXA_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR, VEXA_DOUBLES_DIR) {}

    std::u16string property(platform::DevNode* node, DEVICE_REGISTRY_PROPERTY which) {
        char16_t buffer[128] = {};
        ULONG bytes = 0;
        if (!NT_SUCCESS(IoGetDeviceProperty(&node->pdo, which, sizeof(buffer), buffer, &bytes))) return {};
        return std::u16string(buffer, bytes / sizeof(char16_t));
    }
    // The framework's PDO of a child, found through the root's child list.
    platform::kmdf::FxPdo* pdo_of(const std::u16string& deviceId, const std::u16string& instance) {
        WDFCHILDLIST list = WdfFdoGetDefaultChildList(root_.fdo());
        WDF_CHILD_LIST_ITERATOR iterator;
        WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren);
        WdfChildListBeginIteration(list, &iterator);
        platform::kmdf::FxPdo* found = nullptr;
        for (;;) {
            uint8_t description[40] = {};
            reinterpret_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(description)->IdentificationDescriptionSize = 40;
            WDF_CHILD_RETRIEVE_INFO info;
            WDF_CHILD_RETRIEVE_INFO_INIT(&info, reinterpret_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(description));
            WDFDEVICE device = nullptr;
            if (WdfChildListRetrieveNextDevice(list, &iterator, &device, &info) != STATUS_SUCCESS) break;
            auto* pdo = dynamic_cast<platform::kmdf::FxPdo*>(platform::kmdf::object_of<platform::kmdf::FxDevice>(device, "test"));
            if (pdo != nullptr && pdo->ids().deviceId == deviceId && pdo->ids().instanceId == instance) found = pdo;
        }
        WdfChildListEndIteration(list, &iterator);
        return found;
    }
    // Sets the device's MIDI port counts (firmware 8/0) before it is plugged.
    static std::function<void(VexaInterface&)> Ports(uint16_t in, uint16_t out) {
        return [in, out](VexaInterface& device) {
            device.firmware().set_handler(8, 0, [in, out](const std::vector<uint8_t>&) {
                platform::device::FirmwareReply reply;
                reply.payload = {static_cast<uint8_t>(in), 0, static_cast<uint8_t>(out), 0};
                return reply;
            });
        };
    }

    MidiDoubles doubles_{VEXA_DOUBLES_DIR};
    RootMachine root_;
};

// The first device gives the adapter child and one MIDI child per direction, all instance
// "1", with the ids, text, locale, capabilities and bus the PDOs are built with; the MIDI
// children's drivers and the WDM audio driver load on them.
TEST_F(ChildrenTest, TheFirstDeviceGivesItsChildren) {
    root_.ports().plug(VexaModel::CantileQe);
    auto children = root_.children();
    ASSERT_EQ(children.size(), 3u);
    platform::DevNode* adapter = FindChild(children, kAdapter, u"1");
    platform::DevNode* in = FindChild(children, kMidiIn, u"1");
    platform::DevNode* out = FindChild(children, kMidiOut, u"1");
    ASSERT_TRUE(adapter != nullptr && in != nullptr && out != nullptr);
    EXPECT_EQ(adapter->state, platform::NodeState::Started);
    EXPECT_EQ(adapter->service, "VexaWdmDouble");
    EXPECT_EQ(in->state, platform::NodeState::Started);
    EXPECT_EQ(in->service, "VexaMidiInDouble");
    EXPECT_EQ(out->service, "VexaMidiOutDouble");
    EXPECT_EQ(property(in, DevicePropertyHardwareID), std::u16string(u"QUVVexaUSB\\MidiIn\0\0", 19));
    EXPECT_EQ(property(in, DevicePropertyDeviceDescription), u"QUV VEXA USB Platform");
    EXPECT_EQ(property(adapter, DevicePropertyLocationInformation), u"Adapter");

    platform::kmdf::FxPdo* pdo = pdo_of(kMidiOut, u"1");
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(pdo->ids().defaultLocale, 0x409u);
    EXPECT_EQ(pdo->fdo()->DeviceType, FILE_DEVICE_BUS_EXTENDER);
    const auto& pnp = pdo->capabilities();
    EXPECT_EQ(pnp.EjectSupported, WdfTrue);
    EXPECT_EQ(pnp.Removable, WdfTrue);
    EXPECT_EQ(pnp.SurpriseRemovalOK, WdfTrue);
    EXPECT_EQ(pnp.LockSupported, WdfUseDefault);
    EXPECT_EQ(pnp.UINumber, 0xFFFFFFFFu);
    const auto& power = pdo->power_capabilities();
    EXPECT_EQ(power.DeviceD1, WdfTrue);
    EXPECT_EQ(power.WakeFromD1, WdfTrue);
    EXPECT_EQ(power.DeviceWake, PowerDeviceD1);
    EXPECT_EQ(power.DeviceState[PowerSystemSleeping2], PowerDeviceD2);
    EXPECT_EQ(power.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(pdo->ids().bus.LegacyBusType, PNPBus);
    EXPECT_EQ(WdfPdoGetParent(pdo->as_handle<WDFDEVICE>()), root_.fdo());

    // The MIDI drivers read the real device's names.
    std::lock_guard lock(doubles_.in().lock);
    vexa::doubles::MidiDoubleDevice* midiIn = doubles_.in().running();
    ASSERT_NE(midiIn, nullptr);
    ASSERT_EQ(midiIn->ports.size(), 1u);
    EXPECT_EQ(midiIn->ports[0].name, u"Cantile-QE MIDI In 1");
    EXPECT_EQ(midiIn->ports[0].instanceId, u"D802cMidiIn1_QUV");
}

// Children only for the directions the device has MIDI ports in.
TEST_F(ChildrenTest, MidiChildrenOnlyForTheDirectionsTheDeviceHas) {
    root_.ports().plug(VexaModel::CantileQk, Ports(1, 0));
    auto children = root_.children();
    EXPECT_EQ(children.size(), 2u);
    EXPECT_NE(FindChild(children, kMidiIn, u"1"), nullptr);
    EXPECT_EQ(FindChild(children, kMidiOut, u"1"), nullptr);
}

// A second device gives children with instance "2" that serve the first (current) device;
// removing one device of two leaves no child of either until the next arrival.
TEST_F(ChildrenTest, ASecondDevicesChildrenServeTheCurrentOneAndGoWithAnyRemoval) {
    root_.ports().plug(VexaModel::CantileQe);
    const auto& second = root_.ports().plug(VexaModel::CantileQk);
    unsigned secondPort = second.number;
    auto children = root_.children();
    ASSERT_EQ(children.size(), 6u);
    for (const char16_t* id : {kAdapter, kMidiIn, kMidiOut}) {
        EXPECT_NE(FindChild(children, id, u"1"), nullptr);
        EXPECT_NE(FindChild(children, id, u"2"), nullptr);
    }
    {
        std::lock_guard lock(doubles_.in().lock);
        ASSERT_EQ(doubles_.in().devices.size(), 2u);
        EXPECT_EQ(doubles_.in().devices[1]->deviceId, doubles_.in().devices[0]->deviceId);
        EXPECT_EQ(doubles_.in().devices[1]->ports[0].name, u"Cantile-QE MIDI In 1");
    }

    ASSERT_TRUE(root_.ports().unplug(secondPort));
    EXPECT_TRUE(root_.children().empty());
    for (platform::DevNode* node : children) EXPECT_EQ(node->state, platform::NodeState::Removed);
    root_.ports().plug(VexaModel::CantileQk);
    children = root_.children();
    EXPECT_EQ(children.size(), 3u);
    EXPECT_NE(FindChild(children, kMidiIn, u"2"), nullptr);
}

// A second device's MIDI children serve the current device beside its own: each child keeps the
// ports it opened. What either output child sends is pulled from that child and played, and
// what comes back reaches both input children (not only the newest).
TEST_F(ChildrenTest, EachMidiChildOfTheCurrentDeviceKeepsItsPorts) {
    root_.ports().plug(VexaModel::CantileQe);
    root_.ports().plug(VexaModel::CantileQk);
    ASSERT_EQ(root_.children().size(), 6u);
    const std::vector<uint8_t> first = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00};
    const std::vector<uint8_t> second = {0xC0, 0x05};
    EXPECT_EQ(doubles_.out().send_from(0, 0, first), STATUS_SUCCESS);
    root_.machine().clock().run_for(platform::Milliseconds(20));
    EXPECT_EQ(doubles_.out().send_from(1, 0, second), STATUS_SUCCESS);
    root_.machine().clock().run_for(platform::Milliseconds(20));
    std::vector<uint8_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(doubles_.in().received_by(0, 0), both) << "the first input child";
    EXPECT_EQ(doubles_.in().received_by(1, 0), both) << "the second input child";
}

// Bytes the output driver sends come back through the interface's MIDI loopback to the input
// driver unchanged and in order, on every port of the model.
class LoopbackTest : public ChildrenTest, public ::testing::WithParamInterface<VexaModel> {};

TEST_P(LoopbackTest, MidiLoopsBackUnchangedOnEveryPort) {
    root_.ports().plug(GetParam());
    const std::vector<uint8_t> messages = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00, 0xC0, 0x05, 0xF0, 0x01, 0x02,
                                           0x03, 0xF7, 0xF8, 0xB0, 0x07, 0x7F, 0xE0, 0x00, 0x40, 0xF6};
    size_t ports;
    {
        std::lock_guard lock(doubles_.out().lock);
        ports = doubles_.out().running()->ports.size();
    }
    ASSERT_GE(ports, 1u);
    for (uint32_t port = 0; port < ports; ++port) {
        for (size_t at = 0; at < messages.size(); at += 7) {
            std::vector<uint8_t> part(messages.begin() + static_cast<std::ptrdiff_t>(at),
                                      messages.begin() + static_cast<std::ptrdiff_t>(std::min(at + 7, messages.size())));
            EXPECT_EQ(doubles_.out().send(port, part), STATUS_SUCCESS);
        }
    }
    root_.machine().clock().run_for(platform::Milliseconds(20));
    for (uint32_t port = 0; port < ports; ++port) EXPECT_EQ(doubles_.in().received(port), messages) << port;
}

INSTANTIATE_TEST_SUITE_P(Models, LoopbackTest, ::testing::Values(VexaModel::CantileQk, VexaModel::CantileQe));

// Surprise removal while ports are open and bytes flow, with drivers that never close their
// ports: nothing is leaked, both drivers unload, and no call reaches them after.
TEST_F(ChildrenTest, SurpriseRemovalWhileBytesFlowLeavesNothingBehind) {
    for (auto* state : {&doubles_.in(), &doubles_.out()}) {
        std::lock_guard lock(state->lock);
        state->knobs.neverClose = true;
    }
    int64_t objects = platform::pool::stats(kPoolTagObject).blocks;
    const auto& port = root_.ports().plug(VexaModel::CantileQe);
    unsigned number = port.number;
    std::shared_ptr<VexaInterface> device = port.device;
    std::vector<uint8_t> burst(600, 0);
    for (size_t i = 0; i < burst.size(); i += 3) burst[i] = 0x90, burst[i + 1] = 0x40, burst[i + 2] = 0x7F;
    EXPECT_EQ(doubles_.out().send(0, burst), STATUS_SUCCESS);
    std::vector<uint8_t> incoming;
    for (int i = 0; i < 200; ++i) incoming.insert(incoming.end(), {0x09, 0x90, 0x3C, 0x64});
    device->queue_midi_in(incoming);
    root_.machine().clock().run_for(platform::Milliseconds(1));  // some of it is under way
    ASSERT_TRUE(root_.ports().unplug(number));
    root_.machine().clock().run_for(platform::Milliseconds(20));
    platform::wait_for_pnp_idle();

    EXPECT_TRUE(root_.children().empty());
    for (auto* state : {&doubles_.in(), &doubles_.out()}) {
        std::lock_guard lock(state->lock);
        EXPECT_FALSE(state->loaded);
        EXPECT_EQ(state->loads, state->unloads);
        EXPECT_EQ(state->callsWhileUnloaded, 0u);
    }
    EXPECT_EQ(platform::pool::stats(kPoolTagObject).blocks, objects);
    EXPECT_EQ(platform::pool::stats(kNameScratchTag).blocks, 0);
}

}  // namespace
