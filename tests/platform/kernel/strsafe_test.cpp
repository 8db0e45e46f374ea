#include <gtest/gtest.h>

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/strsafe.h"

namespace {

// The conversions the drivers format names with give what Windows' helpers give.
TEST(StrsafeTest, ConversionsFormatAsTheKernelHelpersDo) {
    WCHAR out[64];
    EXPECT_EQ(RtlStringCchPrintfW(out, 64, u"%d", -12), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"-12");
    EXPECT_EQ(RtlStringCchPrintfW(out, 64, u"D%04x%s%d_%s", 0x802A, u"MidiIn", 1, u"QUV"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"D802aMidiIn1_QUV");
    EXPECT_EQ(RtlStringCchPrintfW(out, 64, u"%s %S", u"Cantile-QE", "MIDI In 1"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"Cantile-QE MIDI In 1");
    EXPECT_EQ(RtlStringCchPrintfW(out, 64, u"%u%%%X", 7u, 0xABu), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"7%AB");
    EXPECT_EQ(RtlStringCchPrintfW(out, 64, u"%S", "\xE9"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"\u00E9");
}

// A result that does not fit is cut, still ends in a NUL, and says it was cut; nothing is
// written past the buffer.
TEST(StrsafeTest, AResultThatDoesNotFitIsCutAndTerminated) {
    WCHAR out[8];
    std::fill(std::begin(out), std::end(out), u'#');
    EXPECT_EQ(RtlStringCchPrintfW(out, 5, u"%s", u"abcdefgh"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(out), u"abcd");
    EXPECT_EQ(out[5], u'#');
    EXPECT_EQ(RtlStringCchPrintfW(out, 0, u"x"), STATUS_INVALID_PARAMETER);

    DECLARE_UNICODE_STRING_SIZE(counted, 4);
    EXPECT_EQ(RtlUnicodeStringPrintf(&counted, u"%d", 123456), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(counted.Length, 4 * sizeof(WCHAR));
    EXPECT_EQ(RtlUnicodeStringPrintf(&counted, u"%d", 12), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(counted.Buffer, counted.Length / sizeof(WCHAR)), u"12");
}

}  // namespace
