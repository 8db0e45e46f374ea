#include <gtest/gtest.h>

#include "support/stream_fixture.h"

namespace {

namespace dev = platform::device;
using Packet = std::array<uint8_t, 4>;
using Packets = std::vector<Packet>;
using platform::Milliseconds;

class MidiTest : public vexa::test::StreamTest {
protected:
    ULONG enable(ULONG value) { return driver(kUsbCmdMidiEnable, &value, sizeof(value)); }
    ULONG kick(ULONG port) { return driver(kUsbCmdMidiOutKick, &port, sizeof(port)); }
    void run(unsigned ms = 2) { machine_.clock().run_for(Milliseconds(ms)); }
};

// Incoming event packets become length-tagged words, each with its cable; with input off nothing is delivered.
TEST_F(MidiTest, IncomingPacketsBecomeWords) {
    plug_vexa();
    ASSERT_EQ(enable(0x80000005), kUsbResultOk);  // bit 31 on, bit 30 off: every input port
    device_->queue_midi_in({0x09, 0x90, 0x3C, 0x64, 0x2F, 0xFE, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33});
    run();
    EXPECT_EQ(root_.midi_in(), (std::vector<std::pair<UCHAR, ULONG>>{{0, 0x03643C90}, {2, 0x010000FE}, {0, 0x00000000}}));

    ASSERT_EQ(enable(0x00000000), kUsbResultOk);
    device_->queue_midi_in(std::vector<uint8_t>(64, 0x09));
    run();
    EXPECT_EQ(root_.midi_in().size(), 3u);
}

// Running status, real-time bytes in the middle of a message, and system exclusive, as event packets.
TEST_F(MidiTest, OutgoingBytesBecomeEvents) {
    dev::VexaVariant variant;
    variant.twoMidiOutPorts = true;
    plug_vexa(dev::VexaModel::CantileQe, variant);
    ASSERT_EQ(node_->state, platform::NodeState::Started);
    root_.queue_midi_out(0, {0x90, 0x3C, 0x64, 0x3E, 0x00});
    ASSERT_EQ(kick(0), kUsbResultOk);
    run();
    EXPECT_EQ(device_->midi_out(dev::kMidiOutEndpoint),
              (Packets{{0x09, 0x90, 0x3C, 0x64}, {0x09, 0x90, 0x3E, 0x00}}));

    root_.queue_midi_out(1, {0xF0, 0x01, 0x02, 0x03, 0xF7, 0x90, 0x3C, 0xF8, 0x64, 0xF4, 0x45, 0x10});
    ASSERT_EQ(kick(1), kUsbResultOk);
    run();
    Packets out = device_->midi_out(dev::kMidiOutEndpoint);
    EXPECT_EQ(Packets(out.begin() + 2, out.end()),
              (Packets{{0x14, 0xF0, 0x01, 0x02}, {0x16, 0x03, 0xF7, 0x00}, {0x1F, 0xF8, 0x00, 0x00},
                       {0x19, 0x90, 0x3C, 0x64}, {0x19, 0x90, 0x45, 0x10}}));
}

// The encoder's whole output table, one case per cable (each cable starts
// with a fresh state): guards against any input whose events change, even by
// one byte, when the encoder is reworked.
TEST_F(MidiTest, EncoderOutputForEveryKindOfByte) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        Packets events;  // header as on cable 0
    };
    const Case cases[] = {
        {"two-byte channel messages keep their running status",
         {0xC0, 0x05, 0x06, 0xD0, 0x40, 0x41},
         {{0x0C, 0xC0, 0x05, 0x00}, {0x0C, 0xC0, 0x06, 0x00}, {0x0D, 0xD0, 0x40, 0x00}, {0x0D, 0xD0, 0x41, 0x00}}},
        {"three-byte channel messages keep their running status",
         {0x80, 0x3C, 0x00, 0x3D, 0x00, 0xA0, 0x3C, 0x10, 0xB0, 0x07, 0x64, 0xE0, 0x00, 0x40},
         {{0x08, 0x80, 0x3C, 0x00}, {0x08, 0x80, 0x3D, 0x00}, {0x0A, 0xA0, 0x3C, 0x10}, {0x0B, 0xB0, 0x07, 0x64},
          {0x0E, 0xE0, 0x00, 0x40}}},
        {"system exclusive ends with one, two or three bytes in its last event",
         {0xF0, 0xF7, 0xF0, 0x01, 0xF7, 0xF0, 0x01, 0x02, 0xF7, 0xF0, 0x01, 0x02, 0x03, 0xF7},
         {{0x06, 0xF0, 0xF7, 0x00},
          {0x07, 0xF0, 0x01, 0xF7},
          {0x04, 0xF0, 0x01, 0x02},
          {0x05, 0xF7, 0x00, 0x00},
          {0x04, 0xF0, 0x01, 0x02},
          {0x06, 0x03, 0xF7, 0x00}}},
        {"system exclusive continues three bytes an event",
         {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF7, 0xF0, 0x01, 0x02, 0x03, 0x04, 0xF7},
         {{0x04, 0xF0, 0x01, 0x02},
          {0x04, 0x03, 0x04, 0x05},
          {0x07, 0x06, 0x07, 0xF7},
          {0x04, 0xF0, 0x01, 0x02},
          {0x07, 0x03, 0x04, 0xF7}}},
        {"system common messages of one, two and three bytes",
         {0xF1, 0x20, 0xF3, 0x05, 0xF2, 0x10, 0x20, 0xF6},
         {{0x02, 0xF1, 0x20, 0x00}, {0x02, 0xF3, 0x05, 0x00}, {0x03, 0xF2, 0x10, 0x20}, {0x05, 0xF6, 0x00, 0x00}}},
        {"further data after a system common message repeats its status",
         {0xF1, 0x20, 0x30, 0xF2, 0x01, 0x02, 0x03, 0x04},
         {{0x02, 0xF1, 0x20, 0x00}, {0x02, 0xF1, 0x30, 0x00}, {0x03, 0xF2, 0x01, 0x02}, {0x03, 0xF2, 0x03, 0x04}}},
        {"every real-time byte is an event of its own",
         {0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF},
         {{0x0F, 0xF8, 0x00, 0x00}, {0x0F, 0xF9, 0x00, 0x00}, {0x0F, 0xFA, 0x00, 0x00}, {0x0F, 0xFB, 0x00, 0x00},
          {0x0F, 0xFC, 0x00, 0x00}, {0x0F, 0xFD, 0x00, 0x00}, {0x0F, 0xFE, 0x00, 0x00}, {0x0F, 0xFF, 0x00, 0x00}}},
        {"real-time bytes inside a message or a system exclusive leave it whole",
         {0x90, 0x3C, 0xF8, 0x64, 0x3E, 0xFA, 0x00, 0xF0, 0x01, 0xFE, 0x02, 0xF7},
         {{0x0F, 0xF8, 0x00, 0x00},
          {0x09, 0x90, 0x3C, 0x64},
          {0x0F, 0xFA, 0x00, 0x00},
          {0x09, 0x90, 0x3E, 0x00},
          {0x0F, 0xFE, 0x00, 0x00},
          {0x04, 0xF0, 0x01, 0x02},
          {0x05, 0xF7, 0x00, 0x00}}},
        {"undefined statuses F4 and F5 are dropped without ending the running status",
         {0x90, 0x3C, 0xF4, 0x64, 0xF5, 0x3E, 0x00},
         {{0x09, 0x90, 0x3C, 0x64}, {0x09, 0x90, 0x3E, 0x00}}},
        {"data bytes without a status are dropped",
         {0x3C, 0x64, 0x40, 0x90, 0x3C, 0x64},
         {{0x09, 0x90, 0x3C, 0x64}}},
        {"an end of exclusive outside one is dropped and ends the running status",
         {0x90, 0x3C, 0x64, 0xF7, 0x3E, 0x00, 0xC0, 0x05},
         {{0x09, 0x90, 0x3C, 0x64}, {0x0C, 0xC0, 0x05, 0x00}}},
        {"a tune request ends the running status",
         {0x90, 0x3C, 0x64, 0xF6, 0x3E, 0x00},
         {{0x09, 0x90, 0x3C, 0x64}, {0x05, 0xF6, 0x00, 0x00}}},
        {"a status drops an unfinished message or system exclusive",
         {0x90, 0x3C, 0x80, 0x3C, 0x00, 0xF0, 0x01, 0x02, 0x03, 0xC0, 0x05, 0xF7},
         {{0x08, 0x80, 0x3C, 0x00}, {0x04, 0xF0, 0x01, 0x02}, {0x0C, 0xC0, 0x05, 0x00}}},
        {"data after the end of a system exclusive is dropped",
         {0xF0, 0x01, 0xF7, 0x02, 0x03},
         {{0x07, 0xF0, 0x01, 0xF7}}},
    };
    static_assert(std::size(cases) < 16, "one cable a case, and one left for the split message below");
    dev::VexaVariant variant;
    variant.midiOutCables = 16;
    plug_vexa(dev::VexaModel::CantileQe, variant);
    ASSERT_EQ(node_->state, platform::NodeState::Started);
    size_t seen = 0;
    // Sends `bytes` on `cable` and returns the events that came of them, their headers as on cable 0.
    auto send = [&](UCHAR cable, const std::vector<uint8_t>& bytes) {
        root_.queue_midi_out(cable, bytes);
        EXPECT_EQ(kick(cable), kUsbResultOk);
        run(4);
        Packets out = device_->midi_out(dev::kMidiOutEndpoint);
        Packets fresh(out.begin() + static_cast<std::ptrdiff_t>(seen), out.end());
        seen = out.size();
        for (Packet& p : fresh) {
            EXPECT_EQ(p[0] >> 4, cable);
            p[0] &= 0x0F;
        }
        return fresh;
    };
    UCHAR cable = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(send(cable, c.bytes), c.events) << c.what;
        ++cable;
    }
    // A message cut between two kicks is finished by the second: the cable keeps its state.
    EXPECT_TRUE(send(cable, {0x90, 0x3C}).empty());
    EXPECT_EQ(send(cable, {0x64, 0xF0, 0x01}), (Packets{{0x09, 0x90, 0x3C, 0x64}}));
    EXPECT_EQ(send(cable, {0x02, 0x03, 0xF7}), (Packets{{0x04, 0xF0, 0x01, 0x02}, {0x06, 0x03, 0xF7, 0x00}}));
}

// Ports number the OUT objects' cables one after another: port 3 is cable 1 of the second
// object, and the bytes for it are pulled as port 3 too (not as the object's cable 1, which
// would take port 1's bytes).
TEST_F(MidiTest, KickMapsPortsAcrossOutputObjects) {
    dev::VexaVariant variant;
    variant.twoMidiOutPorts = true;
    plug_vexa(dev::VexaModel::CantileQe, variant);
    root_.queue_midi_out(1, {0x90, 0x01, 0x02});
    root_.queue_midi_out(3, {0xC0, 0x05});
    ASSERT_EQ(kick(3), kUsbResultOk);
    run();
    EXPECT_TRUE(device_->midi_out(dev::kMidiOutEndpoint).empty());
    EXPECT_EQ(device_->midi_out(dev::kSecondMidiOutEndpoint), (Packets{{0x1C, 0xC0, 0x05, 0x00}}));
    ASSERT_EQ(kick(4 + 16), kUsbResultOk);  // port 4 does not exist (and 20 is port 4): nothing happens
    run();
    EXPECT_EQ(device_->midi_out(dev::kSecondMidiOutEndpoint).size(), 1u);
}

// The interface's MIDI loopback brings what a port sent back as input of the same port number:
// pull, kick and input agree on port 3 (cable 1 of the second OUT endpoint).
TEST_F(MidiTest, LoopbackReturnsAPortsBytesOnTheSamePort) {
    dev::VexaVariant variant;
    variant.twoMidiOutPorts = true;
    plug_vexa(dev::VexaModel::CantileQe, variant);
    ASSERT_EQ(enable(0x80000000), kUsbResultOk);
    root_.queue_midi_out(3, {0x90, 0x3C, 0x64});
    root_.queue_midi_out(0, {0xC0, 0x05});
    ASSERT_EQ(kick(3), kUsbResultOk);
    ASSERT_EQ(kick(0), kUsbResultOk);
    run(4);
    EXPECT_EQ(root_.midi_in(), (std::vector<std::pair<UCHAR, ULONG>>{{3, 0x03643C90}, {0, 0x020005C0}}));
    device_->set_midi_loopback(false);
    root_.queue_midi_out(0, {0xC0, 0x06});
    ASSERT_EQ(kick(0), kUsbResultOk);
    run(4);
    EXPECT_EQ(root_.midi_in().size(), 2u);
}

// A cable with nothing pending does not keep the cables after it waiting.
TEST_F(MidiTest, DrainedCableDoesNotStarveTheNext) {
    dev::VexaVariant variant;
    variant.twoMidiOutPorts = true;
    plug_vexa(dev::VexaModel::CantileQe, variant);
    root_.queue_midi_out(1, {0x90, 0x40, 0x7F});
    ASSERT_EQ(kick(1), kUsbResultOk);  // a write is now in flight
    root_.queue_midi_out(1, {0x80, 0x40, 0x00});
    ASSERT_EQ(kick(1), kUsbResultOk);  // pending behind the write
    ASSERT_EQ(kick(0), kUsbResultOk);  // cable 0 pending with nothing to send
    ULONG busy = 0;
    ASSERT_EQ(driver(kUsbCmdQueryBusy, &busy, sizeof(busy)), kUsbResultOk);
    EXPECT_EQ(busy, 1u);  // a MIDI write outstanding is busy
    run(3);
    EXPECT_EQ(device_->midi_out(dev::kMidiOutEndpoint),
              (Packets{{0x19, 0x90, 0x40, 0x7F}, {0x18, 0x80, 0x40, 0x00}}));
    ASSERT_EQ(driver(kUsbCmdQueryBusy, &busy, sizeof(busy)), kUsbResultOk);
    EXPECT_EQ(busy, 0u);
}

// An enabled input alone is not busy; power-down with input open stops without hanging and input resumes after.
TEST_F(MidiTest, InputSurvivesPowerDown) {
    plug_vexa();
    ASSERT_EQ(enable(0x80000000), kUsbResultOk);
    ULONG busy = 1;
    ASSERT_EQ(driver(kUsbCmdQueryBusy, &busy, sizeof(busy)), kUsbResultOk);
    EXPECT_EQ(busy, 0u);
    ASSERT_EQ(machine_.pnp().suspend(*node_, PowerDeviceD3), STATUS_SUCCESS);
    device_->queue_midi_in({0x09, 0x90, 0x3C, 0x64});
    run();
    EXPECT_TRUE(root_.midi_in().empty());  // the reader is stopped while powered down
    ASSERT_EQ(machine_.pnp().resume(*node_), STATUS_SUCCESS);
    run();
    EXPECT_EQ(root_.midi_in().size(), 1u);
}

// An endpoint claiming more than sixteen cables is held to sixteen.
TEST_F(MidiTest, CableCountIsClampedToSixteen) {
    dev::VexaVariant variant;
    variant.midiOutCables = 20;
    plug_vexa(dev::VexaModel::CantileQe, variant);
    ASSERT_EQ(node_->state, platform::NodeState::Started);
    root_.queue_midi_out(15, {0xF8});
    ASSERT_EQ(kick(15), kUsbResultOk);
    run();
    EXPECT_EQ(device_->midi_out(dev::kMidiOutEndpoint), (Packets{{0xFF, 0xF8, 0x00, 0x00}}));
}

}  // namespace
