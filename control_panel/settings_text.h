// The texts and lists the main content component shows, built from the
// library's values alone, so each rule is checked without a window or a bus.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <juce_core/juce_core.h>

#include "common/device.h"
#include "source/driver/usb/win/version.h"

namespace cpl {

// The sizes the buffer-size combo box offers, ascending and each once: min,
// 2 x min and 4 x min up to max, the powers of two 64 to 8192 between min and
// max, and max. Empty when min is 0. Computed in 64 bits (4 x min overflows
// 32 for a min near 2^31); a size that cannot be a combo box item id (above
// the largest int) is left out.
std::vector<uint32_t> bufferSizeList(uint32_t minFrames, uint32_t maxFrames);

// "44100" becomes "44 100 Hz": a space before the last three characters, " Hz"
// after them. A text of three characters or fewer just gains " Hz".
juce::String formatSampleRate(const juce::String& text);

// A PackedVersion as major.minor.sub.build, then " local" when bit 63 is clear
// and " beta" when bit 61 is set.
juce::String versionText(uint64_t packedVersion);

// The "Current Device" text: product name, serial number, an empty line and
// the firmware version, each line ending in a line break.
juce::String deviceDetailsText(const mrak::vexa::DeviceInfo& info);

// A vendor line of the look defaults with every kVendorYearsToken replaced by kVendorYears.
inline constexpr const char* kVendorYearsToken = "%YEARS%";
inline constexpr const char* kVendorYears = "2014-2026";
juce::String vendorText(const juce::String& text);

// The information box's text; without a bus the driver version reads "unavailable".
inline constexpr const char* kLibraryVersionText = ::vexa::version::kText;
juce::String informationText(std::optional<uint64_t> driverVersion, const juce::String& vendorInfo1,
                             const juce::String& vendorInfo2);

}  // namespace cpl
