// The Reg* calls on both roads: exact value bytes, strict deletion, the ends
// of an enumeration, access rights and the 32-bit view.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "platform/machine/registry.h"
#include "platform/win32/windows.h"
#include "support/road_fixture.h"

namespace {

using namespace vexa::test;

class RegistryTest : public RoadTest {
protected:
    ~RegistryTest() override { platform::fault::clear(); }

    HKEY create(HKEY parent, const char* path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(parent, path, 0, nullptr, 0, access, nullptr, &key, disposition), ERROR_SUCCESS);
        return key;
    }

    std::string query(HKEY key, const char* name, DWORD* type = nullptr) {
        DWORD bytes = 0;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, nullptr, &bytes), ERROR_SUCCESS);
        std::string value(bytes, '\0');
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<LPBYTE>(value.data()), &bytes),
                  ERROR_SUCCESS);
        value.resize(bytes);
        return value;
    }
};

// Values come back byte for byte: no terminator added to a string, high bytes kept, sizes told before data.
TEST_P(RegistryTest, ValuesRoundTripExactly) {
    DWORD disposition = 0;
    HKEY key = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Values", KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const char text[] = "Apartment";
    ASSERT_EQ(RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 9), ERROR_SUCCESS);
    const BYTE binary[] = {0x00, 0xFF, 0xE9, 0x00, 0x7F};
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, binary, sizeof(binary)), ERROR_SUCCESS);
    const char accented[] = "caf\xE9";  // a byte above 0x7F in the ANSI code page
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(accented), 4), ERROR_SUCCESS);
    DWORD number = 0x8432BB7F;
    ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);

    DWORD type = 0;
    EXPECT_EQ(query(key, "threadingmodel", &type), "Apartment") << "value names match without case";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(query(key, "Blob", &type), std::string(reinterpret_cast<const char*>(binary), sizeof(binary)));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(query(key, ""), std::string(accented, 4)) << "the default value, its high byte intact";
    DWORD read = 0;
    DWORD bytes = sizeof(read);
    ASSERT_EQ(RegQueryValueExA(key, "Number", nullptr, &type, reinterpret_cast<LPBYTE>(&read), &bytes), ERROR_SUCCESS);
    EXPECT_EQ(read, number);

    // Too small a buffer is told the size and left alone.
    char shortBuffer[4] = {'x', 'x', 'x', 'x'};
    bytes = sizeof(shortBuffer);
    EXPECT_EQ(RegQueryValueExA(key, "ThreadingModel", nullptr, nullptr, reinterpret_cast<LPBYTE>(shortBuffer), &bytes),
              ERROR_MORE_DATA);
    EXPECT_EQ(bytes, 9u);
    EXPECT_EQ(shortBuffer[0], 'x');
    bytes = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &bytes), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // The machine holds the string as UTF-16 without a terminator, where kernel readers see it.
    auto stored = machine_.registry().get(u"\\Registry\\Machine\\SOFTWARE\\VexaTest\\Values", u"ThreadingModel");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->data.size(), 18u);
    EXPECT_EQ(stored->as_string(), u"Apartment");
}

// A key with subkeys is not deleted; a handle to a deleted key writes nothing; a missing key is said so.
TEST_P(RegistryTest, DeletionIsStrict) {
    HKEY parent = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Tree");
    HKEY child = create(parent, "Leaf");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Tree"), ERROR_ACCESS_DENIED);
    HKEY again = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\vexatest\\tree\\leaf", 0, KEY_READ, &again), ERROR_SUCCESS)
        << "the refused delete removed nothing, and paths match without case";
    RegCloseKey(again);
    EXPECT_EQ(RegDeleteKeyA(parent, "Leaf"), ERROR_SUCCESS);
    const BYTE one = 1;
    EXPECT_EQ(RegSetValueExA(child, "Late", 0, REG_BINARY, &one, 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(parent, "Leaf"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Tree"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Tree", 0, KEY_READ, &again), ERROR_FILE_NOT_FOUND);
    RegCloseKey(child);
    RegCloseKey(parent);
}

// Enumeration runs in name order to ERROR_NO_MORE_ITEMS; a short name buffer gets ERROR_MORE_DATA.
TEST_P(RegistryTest, EnumerationEndsAndReportsShortBuffers) {
    HKEY root = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\List");
    for (const char* name : {"beta", "Alpha", "Gamma-Long-Name"}) RegCloseKey(create(root, name));
    RegCloseKey(create(root, "beta\\Nested"));  // a grandchild is not a child
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[64];
        DWORD chars = sizeof(name);
        LSTATUS status = RegEnumKeyExA(root, index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(chars, std::strlen(name)) << "the length without the NUL";
        names.emplace_back(name);
        ASSERT_LT(index, 10u);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Gamma-Long-Name"}));
    char tiny[15];
    DWORD chars = sizeof(tiny);  // "Gamma-Long-Name" needs 16 with its NUL
    EXPECT_EQ(RegEnumKeyExA(root, 2, tiny, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    // A key without subkeys ends at once (its empty answer crosses the socket too).
    HKEY leaf = create(root, "Alpha");
    char name[64];
    chars = sizeof(name);
    EXPECT_EQ(RegEnumKeyExA(leaf, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(leaf);
    RegCloseKey(root);
}

// Access rights hold: a read-only key writes nothing, a closed HKEY is refused, a fault fails the call.
TEST_P(RegistryTest, AccessAndHandlesAreChecked) {
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Access"));
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Access", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    const BYTE one = 1;
    EXPECT_EQ(RegSetValueExA(readOnly, "X", 0, REG_BINARY, &one, 1), ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(readOnly, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(readOnly), ERROR_INVALID_HANDLE) << "closed twice";
    DWORD bytes = 0;
    EXPECT_EQ(RegQueryValueExA(readOnly, "X", nullptr, nullptr, nullptr, &bytes), ERROR_INVALID_HANDLE);

    platform::fault::inject("RegCreateKeyEx", STATUS_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VexaTest\\Faulted", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &sub, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(machine_.registry().key_exists(u"\\Registry\\Machine\\SOFTWARE\\VexaTest\\Faulted"));
}

// A 32-bit process sees the 32-bit view: its SOFTWARE keys and CLSIDs live under WOW6432Node.
TEST_P(RegistryTest, ThirtyTwoBitProcessesSeeTheirOwnView) {
    auto narrow = make_process(true);
    {
        platform::win32::ScopedProcess as(narrow);
        RegCloseKey(create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Narrow"));
        RegCloseKey(create(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}"));
        HKEY wide = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Wide", 0, KEY_READ | KEY_WOW64_64KEY, &wide),
                  ERROR_FILE_NOT_FOUND);
    }
    EXPECT_TRUE(machine_.registry().key_exists(u"\\Registry\\Machine\\SOFTWARE\\WOW6432Node\\ASIO\\Narrow"));
    EXPECT_TRUE(machine_.registry().key_exists(
        u"\\Registry\\Machine\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{00000000-0000-0000-0000-000000000001}"));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Narrow", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND)
        << "not in the 64-bit view";
    RegCloseKey(create(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Wide"));
    platform::win32::ScopedProcess as(narrow);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Wide", 0, KEY_READ | KEY_WOW64_64KEY, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(Roads, RegistryTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
