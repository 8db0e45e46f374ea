// The MIDI children against the root driver's test image: a scripted device
// with as many MIDI ports as a test asks, the MIDI child drivers' stand-ins
// loaded on its children, and the proxy's MIDI callback called as the USB
// function driver calls it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kmdf/fx_pdo.h"
#include "platform/machine/event_log.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/midi_doubles.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::test;
using namespace vexa::child;
using vexa::doubles::MidiDoubleDevice;
using vexa::doubles::MidiDoublePort;

constexpr const char16_t* kAdapter = u"QUVVexaUSB\\Audio&Adapter";
constexpr const char16_t* kMidiIn = u"QUVVexaUSB\\MidiIn";
constexpr const char16_t* kMidiOut = u"QUVVexaUSB\\MidiOut";

class MidiChildTest : public ::testing::Test {
protected:
    MidiChildTest() : root_(VEXA_TEST_DRIVER_DIR, {}, {}, VEXA_DOUBLES_DIR) {}

    void* plug(uint16_t in, uint16_t out) {
        {
            std::lock_guard lock(script_.lock);
            script_.midiInPorts = in;
            script_.midiOutPorts = out;
        }
        void* device = root_.plug(&script_);
        platform::wait_for_pnp_idle();
        return device;
    }
    MidiDoubleDevice& running(vexa::doubles::MidiDoubleState& state) {
        std::lock_guard lock(state.lock);
        MidiDoubleDevice* device = state.running();
        if (device == nullptr) throw std::runtime_error("no running double");
        return *device;
    }
    // The data of the last command the device got, as a u32.
    uint32_t last_command(uint16_t* command = nullptr) {
        std::lock_guard lock(script_.lock);
        if (command != nullptr) *command = script_.command;
        uint32_t value = 0;
        if (script_.data.size() >= 4) std::memcpy(&value, script_.data.data(), 4);
        return value;
    }
    unsigned commands() {
        std::lock_guard lock(script_.lock);
        return script_.commands;
    }
    NTSTATUS midi_data(void* device, UCHAR direction, UCHAR cable, ULONG* word) {
        return root_.hook<MidiDataFn>("VexaTestMidiData")(device, direction, cable, word);
    }

    MidiDoubles doubles_{VEXA_DOUBLES_DIR};  // outlives the machine, which unloads the images
    FakeDeviceScript script_;
    RootMachine root_;
};

// Children only for the directions the device has: two input ports and no output give the
// adapter and the MIDI-in child, whose driver reads both ports' names and instance ids through
// the pointers it was given (a device without a product string or port names: the fallback).
TEST_F(MidiChildTest, ChildrenFollowTheDirectionsAndInfoNamesEveryPort) {
    void* device = plug(2, 0);
    auto children = root_.children();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_NE(FindChild(children, kAdapter, u"1"), nullptr);
    EXPECT_NE(FindChild(children, kMidiIn, u"1"), nullptr);
    EXPECT_EQ(FindChild(children, kMidiOut, u"1"), nullptr);
    MidiDoubleDevice& in = running(doubles_.in());
    EXPECT_EQ(in.versionStatus, STATUS_SUCCESS);
    EXPECT_EQ(in.infoStatus, STATUS_SUCCESS);
    EXPECT_EQ(in.kind, kMidiKindIn);
    ASSERT_EQ(in.ports.size(), 2u);
    EXPECT_EQ(in.ports[0].name, u"QUV VEXA USB Platform MIDI In 1");
    EXPECT_EQ(in.ports[1].name, u"QUV VEXA USB Platform MIDI In 2");
    EXPECT_EQ(in.ports[0].instanceId, u"D0000MidiIn1_QUV");
    EXPECT_EQ(in.ports[1].instanceId, u"D0000MidiIn2_QUV");
    EXPECT_TRUE(in.ports[0].open && in.ports[1].open);

    // A device with no MIDI port at all has only the adapter child.
    root_.unplug(device);
    platform::wait_for_pnp_idle();
    plug(0, 0);
    children = root_.children();
    ASSERT_EQ(children.size(), 1u);
    EXPECT_NE(FindChild(children, kAdapter, u"1"), nullptr);
}

// Wrong lengths are refused before anything is written: the version exactly 8 bytes, the
// information at least 336, the open at least 68.
TEST_F(MidiChildTest, RequestsOfTheWrongLengthAreRefused) {
    const struct {
        uint32_t versionBytes, infoBytes, openBytes;
        NTSTATUS version, info, open;
    } cases[] = {
        {8, 336, 68, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        {8, 335, 68, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS},
        {4, 336, 68, STATUS_INVALID_PARAMETER, STATUS_SUCCESS, STATUS_SUCCESS},
        {8, 336, 67, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
    };
    for (const auto& c : cases) {
        {
            std::lock_guard lock(doubles_.in().lock);
            doubles_.in().knobs.versionBytes = c.versionBytes;
            doubles_.in().knobs.infoBytes = c.infoBytes;
            doubles_.in().knobs.openBytes = c.openBytes;
            doubles_.in().calls.clear();
        }
        void* device = plug(2, 0);
        std::vector<vexa::doubles::MidiCall> calls = doubles_.in().take_calls();
        auto status_of = [&](const std::string& what) {
            for (const auto& call : calls) {
                if (call.what == what) return call.status;
            }
            return static_cast<int32_t>(0x7FFFFFFF);  // never asked
        };
        EXPECT_EQ(status_of("version"), c.version);
        if (NT_SUCCESS(c.version)) {
            EXPECT_EQ(status_of("info"), c.info);
        }
        if (NT_SUCCESS(c.version) && NT_SUCCESS(c.info)) {
            EXPECT_EQ(status_of("open"), c.open);
        }
        for (const auto& call : calls) EXPECT_EQ(call.irql, PASSIVE_LEVEL) << call.what;
        root_.unplug(device);
        platform::wait_for_pnp_idle();
    }
}

// A port's enable does what was asked of that port; the device's direction-wide switch follows
// the first port enabled and the last disabled: disabling output port 3 last sends 0x40000003,
// enabling it first 0xC0000003, disabling input port 3 last 0x00000003.
TEST_F(MidiChildTest, EnablesAreKeptPerPort) {
    plug(4, 4);
    MidiDoubleDevice& out = running(doubles_.out());
    MidiDoubleDevice& in = running(doubles_.in());
    ASSERT_EQ(out.ports.size(), 4u);
    unsigned before = commands();
    for (uint32_t port = 0; port < 3; ++port) {
        EXPECT_EQ(out.ports[port].enable(nullptr, out.ports[port].midiDevice, port, 0), STATUS_SUCCESS);
        EXPECT_EQ(in.ports[port].enable(nullptr, in.ports[port].midiDevice, port, 0), STATUS_SUCCESS);
    }
    EXPECT_EQ(commands(), before) << "other ports are still enabled: nothing goes to the device";
    void* outMidi = out.ports[3].midiDevice;
    EXPECT_EQ(out.ports[3].enable(nullptr, outMidi, 3, 0), STATUS_SUCCESS);
    uint16_t command = 0;
    EXPECT_EQ(last_command(&command), 0x40000003u);
    EXPECT_EQ(command, kUsbCmdMidiEnable);
    EXPECT_EQ(out.ports[3].enable(nullptr, outMidi, 3, 1), STATUS_SUCCESS);
    EXPECT_EQ(last_command(), 0xC0000003u);
    EXPECT_EQ(in.ports[3].enable(nullptr, in.ports[3].midiDevice, 3, 0), STATUS_SUCCESS);
    EXPECT_EQ(last_command(), 0x00000003u);
    before = commands();
    EXPECT_EQ(out.ports[3].enable(nullptr, outMidi, 3, 1), STATUS_SUCCESS) << "enabled already";
    EXPECT_EQ(out.ports[3].enable(nullptr, outMidi, 9, 1), STATUS_SUCCESS) << "no record for port 9";
    EXPECT_EQ(out.ports[3].enable(nullptr, outMidi, 16, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(commands(), before);
    // The kick names the port as it is; one the USB driver would fold onto another is refused.
    EXPECT_EQ(doubles_.out().send(2, {0xC0, 0x05}), STATUS_SUCCESS);
    EXPECT_EQ(last_command(&command), 2u);
    EXPECT_EQ(command, kUsbCmdMidiOutKick);
    EXPECT_EQ(out.ports[0].kick(outMidi, 18), STATUS_INVALID_PARAMETER);
}

// An incoming word hands its bytes to the port's input function in order, each with the time
// stamp; a word of count 0 and a port without a record deliver nothing.
TEST_F(MidiChildTest, InputWordsReachThePortInOrder) {
    void* device = plug(2, 0);
    root_.machine().clock().run_for(platform::Milliseconds(5));
    uint64_t now = KeQueryInterruptTime();
    ULONG word = 0x03406090;
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 1, &word), STATUS_SUCCESS);
    ULONG empty = 0x00406090;
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 1, &empty), STATUS_SUCCESS);
    ULONG stray = 0x01000090;
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 7, &stray), STATUS_SUCCESS);
    EXPECT_EQ(doubles_.in().received(1), (std::vector<uint8_t>{0x90, 0x60, 0x40}));
    EXPECT_TRUE(doubles_.in().received(0).empty());
    std::lock_guard lock(doubles_.in().lock);
    for (const auto& r : doubles_.in().running()->ports[1].received) EXPECT_EQ(r.time, now);
    for (const auto& call : doubles_.in().calls) {
        if (call.what == "input") {
            EXPECT_EQ(call.irql, DISPATCH_LEVEL);
        }
    }
}

// A pull answers the child's next byte tagged with its port; after the child closed the port it
// answers kNoMidiData with count 0, so nothing reaches the closed child. A direction without
// ports answers STATUS_INTERNAL_ERROR.
TEST_F(MidiChildTest, PullsEndWhenThePortIsClosed) {
    void* device = plug(0, 4);
    MidiDoubleDevice& out = running(doubles_.out());
    {
        std::lock_guard lock(doubles_.out().lock);
        out.ports[3].pending = {0x90, 0x3C};
    }
    ULONG word = 0;
    EXPECT_EQ(midi_data(device, kMidiDirectionOut, 3, &word), STATUS_SUCCESS);
    EXPECT_EQ(word, 0x31000090u);
    EXPECT_EQ(out.ports[3].closePort(out.ports[3].midiDevice, 3), STATUS_SUCCESS);
    EXPECT_EQ(midi_data(device, kMidiDirectionOut, 3, &word), kNoMidiData);
    EXPECT_EQ(word, 0x30000000u);
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 0, &word), STATUS_INTERNAL_ERROR) << "no input ports";
    {
        std::lock_guard lock(doubles_.out().lock);
        EXPECT_EQ(out.ports[3].pending.size(), 1u) << "the closed child was not asked again";
    }
}

// A MIDI request on the adapter child and an adapter request on a MIDI child are refused,
// never served as the other kind's object; the adapter child answers its own version.
TEST_F(MidiChildTest, RequestsOfTheOtherKindAreRefused) {
    plug(1, 1);
    auto children = root_.children();
    platform::DevNode* adapter = FindChild(children, kAdapter, u"1");
    platform::DevNode* midi = FindChild(children, kMidiOut, u"1");
    ASSERT_NE(adapter, nullptr);
    ASSERT_NE(midi, nullptr);
    EXPECT_EQ(adapter->service, "VexaWdmDouble");
    uint8_t buffer[sizeof(MidiInfo)] = {};
    EXPECT_EQ(SendToChild(adapter, kIoctlMidiGetInfo, false, buffer, sizeof(MidiInfo)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SendToChild(adapter, kIoctlMidiOpenPort, false, buffer, sizeof(MidiOpenPort)),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SendToChild(adapter, kIoctlMidiGetVersion, false, buffer, 8), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SendToChild(midi, kIoctlWdmGetVersion, true, buffer, 8), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SendToChild(midi, kIoctlWdmOpen, true, buffer, 72), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(SendToChild(adapter, kIoctlWdmGetVersion, true, buffer, 8), STATUS_SUCCESS);
    uint32_t version[2];
    std::memcpy(version, buffer, sizeof(version));
    EXPECT_EQ(version[0], kChildDriverVersion);
    EXPECT_EQ(version[1], kWdmInterfaceVersion);
    EXPECT_EQ(SendToChild(midi, 0x220264, false, buffer, 8), STATUS_NOT_IMPLEMENTED);
}

// A request that comes after the device went (its children not yet removed) finds no context:
// STATUS_DEVICE_DOES_NOT_EXIST, and the device's objects are not touched.
TEST_F(MidiChildTest, ALateRequestFindsTheDeviceGone) {
    void* device = plug(2, 0);
    platform::DevNode* midi = FindChild(root_.children(), kMidiIn, u"1");
    ASSERT_NE(midi, nullptr);
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(root_.fdo());
    WDF_CHILD_LIST_ITERATOR hold;
    WDF_CHILD_LIST_ITERATOR_INIT(&hold, WdfRetrieveMissingChildren);
    WdfChildListBeginIteration(list, &hold);  // keeps the PnP manager from removing the children for now
    root_.unplug(device);
    uint8_t buffer[sizeof(MidiInfo)] = {};
    EXPECT_EQ(SendToChild(midi, kIoctlMidiGetInfo, false, buffer, sizeof(MidiInfo)), STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(SendToChild(midi, kIoctlMidiOpenPort, false, buffer, sizeof(MidiOpenPort)),
              STATUS_DEVICE_DOES_NOT_EXIST);
    EXPECT_EQ(SendToChild(midi, kIoctlMidiGetVersion, false, buffer, 8), STATUS_SUCCESS);
    WdfChildListEndIteration(list, &hold);
    platform::wait_for_pnp_idle();
    EXPECT_TRUE(root_.children().empty());
}

// The same id and serial number with another context is the same child (the compare checks
// the lengths before the bytes): a duplicate is logged as 0xC0060001 with the informational
// status and refused with STATUS_INVALID_PARAMETER.
TEST_F(MidiChildTest, ADuplicateChildIsLoggedAndRefused) {
    auto compare = root_.hook<CompareChildrenFn>("VexaTestCompareChildren");
    int a = 0, b = 0;
    EXPECT_TRUE(compare(u"QUVVexaUSB\\MidiIn\0", 38, 1, &a, u"QUVVexaUSB\\MidiIn\0", 38, 1, &b));
    EXPECT_FALSE(compare(u"QUVVexaUSB\\MidiIn\0", 38, 1, &a, u"QUVVexaUSB\\MidiIn\0", 38, 2, &a));
    EXPECT_FALSE(compare(u"QUVVexaUSB\\MidiIn\0", 38, 1, &a, u"QUVVexaUSB\\MidiOut\0", 40, 1, &a));
    EXPECT_FALSE(compare(u"QUVVexaUSB\\MidiIn\0", 36, 1, &a, u"QUVVexaUSB\\MidiIn\0", 38, 1, &a))
        << "equal bytes over the shorter length are no equal id";

    plug(1, 0);
    auto add = root_.hook<AddChildFn>("VexaTestAddChild");
    EXPECT_EQ(add(root_.fdo(), u"QUVVexaUSB\\Audio&Adapter\0", 52, 1, &b), STATUS_INVALID_PARAMETER);
    std::vector<uint32_t> finals;
    for (const auto& e : root_.machine().event_log().entries()) {
        if (e.errorCode == MSG_CREATE_CHILD_FAILED) finals.push_back(static_cast<uint32_t>(e.finalStatus));
    }
    EXPECT_EQ(finals, std::vector<uint32_t>{0x40000000u});
    platform::wait_for_pnp_idle();
    EXPECT_EQ(root_.children().size(), 2u);
}

// A second open of a port replaces its binding: the child is still called once per byte.
TEST_F(MidiChildTest, ASecondOpenReplacesTheBinding) {
    {
        std::lock_guard lock(doubles_.in().lock);
        doubles_.in().knobs.openTwice = true;
    }
    void* device = plug(1, 0);
    unsigned opens = 0;
    for (const auto& call : doubles_.in().take_calls()) opens += call.what == "open" && call.status == 0;
    EXPECT_EQ(opens, 2u);
    ULONG word = 0x020005C0;
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 0, &word), STATUS_SUCCESS);
    EXPECT_EQ(doubles_.in().received(0), (std::vector<uint8_t>{0xC0, 0x05}));
}

// Closing a port while the USB driver delivers to it at DISPATCH_LEVEL on another thread: once
// the close returned, no byte reaches the child (run under ThreadSanitizer).
TEST_F(MidiChildTest, CloseRacingDeliveryLeavesNothingBehind) {
    void* device = plug(1, 0);
    MidiDoubleDevice& in = running(doubles_.in());
    std::atomic<bool> stop{false};
    std::atomic<unsigned> sent{0};
    std::thread usb([&] {
        while (!stop.load()) {
            ULONG word = 0x01000090;
            (void)midi_data(device, kMidiDirectionIn, 0, &word);
            sent.fetch_add(1);
        }
    });
    while (sent.load() < 50) std::this_thread::yield();
    EXPECT_EQ(in.ports[0].closePort(in.ports[0].midiDevice, 0), STATUS_SUCCESS);
    size_t atClose = doubles_.in().received(0).size();
    unsigned sentAtClose = sent.load();
    while (sent.load() < sentAtClose + 50) std::this_thread::yield();
    stop = true;
    usb.join();
    EXPECT_EQ(doubles_.in().received(0).size(), atClose);
    EXPECT_GE(atClose, 1u);
}

// A child that never closes its ports: the device's removal closes them (the child is told
// through its close function), and once the children are gone and the drivers unloaded nothing
// calls into them.
TEST_F(MidiChildTest, RemovalClosesThePortsOfAChildThatNeverDoes) {
    for (auto* state : {&doubles_.in(), &doubles_.out()}) {
        std::lock_guard lock(state->lock);
        state->knobs.neverClose = true;
    }
    void* device = plug(1, 1);
    doubles_.in().take_calls();
    root_.unplug(device);
    platform::wait_for_pnp_idle();
    auto calls = doubles_.in().take_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().what, "close");
    EXPECT_EQ(calls.front().irql, PASSIVE_LEVEL);
    EXPECT_TRUE(root_.children().empty());
    for (auto* state : {&doubles_.in(), &doubles_.out()}) {
        std::lock_guard lock(state->lock);
        EXPECT_FALSE(state->loaded);
        EXPECT_EQ(state->loads, state->unloads);
        EXPECT_EQ(state->callsWhileUnloaded, 0u);
    }
}

// A device reporting more than sixteen ports of a direction is held to sixteen port records.
TEST_F(MidiChildTest, ThePortCountIsClampedToSixteen) {
    plug(20, 0);
    MidiDoubleDevice& in = running(doubles_.in());
    ASSERT_EQ(in.ports.size(), kMidiMaxPorts);
    EXPECT_EQ(in.ports[15].name, u"QUV VEXA USB Platform MIDI In 16");
    for (const auto& port : in.ports) EXPECT_TRUE(port.open) << port.index;
}

// The port index of an open comes from the child: one without a record is refused and nothing
// is written into the request.
TEST_F(MidiChildTest, AnOpenOfAPortWithoutARecordIsRefused) {
    plug(1, 0);
    platform::DevNode* midi = FindChild(root_.children(), kMidiIn, u"1");
    ASSERT_NE(midi, nullptr);
    for (uint32_t index : {1u, 16u, 0xFFFFFFFFu}) {
        MidiOpenPort record{};
        record.port = index;
        EXPECT_EQ(SendToChild(midi, kIoctlMidiOpenPort, false, &record, sizeof(record)), STATUS_INVALID_PARAMETER);
        uint64_t kick = record.kick;  // packed fields are read by value
        uint64_t midiDevice = record.midiDevice;
        EXPECT_EQ(kick, 0u);
        EXPECT_EQ(midiDevice, 0u);
    }
}

// The port record is read from the input: an open whose input is shorter than the record is
// refused with STATUS_BUFFER_TOO_SMALL, whatever room its output has, before anything is read or
// written. The port stays bound to the functions its child gave.
TEST_F(MidiChildTest, AnOpenWhoseInputIsShortIsRefused) {
    void* device = plug(1, 0);
    platform::DevNode* midi = FindChild(root_.children(), kMidiIn, u"1");
    ASSERT_NE(midi, nullptr);
    for (ULONG inputBytes : {0u, 52u, 67u}) {
        MidiOpenPort record{};  // port 0, no functions: what a short input leaves past its end
        EXPECT_EQ(SendToChild(midi, kIoctlMidiOpenPort, false, &record, inputBytes, sizeof(record)),
                  STATUS_BUFFER_TOO_SMALL)
            << inputBytes;
        uint64_t kick = record.kick;  // packed fields are read by value
        uint64_t midiDevice = record.midiDevice;
        EXPECT_EQ(kick, 0u);
        EXPECT_EQ(midiDevice, 0u);
    }
    ULONG word = 0x01000090;
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 0, &word), STATUS_SUCCESS);
    EXPECT_EQ(doubles_.in().received(0), std::vector<uint8_t>{0x90}) << "still bound to its child";
}

// After a second arrival two MIDI objects of each direction serve the current device, each for
// its own child. Input reaches both children. A pull keeps to the child whose bytes it took last
// until that child has none left, so two children's messages on one cable are not interleaved.
// One child disabling its ports leaves the device's switch on while the other's are enabled.
TEST_F(MidiChildTest, TwoChildrenOfOneDeviceEachKeepTheirPorts) {
    void* device = plug(1, 1);
    plug(1, 1);  // its children serve the first device
    ULONG word = 0x02004090;
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 0, &word), STATUS_SUCCESS);
    EXPECT_EQ(doubles_.in().received_by(0, 0), (std::vector<uint8_t>{0x90, 0x40}));
    EXPECT_EQ(doubles_.in().received_by(1, 0), (std::vector<uint8_t>{0x90, 0x40}));

    auto queue = [&](size_t child, std::vector<uint8_t> bytes) {
        std::lock_guard lock(doubles_.out().lock);
        auto& pending = doubles_.out().devices.at(child)->ports.at(0).pending;
        pending.insert(pending.end(), bytes.begin(), bytes.end());
    };
    std::vector<uint8_t> played;
    auto pull = [&] {
        ULONG out = 0;
        NTSTATUS status = midi_data(device, kMidiDirectionOut, 0, &out);
        if (status == STATUS_SUCCESS) played.push_back(static_cast<uint8_t>(out & 0xFF));
        return status;
    };
    queue(0, {0x90, 0x3C, 0x40});
    EXPECT_EQ(pull(), STATUS_SUCCESS);
    queue(1, {0x80, 0x3C, 0x00});  // arrives while the first child's message is under way
    while (pull() == STATUS_SUCCESS && played.size() < 8) {
    }
    EXPECT_EQ(played, (std::vector<uint8_t>{0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00}));

    MidiDoubleDevice* children[2];
    {
        std::lock_guard lock(doubles_.in().lock);
        children[0] = doubles_.in().devices.at(0).get();
        children[1] = doubles_.in().devices.at(1).get();
    }
    unsigned before = commands();
    MidiDoublePort& second = children[1]->ports[0];
    EXPECT_EQ(second.enable(nullptr, second.midiDevice, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(commands(), before) << "the first child's port is still enabled";
    EXPECT_EQ(midi_data(device, kMidiDirectionIn, 0, &word), STATUS_SUCCESS);
    EXPECT_EQ(doubles_.in().received_by(0, 0).size(), 4u) << "the first child still hears its port";
    MidiDoublePort& first = children[0]->ports[0];
    EXPECT_EQ(first.enable(nullptr, first.midiDevice, 0, 0), STATUS_SUCCESS);
    uint16_t command = 0;
    EXPECT_EQ(last_command(&command), 0x00000000u) << "the last port of the direction switches it off";
    EXPECT_EQ(command, kUsbCmdMidiEnable);
    EXPECT_EQ(second.enable(nullptr, second.midiDevice, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(last_command(), 0x80000000u) << "and the first again on";
}

// Whichever allocation fails on the way, no MIDI child is left with a port that has no record:
// every port its driver is told of opens (a null slot would be dereferenced on the first open).
TEST_F(MidiChildTest, AllocationFailuresNeverLeaveAPortWithoutARecord) {
    for (unsigned skip = 0; skip < 24; ++skip) {
        doubles_.in().reset();
        platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, skip, 1);
        void* device = plug(3, 0);
        platform::fault::clear();
        {
            std::lock_guard lock(doubles_.in().lock);
            for (const auto& d : doubles_.in().devices) {
                for (const auto& port : d->ports) EXPECT_TRUE(port.open) << "skip " << skip << " port " << port.index;
                if (d->infoStatus == STATUS_SUCCESS) {
                    EXPECT_EQ(d->ports.size(), 3u) << "skip " << skip;
                }
            }
        }
        if (device != nullptr) root_.unplug(device);
        platform::wait_for_pnp_idle();
        EXPECT_TRUE(root_.children().empty()) << "skip " << skip;
    }
}

// The root device goes while a child that never closes its ports still has them bound: the
// child's clean-up unbinds them before its driver unloads, so the device's removal that follows
// calls nothing in the unloaded driver.
TEST_F(MidiChildTest, TheRootsRemovalCallsNoUnloadedChild) {
    for (auto* state : {&doubles_.in(), &doubles_.out()}) {
        std::lock_guard lock(state->lock);
        state->knobs.neverClose = true;
    }
    plug(1, 1);
    root_.restart_root();
    for (auto* state : {&doubles_.in(), &doubles_.out()}) {
        std::lock_guard lock(state->lock);
        EXPECT_EQ(state->loads, state->unloads);
        EXPECT_EQ(state->callsWhileUnloaded, 0u);
        ASSERT_FALSE(state->calls.empty());
        EXPECT_EQ(state->calls.back().what, "unload");
    }
}

// A child whose PDO fails half way (its queue) is logged once as 0xC0060001 with the status,
// is not created, and its clean-up gives back what it had taken; the other children come.
TEST_F(MidiChildTest, AChildWhoseCreationFailsIsLoggedAndLeavesNothing) {
    platform::fault::inject("WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    void* device = plug(1, 0);
    platform::fault::clear();
    auto children = root_.children();
    EXPECT_EQ(children.size(), 1u);
    EXPECT_EQ(FindChild(children, kAdapter, u"1"), nullptr) << "the first child built is the one that failed";
    EXPECT_NE(FindChild(children, kMidiIn, u"1"), nullptr);
    std::vector<uint32_t> finals;
    for (const auto& e : root_.machine().event_log().entries()) {
        if (e.errorCode == MSG_CREATE_CHILD_FAILED) finals.push_back(static_cast<uint32_t>(e.finalStatus));
    }
    EXPECT_EQ(finals, std::vector<uint32_t>{static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES)});
    root_.unplug(device);
    platform::wait_for_pnp_idle();
    EXPECT_TRUE(root_.children().empty());
}

}  // namespace
