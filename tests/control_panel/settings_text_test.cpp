// The panel's pure texts and lists: the buffer-size list rule at its
// boundaries, rate formatting, version texts, the device text and the
// information box's text.
#include <gtest/gtest.h>

#include <cstring>

#include "settings_text.h"

namespace {

using cpl::bufferSizeList;
using Sizes = std::vector<uint32_t>;

// The list for (min, max): usual device ranges, duplicates merged, no overflow, no id that is not an int.
TEST(BufferSizeListTest, Table) {
    struct Case {
        uint32_t min, max;
        Sizes expected;
        const char* guards;
    };
    const Case cases[] = {
        {32, 2048, {32, 64, 128, 256, 512, 1024, 2048}, "2 x min and 4 x min merge with the powers of two"},
        {48, 1024, {48, 64, 96, 128, 192, 256, 512, 1024}, "multiples of a min that is no power of two"},
        {100, 300, {100, 128, 200, 256, 300}, "4 x min above max is left out, max added"},
        {8, 16384, {8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384}, "powers stop at 8192, max added"},
        {96, 4096, {96, 128, 192, 256, 384, 512, 1024, 2048, 4096}, "a Cantile-QE at 96 kHz"},
        {0, 2048, {}, "min 0 gives an empty list"},
        {0, 0, {}, "min 0 with max 0 too"},
        {512, 512, {512}, "min equal to max is listed once"},
        {0x7FFFFFFF, 0xFFFFFFFF, {0x7FFFFFFF}, "2 x min and 4 x min overflow 32 bits and are above any item id"},
        {0x40000000, 0xFFFFFFFF, {0x40000000}, "4 x min wraps to 0 in 32 bits; max is not an item id"},
        {0x80000000u, 0x80000000u, {}, "a min above the largest int cannot be an id"},
        {0x3FFFFFFF, 0xFFFFFFFE, {0x3FFFFFFF, 0x7FFFFFFE}, "2 x min kept, 4 x min past the ids left out"},
        {2048, 32, {32, 2048}, "max below min: both listed, no multiple"},
    };
    for (const Case& c : cases) EXPECT_EQ(bufferSizeList(c.min, c.max), c.expected) << c.guards;
}

// One space before the last three characters and before "Hz"; short texts do not lose characters.
TEST(FormatSampleRateTest, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"44100", "44 100 Hz"}, {"48000", "48 000 Hz"}, {"192000", "192 000 Hz"},
        {"8000", "8 000 Hz"},   {"800", "800 Hz"},      {"", " Hz"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(cpl::formatSampleRate(text), juce::String(expected)) << text;
}

// Fields decoded from their bits, printed unsigned; " local" for bit 63 clear, " beta" for bit 61.
TEST(VersionTextTest, Table) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0x804030020000BB7Full, "4.3.2.47999"},
        {0x004030020000BB7Full, "4.3.2.47999 local"},
        {0xA04030020000BB7Full, "4.3.2.47999 beta"},
        {0x204030020000BB7Full, "4.3.2.47999 local beta"},
        {0x80FFFFFFFFFFFFFFull, "15.255.4095.4294967295"},  // the build number printed signed would be -1
        {0x8000000000000000ull, "0.0.0.0"},
    };
    for (const auto& [version, expected] : cases) EXPECT_EQ(cpl::versionText(version), juce::String(expected));
}

mrak::vexa::DeviceInfo makeInfo(uint32_t productId, uint32_t serial, uint64_t firmware) {
    mrak::vexa::DeviceInfo info;
    std::memcpy(info.bytes.data() + 8, &firmware, sizeof(firmware));
    std::memcpy(info.bytes.data() + 52, &productId, sizeof(productId));
    std::memcpy(info.bytes.data() + 72, &serial, sizeof(serial));
    return info;
}

// The three lines exactly, with the empty line; an unknown product reads "N/A"; the serial prints unsigned.
TEST(DeviceDetailsTextTest, ExactText) {
    EXPECT_EQ(cpl::deviceDetailsText(makeInfo(0x802A, 1234, 0x804030020000BB7Full)),
              juce::String("Product Name : Cantile-QK\nSerial Number : 1234\n\nFirmware App Version : 4.3.2.47999\n"));
    EXPECT_EQ(cpl::deviceDetailsText(makeInfo(0x1234, 0xFFFFFFFF, 0x004030020000BB7Full)),
              juce::String("Product Name : N/A\nSerial Number : 4294967295\n\n"
                           "Firmware App Version : 4.3.2.47999 local\n"));
}

// The information text with a driver version, without a bus, with empty vendor lines and with the
// year token (twice) replaced.
TEST(InformationTextTest, ExactText) {
    EXPECT_EQ(cpl::informationText(0x804030020000BB7Full, "QUV", "Drivers"),
              juce::String("Driver version : 4.3.2.47999\n\nPAL version : 4.3.2.47999\n\nQUV\n\nDrivers"));
    EXPECT_EQ(cpl::informationText(std::nullopt, {}, {}),
              juce::String("Driver version : unavailable\n\nPAL version : 4.3.2.47999\n\n\n\n"))
        << "no bus: the box still shows, and ends with both separators";
    EXPECT_EQ(cpl::informationText(0x004030020000BB7Full, "(c) %YEARS% and %YEARS%", "x"),
              juce::String("Driver version : 4.3.2.47999 local\n\nPAL version : 4.3.2.47999\n\n"
                           "(c) 2014-2026 and 2014-2026\n\nx"));
}

}  // namespace
