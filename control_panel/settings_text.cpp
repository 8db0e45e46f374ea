#include "settings_text.h"

#include <limits>
#include <set>
#include <sstream>

namespace cpl {

namespace {

constexpr uint64_t kSmallestPowerOfTwo = 64;
constexpr uint64_t kLargestPowerOfTwo = 8192;
constexpr uint64_t kLargestItemId = static_cast<uint64_t>(std::numeric_limits<int>::max());

constexpr unsigned kMajorShift = 52;
constexpr unsigned kMinorShift = 44;
constexpr unsigned kSubShift = 32;
constexpr uint64_t kMajorMask = 0xF;
constexpr uint64_t kMinorMask = 0xFF;
constexpr uint64_t kSubMask = 0xFFF;
constexpr uint64_t kBuildMask = 0xFFFFFFFF;
constexpr uint64_t kReleaseBit = 1ull << 63;
constexpr uint64_t kBetaBit = 1ull << 61;

}  // namespace

std::vector<uint32_t> bufferSizeList(uint32_t minFrames, uint32_t maxFrames) {
    if (minFrames == 0) return {};
    const uint64_t min = minFrames;
    const uint64_t max = maxFrames;
    std::set<uint64_t> sizes{min};
    if (2 * min <= max) sizes.insert(2 * min);
    if (4 * min <= max) sizes.insert(4 * min);
    for (uint64_t p = kSmallestPowerOfTwo; p <= kLargestPowerOfTwo; p *= 2) {
        if (min <= p && p <= max) sizes.insert(p);
    }
    sizes.insert(max);
    std::vector<uint32_t> list;
    for (uint64_t size : sizes) {
        if (size >= 1 && size <= kLargestItemId) list.push_back(static_cast<uint32_t>(size));
    }
    return list;
}

juce::String formatSampleRate(const juce::String& text) {
    constexpr int kGroup = 3;
    if (text.length() <= kGroup) return text + " Hz";
    return text.dropLastCharacters(kGroup) + " " + text.getLastCharacters(kGroup) + " Hz";
}

juce::String versionText(uint64_t v) {
    std::ostringstream out;
    out << ((v >> kMajorShift) & kMajorMask) << '.' << ((v >> kMinorShift) & kMinorMask) << '.'
        << ((v >> kSubShift) & kSubMask) << '.' << (v & kBuildMask);
    if ((v & kReleaseBit) == 0) out << " local";
    if ((v & kBetaBit) != 0) out << " beta";
    return juce::String(out.str());
}

juce::String deviceDetailsText(const mrak::vexa::DeviceInfo& info) {
    std::ostringstream out;
    out << "Product Name : " << info.model_name() << "\n";
    out << "Serial Number : " << info.serial_number() << "\n" << "\n";
    out << "Firmware App Version : " << versionText(info.firmware_version()).toStdString() << "\n";
    return juce::String(out.str());
}

juce::String vendorText(const juce::String& text) {
    return text.replace(kVendorYearsToken, kVendorYears);
}

juce::String informationText(std::optional<uint64_t> driverVersion, const juce::String& vendorInfo1,
                             const juce::String& vendorInfo2) {
    const juce::String a =
        "Driver version : " + (driverVersion ? versionText(*driverVersion) : juce::String("unavailable")) + "\n";
    const juce::String b = juce::String("\nPAL version : ") + kLibraryVersionText;
    return a + b + "\n\n" + vendorText(vendorInfo1) + "\n\n" + vendorText(vendorInfo2);
}

}  // namespace cpl
