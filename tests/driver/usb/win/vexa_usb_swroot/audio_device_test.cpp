// The audio device model, linked into this program and fed by a scripted
// transport: the reads and their caches, the limits of the tables, names cut
// to size, the rate bands and the device id.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "platform/machine/machine.h"
#include "source/driver/usb/win/vexa_usb_swroot/device/audio_device.h"

namespace {

using Reply = std::pair<ULONG, std::vector<uint8_t>>;  // result, data
using Handler = std::function<Reply(const std::vector<uint8_t>& in)>;

uint32_t Key(USHORT category, USHORT command) { return uint32_t{category} << 16 | command; }

template <typename T>
std::vector<uint8_t> Bytes(const std::vector<T>& values) {
    std::vector<uint8_t> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// A device whose transport answers from handlers; a reply longer than the
// capacity is reported at its full length, as a transport that over-claims would.
class ScriptedDevice : public AudioDevice {
public:
    ScriptedDevice() {
        on(0, 2, [](auto&) {
            std::vector<uint8_t> info(88, 0);
            uint32_t product = 0x802A, serial = 1;
            std::memcpy(info.data() + 52, &product, 4);
            std::memcpy(info.data() + 72, &serial, 4);
            return Reply{0, info};
        });
        on(6, 4, [](auto&) { return Reply{0, Bytes<uint32_t>({3})}; });
        on(6, 2, [](auto&) { return Reply{0, {0x80, 0xBB, 0, 0, 0x28, 0, 0, 0}}; });
        on(6, 0, [](auto&) { return Reply{0, Bytes<uint16_t>({0x28, 0x100, 0x29, 0x101})}; });
        on(6, 1, [](auto&) { return Reply{0, Bytes<uint32_t>({44100, 48000, 96000})}; });
        on(5, 0, [](const std::vector<uint8_t>& in) {
            uint16_t id;
            std::memcpy(&id, in.data(), 2);
            std::string name = "Name " + std::to_string(id);
            return Reply{0, std::vector<uint8_t>(name.begin(), name.end())};
        });
        on(7, 0, [](auto&) { return Reply{0, std::vector<uint8_t>(40, 1)}; });
        on(7, 1, [](const std::vector<uint8_t>& in) {
            std::vector<uint8_t> info(24, 0);
            uint16_t counts[2] = {static_cast<uint16_t>(8 >> in[0]), static_cast<uint16_t>(6 >> in[0])};
            std::memcpy(info.data(), counts, 4);
            return Reply{0, info};
        });
        for (USHORT command : {USHORT{2}, USHORT{3}}) {
            on(7, command, [command](const std::vector<uint8_t>& in) {
                std::vector<uint8_t> record(16, 0);
                uint16_t nameId = static_cast<uint16_t>(command * 0x100 + in[0] * 0x40 + in[2]);
                std::memcpy(record.data() + 2, &nameId, 2);
                return Reply{0, record};
            });
        }
        on(8, 0, [](auto&) { return Reply{0, Bytes<uint16_t>({2, 1})}; });
        for (USHORT command : {USHORT{1}, USHORT{2}}) {
            on(8, command, [command](auto&) {
                std::vector<uint8_t> table(192, 0);
                for (uint16_t p = 0; p < 16; ++p) {
                    uint16_t id = static_cast<uint16_t>(0x400 * command + p);
                    std::memcpy(table.data() + p * 12 + 2, &id, 2);
                }
                return Reply{0, table};
            });
        }
        on(6, 3, [](auto&) { return Reply{0, {}}; });
    }

    void on(USHORT category, USHORT command, Handler handler) { handlers_[Key(category, command)] = std::move(handler); }
    void fail(USHORT category, USHORT command, ULONG result) {
        on(category, command, [result](auto&) { return Reply{result, {}}; });
    }

    bool StartDeviceStreaming() override { return true; }
    bool StopDeviceStreaming() override { return true; }
    bool IsStreaming() override { return false; }
    ULONG GetDeviceKind() override { return 0x400; }
    ULONG SendCommand(USHORT category, USHORT command, const void* in, ULONG64 inLength, void* out,
                      ULONG64* outLength) override {
        sent.push_back(Key(category, command));
        auto handler = handlers_.find(Key(category, command));
        if (handler == handlers_.end()) return 1;
        auto* bytes = static_cast<const uint8_t*>(in);
        Reply reply = handler->second(std::vector<uint8_t>(bytes, bytes + inLength));
        if (reply.first != 0) return reply.first;
        if (outLength != nullptr) {
            std::memcpy(out, reply.second.data(), std::min<size_t>(reply.second.size(), *outLength));
            *outLength = reply.second.size();
        }
        return 0;
    }

    using AudioDevice::ReadChannels;
    using AudioDevice::ReadClock;
    using AudioDevice::ReadMidiPorts;
    using AudioDevice::ReadSampleRates;
    std::vector<uint32_t> sent;

private:
    std::map<uint32_t, Handler> handlers_;
};

class AudioDeviceTest : public ::testing::Test {
protected:
    platform::Machine machine_;
    ScriptedDevice device_;
};

// A whole configuration read fills every cache; the getters read them by rate band.
TEST_F(AudioDeviceTest, ConfigurationFillsTheCaches) {
    ASSERT_TRUE(device_.Initialize());
    EXPECT_EQ(device_.GetSampleRate(), 48000u);
    EXPECT_EQ(device_.GetClockSource(), 0x28u);
    EXPECT_EQ(device_.GetClockStatusBit0(), 1);
    EXPECT_EQ(device_.TakeClockStatusBit1(), 1);
    EXPECT_EQ(device_.TakeClockStatusBit1(), 0) << "cleared when taken";
    EXPECT_EQ(device_.GetSampleRateCount(), 3u) << "12 bytes of rates";
    ULONG rate = 0;
    EXPECT_TRUE(device_.GetSampleRateAt(2, &rate));
    EXPECT_EQ(rate, 96000u);
    EXPECT_FALSE(device_.GetSampleRateAt(3, &rate));
    char name[32];
    EXPECT_TRUE(device_.GetClockSourceName(0x29, name, sizeof(name)));
    EXPECT_STREQ(name, "Name 257");
    EXPECT_FALSE(device_.GetClockSourceName(0x30, name, sizeof(name)));
    EXPECT_EQ(device_.GetOutputChannelCount(49999), 8u);
    EXPECT_EQ(device_.GetOutputChannelCount(50000), 4u);
    EXPECT_EQ(device_.GetOutputChannelCount(99999), 4u);
    EXPECT_EQ(device_.GetOutputChannelCount(100000), 2u);
    EXPECT_EQ(device_.GetInputChannelCount(192000), 1u);
    EXPECT_TRUE(device_.GetInputChannelName(96000, 2, name, sizeof(name)));
    EXPECT_STREQ(name, "Name 834") << "band 1, channel 2: 3 * 0x100 + 0x40 + 2";
    EXPECT_TRUE(device_.GetOutputChannelName(48000, 20, name, sizeof(name)));
    EXPECT_STREQ(name, "") << "beyond the count: an empty record";
    EXPECT_FALSE(device_.GetOutputChannelName(48000, 64, name, sizeof(name)));
    EXPECT_EQ(device_.GetMidiInPortCount(), 2);
    EXPECT_TRUE(device_.GetMidiOutPortName(0, name, sizeof(name)));
    EXPECT_STREQ(name, "Name 2048");
    EXPECT_EQ(device_.GetDeviceId64(), 0x240A800001ull);
}

// Counts the firmware reports beyond the tables are cut to what the tables hold.
TEST_F(AudioDeviceTest, CountsAreClampedToTheTables) {
    std::vector<uint32_t> rates(20, 48000);
    device_.on(6, 1, [&](auto&) { return Reply{0, Bytes(rates)}; });
    device_.on(6, 0, [](auto&) { return Reply{0, std::vector<uint8_t>(4 * 20, 0)}; });
    device_.on(8, 0, [](auto&) { return Reply{0, Bytes<uint16_t>({40, 17})}; });
    device_.on(7, 1, [](auto&) {
        std::vector<uint8_t> info(24, 0);
        uint16_t counts[2] = {70, 0};
        std::memcpy(info.data(), counts, 4);
        return Reply{0, info};
    });
    ASSERT_TRUE(device_.Initialize());
    EXPECT_EQ(device_.GetSampleRateCount(), 16u);
    EXPECT_EQ(device_.GetClockSourceCount(), 16u);
    EXPECT_EQ(device_.GetMidiInPortCount(), 16);
    EXPECT_EQ(device_.GetMidiOutPortCount(), 16);
    size_t outputReads = std::count(device_.sent.begin(), device_.sent.end(), Key(7, 2));
    EXPECT_EQ(outputReads, 3u * 64) << "64 channels a band are read, no more";
}

// Names reach callers as at most 31 characters and a NUL, whatever the firmware sends.
TEST_F(AudioDeviceTest, LongNamesAreCut) {
    device_.on(5, 0, [](auto&) { return Reply{0, std::vector<uint8_t>(40, 'x')}; });
    ASSERT_TRUE(device_.Initialize());
    char name[64];
    std::memset(name, '?', sizeof(name));
    ASSERT_TRUE(device_.GetClockSourceAt(0, nullptr, name, sizeof(name)));
    EXPECT_EQ(std::string(name), std::string(31, 'x'));
    char tiny[4];
    ASSERT_TRUE(device_.GetMidiInPortName(0, tiny, sizeof(tiny)));
    EXPECT_EQ(std::string(tiny), "xxx");
    EXPECT_FALSE(device_.GetMidiInPortName(0, tiny, 0));
}

// The rate read is the one that counts; a failed status read keeps the old flags.
TEST_F(AudioDeviceTest, ClockReadRules) {
    ASSERT_TRUE(device_.ReadClock());
    device_.fail(6, 4, 1);
    EXPECT_TRUE(device_.ReadClock());
    EXPECT_EQ(device_.GetClockStatusBit0(), 1);
    device_.fail(6, 2, 1);
    EXPECT_FALSE(device_.ReadClock());
    EXPECT_EQ(device_.GetSampleRate(), 0u);
    device_.sent.clear();
    EXPECT_FALSE(device_.Initialize());
    EXPECT_EQ(device_.sent.back(), Key(6, 2)) << "the configuration read stops at the first failure";
}

// A device that stops answering (result 11) ends the channel walk at once; other failures skip one channel.
TEST_F(AudioDeviceTest, ChannelWalkOnFailures) {
    int calls = 0;
    device_.on(7, 2, [&](auto&) { return Reply{++calls == 2 ? 1u : 11u, {}}; });
    device_.sent.clear();
    EXPECT_FALSE(device_.ReadChannels());
    EXPECT_EQ(std::count(device_.sent.begin(), device_.sent.end(), Key(7, 2)), 1);

    calls = 1;  // the first answers 1 (skipped), the rest succeed
    device_.on(7, 2, [&](auto&) { return Reply{calls++ == 1 ? 1u : 0u, std::vector<uint8_t>(16, 0)}; });
    EXPECT_TRUE(device_.ReadChannels());
    char name[32];
    EXPECT_TRUE(device_.GetOutputChannelName(48000, 0, name, sizeof(name)));
    EXPECT_STREQ(name, "") << "the failed channel stays empty";
}

// A refresh reads the groups its bits name, in order, and stops at a group that fails.
TEST_F(AudioDeviceTest, RefreshReadsNamedGroups) {
    ASSERT_TRUE(device_.Initialize());
    device_.sent.clear();
    device_.Refresh(0x20);
    EXPECT_EQ(device_.sent.front(), Key(8, 0));
    device_.fail(6, 2, 1);
    device_.sent.clear();
    device_.Refresh(0x4 | 0x10);
    EXPECT_EQ(device_.sent, (std::vector<uint32_t>{Key(6, 4), Key(6, 2)}));
}

// SetClock sends nothing for the cached pair and keeps the pair when the device refuses;
// the request is the rate, the 16-bit clock id and a zero word, 8 bytes in all.
TEST_F(AudioDeviceTest, SetClockCachesThePair) {
    ASSERT_TRUE(device_.Initialize());
    device_.sent.clear();
    EXPECT_TRUE(device_.SetClock(48000, 0x28));
    EXPECT_TRUE(device_.sent.empty());
    std::vector<uint8_t> request;
    device_.on(6, 3, [&request](const std::vector<uint8_t>& in) {
        request = in;
        return Reply{0, {}};
    });
    EXPECT_TRUE(device_.SetClock(96000, ClockId(0xABCD0029)));
    EXPECT_EQ(request, (std::vector<uint8_t>{0x00, 0x77, 0x01, 0x00, 0x29, 0x00, 0x00, 0x00}));
    EXPECT_EQ(device_.GetSampleRate(), 96000u);
    device_.fail(6, 3, 1);
    EXPECT_FALSE(device_.SetClock(44100, 0x28));
    EXPECT_EQ(device_.GetSampleRate(), 96000u);
    EXPECT_EQ(device_.GetClockSource(), 0x29u);
}

// Overlapping id fields are ORed; bits above 63 are dropped.
TEST_F(AudioDeviceTest, DeviceIdOfOverlappingFields) {
    device_.on(0, 2, [](auto&) {
        std::vector<uint8_t> info(88, 0);
        uint32_t identity = 0xFFFFFFFF, product = 0x0001, serial = 0x80000000;
        std::memcpy(info.data() + 48, &identity, 4);
        std::memcpy(info.data() + 52, &product, 4);
        std::memcpy(info.data() + 72, &serial, 4);
        return Reply{0, info};
    });
    ASSERT_TRUE(device_.Initialize());
    uint64_t expected = ((((uint64_t{0xFFFFFFFF} << 18) | 0x1 | 0x1000) << 22) | 0x80000000ull);
    EXPECT_EQ(device_.GetDeviceId64(), expected);
}

}  // namespace
