// The system's one version, shared by both drivers, the ASIO driver, the
// device-access library and the control panel; the build reads its four
// numbers for the project's version (CMakeLists.txt). Every packed form and
// text is computed from them here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace vexa::version {

// One line each, as the build reads them.
inline constexpr uint32_t kMajor = 4;
inline constexpr uint32_t kMinor = 3;
inline constexpr uint32_t kSubMinor = 2;
inline constexpr uint32_t kBuild = 47999;

// PackedVersion: bits 52-55 major, 44-51 minor, 32-43 sub-minor, 0-31 build;
// bit 63 set marks a release build (clear: a local one), bit 61 a beta.
inline constexpr uint64_t kReleaseBit = 1ull << 63;
inline constexpr uint64_t kBetaBit = 1ull << 61;
constexpr uint64_t Packed(uint64_t flagBits) {
    return flagBits | (uint64_t{kMajor} << 52) | (uint64_t{kMinor} << 44) | (uint64_t{kSubMinor} << 32) | kBuild;
}

// The 32-bit form: the packed form's flag nibble (bits 60-63), then one
// nibble each of major, minor and sub-minor, then the build's 16 bits.
constexpr uint32_t Packed32(uint64_t packed) {
    return static_cast<uint32_t>((packed >> 60) << 28) | (kMajor << 24) | (kMinor << 20) | (kSubMinor << 16) |
           (kBuild & 0xFFFF);
}

// What the drivers report: a release build.
inline constexpr uint64_t kPacked = Packed(kReleaseBit);
// The device-access library's own, as its first trace record gives it: a local build.
inline constexpr uint64_t kPackedLocal = Packed(0);
// The form ASIO hosts and the child drivers are given.
inline constexpr uint32_t kPacked32 = Packed32(kPacked);

// Decimal text of the numbers, dot-separated.
struct DottedNumbers {
    char chars[48] = {};
    constexpr DottedNumbers(std::initializer_list<uint32_t> numbers) {
        size_t length = 0;
        for (uint32_t number : numbers) {
            if (length != 0) chars[length++] = '.';
            char digits[10] = {};
            size_t count = 0;
            do {
                digits[count++] = static_cast<char>('0' + number % 10);
                number /= 10;
            } while (number != 0);
            while (count != 0) chars[length++] = digits[--count];
        }
    }
};
inline constexpr DottedNumbers kTextChars{kMajor, kMinor, kSubMinor, kBuild};
inline constexpr DottedNumbers kShortTextChars{kMajor, kMinor, kSubMinor};
// "major.minor.sub-minor.build", as programs show the version.
inline constexpr const char* kText = kTextChars.chars;
// "major.minor.sub-minor", the driver version the control panel asks for.
inline constexpr const char* kShortText = kShortTextChars.chars;

// Each number fits both packed forms.
static_assert(kMajor <= 0xF && kMinor <= 0xF && kSubMinor <= 0xF && kBuild <= 0xFFFF);
static_assert(kPacked == 0x804030020000BB7Full);
static_assert(kPackedLocal == 0x004030020000BB7Full);
static_assert(kPacked32 == 0x8432BB7F);
static_assert(std::string_view(kText) == "4.3.2.47999");
static_assert(std::string_view(kShortText) == "4.3.2");

}  // namespace vexa::version
