// The framework's Parameters key: ULONG, raw and string values, framework
// strings, and the compares that match names without regard to case.
#include <gtest/gtest.h>

#include "platform/kernel/fault.h"
#include "platform/kmdf/wdf.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/kernel/text.h"
#include "platform/machine/registry.h"

namespace {

WDFDRIVER g_driver = nullptr;

NTSTATUS KeyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    return WdfDriverCreate(driver, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &g_driver);
}

class RegistryKeyTest : public ::testing::Test {
protected:
    RegistryKeyTest() {
        machine_.drivers().install_builtin("KeyTest", KeyDriverEntry);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        EXPECT_NE(machine_.drivers().load("KeyTest", &status), nullptr);
        EXPECT_EQ(WdfDriverOpenParametersRegistryKey(g_driver, 0x1F0000, WDF_NO_OBJECT_ATTRIBUTES, &key_),
                  STATUS_SUCCESS);
    }
    ~RegistryKeyTest() override {
        WdfRegistryClose(key_);
        machine_.shutdown();
    }

    std::optional<platform::RegValue> stored(std::u16string_view name) {
        return machine_.registry().get(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KeyTest\\Parameters", name);
    }

    platform::Machine machine_;
    WDFKEY key_ = nullptr;
};

// Raw bytes come back with their type and length; a short buffer gets nothing but the length,
// and a missing value is told apart from one that is there.
TEST_F(RegistryKeyTest, RawValuesKeepTheirTypeAndLength) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"Device Index");
    uint64_t id = 0x0123456789ABCDEFull;
    ASSERT_EQ(WdfRegistryAssignValue(key_, &name, REG_BINARY, sizeof(id), &id), STATUS_SUCCESS);
    EXPECT_EQ(stored(u"device index")->type, platform::RegType::Binary);

    uint64_t read = 0;
    ULONG length = 0;
    ULONG type = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key_, &name, sizeof(read), &read, &length, &type), STATUS_SUCCESS);
    EXPECT_EQ(read, id);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(type, REG_BINARY);

    uint32_t small = 0xAAAAAAAA;
    length = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key_, &name, sizeof(small), &small, &length, nullptr), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small, 0xAAAAAAAAu) << "a short buffer is not written";
    EXPECT_EQ(length, 8u);

    UNICODE_STRING missing = RTL_CONSTANT_STRING(u"Nothing Here");
    length = 0xFFFF;
    EXPECT_EQ(WdfRegistryQueryValue(key_, &missing, sizeof(read), &read, &length, &type), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(length, 0xFFFFu);
}

// A string value is read into a framework string; a value of another type is a type mismatch,
// never "not found", and a DWORD query of a string value is one too.
TEST_F(RegistryKeyTest, StringsAreReadIntoFrameworkStrings) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"Channel Name");
    UNICODE_STRING label = RTL_CONSTANT_STRING(u"Ausgang \u00e4 1");
    ASSERT_EQ(WdfRegistryAssignUnicodeString(key_, &name, &label), STATUS_SUCCESS);
    EXPECT_EQ(stored(u"Channel Name")->as_string(), u"Ausgang \u00e4 1");

    WDFSTRING string = nullptr;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    UNICODE_STRING text{};
    WdfStringGetUnicodeString(string, &text);
    EXPECT_EQ(text.Length, 0u) << "a string created without text is empty";
    ASSERT_EQ(WdfRegistryQueryString(key_, &name, string), STATUS_SUCCESS);
    WdfStringGetUnicodeString(string, &text);
    EXPECT_TRUE(RtlEqualUnicodeString(&text, &label, FALSE));

    UNICODE_STRING number = RTL_CONSTANT_STRING(u"Rate");
    ASSERT_EQ(WdfRegistryAssignULong(key_, &number, 48000), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryString(key_, &number, string), STATUS_OBJECT_TYPE_MISMATCH);
    WdfStringGetUnicodeString(string, &text);
    EXPECT_TRUE(RtlEqualUnicodeString(&text, &label, FALSE)) << "a failed query leaves the string as it was";
    ULONG value = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key_, &name, &value), STATUS_OBJECT_TYPE_MISMATCH);
    UNICODE_STRING missing = RTL_CONSTANT_STRING(u"Nothing Here");
    EXPECT_EQ(WdfRegistryQueryString(key_, &missing, string), STATUS_OBJECT_NAME_NOT_FOUND);

    UNICODE_STRING broken{6, 4, label.Buffer};  // longer than its buffer
    EXPECT_EQ(WdfRegistryAssignUnicodeString(key_, &name, &broken), STATUS_INVALID_PARAMETER);
    WdfObjectDelete(string);
}

// Every new call can be made to fail by name, and a failed call changes nothing.
TEST_F(RegistryKeyTest, FailuresAreInjectableAndChangeNothing) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"Speaker");
    uint32_t value = 3;
    platform::fault::inject("WdfRegistryAssignValue", STATUS_ACCESS_DENIED, 0, 1);
    EXPECT_EQ(WdfRegistryAssignValue(key_, &name, REG_DWORD, sizeof(value), &value), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(stored(u"Speaker").has_value());
    platform::fault::inject("WdfStringCreate", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    WDFSTRING string = nullptr;
    EXPECT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(string, nullptr);
    platform::fault::clear();
}

// Case-insensitive compares fold the Latin-1 letters the ANSI code page brings, as Windows
// does, but not the division sign among them, nor strings of other lengths.
TEST(CaseInsensitiveCompareTest, LatinLettersFoldAndNothingElse) {
    const struct {
        const char16_t* a;
        const char16_t* b;
        bool equal;
    } cases[] = {
        {u"Output 1", u"OUTPUT 1", true},
        {u"Entr\u00e9e \u00e4\u00fe", u"ENTR\u00c9E \u00c4\u00de", true},
        {u"\u00f7", u"\u00d7", false},
        {u"Output 1", u"Output 10", false},
        {u"", u"", true},
    };
    for (const auto& c : cases) {
        UNICODE_STRING a;
        UNICODE_STRING b;
        RtlInitUnicodeString(&a, c.a);
        RtlInitUnicodeString(&b, c.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, TRUE), c.equal) << platform::narrow(c.a);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, FALSE), std::u16string_view(c.a) == std::u16string_view(c.b));
    }
}

}  // namespace
