// COM on both roads: an in-process server registered under HKCR\CLSID with a
// lower-cased path, created through its class factory, released and
// unloaded once DllCanUnloadNow allows; and the GUID text forms.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "platform/machine/installed_files.h"
#include "platform/win32/objbase.h"
#include "support/com_test_server.h"
#include "support/road_fixture.h"

namespace {

using namespace vexa::test;

class ComTest : public RoadTest {
protected:
    ComTest() {
        machine_.attachment<platform::InstalledFiles>().install(kComServerPathW, VEXA_TEST_COM_SERVER);
        register_server();
    }

    // As a server registers itself: the path lower-cased and written without its NUL.
    void register_server() {
        OLECHAR text[39];
        ASSERT_EQ(StringFromGUID2(kComServerClass, text, 39), 39);
        std::string key = "CLSID\\" + std::string(text, text + 38) + "\\InprocServer32";
        HKEY server = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &server,
                                  nullptr),
                  ERROR_SUCCESS);
        std::string path = kComServerPath;
        for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ASSERT_EQ(RegSetValueExA(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.data()),
                                 static_cast<DWORD>(path.size())),
                  ERROR_SUCCESS);
        RegCloseKey(server);
    }

    static bool loaded() {
        for (auto& module : platform::win32::loaded_modules()) {
            if (module.windowsPath == kComServerPathW) return true;
        }
        return false;
    }
};

// Created through the factory; kept loaded while an object lives; unloaded by CoFreeUnusedLibraries after.
TEST_P(ComTest, ServerIsCreatedReleasedAndUnloaded) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "a second initialisation on the thread";
    ITestCounter* counter = nullptr;
    ASSERT_EQ(CoCreateInstance(kComServerClass, nullptr, CLSCTX_INPROC_SERVER, kComServerClass,
                               reinterpret_cast<LPVOID*>(&counter)),
              S_OK);
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(counter->Increment(), 1u);
    EXPECT_TRUE(loaded());
    HMODULE module = GetModuleHandleA("VexaTestComServer.dll");
    auto counts = reinterpret_cast<ComServerCountsFn>(GetProcAddress(module, "TestComServerCounts"));
    EXPECT_EQ(counts().liveObjects, 1);

    CoFreeUnusedLibraries();
    EXPECT_TRUE(loaded()) << "DllCanUnloadNow says no while the object lives";
    IUnknown* unknown = nullptr;
    EXPECT_EQ(counter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    unknown->Release();
    EXPECT_EQ(counter->Release(), 0u);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(loaded()) << "unloaded once DllCanUnloadNow allowed it";

    // A second activation loads it afresh.
    ASSERT_EQ(CoCreateInstance(kComServerClass, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<LPVOID*>(&unknown)),
              S_OK);
    unknown->Release();
    CoFreeUnusedLibraries();
    CoUninitialize();
    CoUninitialize();
}

// Activation fails as Windows answers: no COM on the thread, no registration, a 32-bit caller, a bad interface.
TEST_P(ComTest, ActivationFailuresAreWindowsAnswers) {
    IUnknown* unknown = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CoCreateInstance(kComServerClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<LPVOID*>(&unknown)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(unknown, nullptr);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), RPC_E_CHANGED_MODE);
    CLSID unknownClass = kComServerClass;
    unknownClass.Data1 ^= 1;
    EXPECT_EQ(CoCreateInstance(unknownClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<LPVOID*>(&unknown)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kComServerClass, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                               reinterpret_cast<LPVOID*>(&unknown)),
              E_NOINTERFACE);
    auto narrow = make_process(true);
    {
        platform::win32::ScopedProcess as(narrow);
        EXPECT_EQ(CoCreateInstance(kComServerClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                   reinterpret_cast<LPVOID*>(&unknown)),
                  REGDB_E_CLASSNOTREG)
            << "the 64-bit server is not in a 32-bit process's view";
    }
    CoFreeUnusedLibraries();
    EXPECT_FALSE(loaded());
    CoUninitialize();
}

// GUID text both ways: the registry form, either case in, malformed text refused, a short buffer answered 0.
TEST_P(ComTest, GuidTextRoundTrips) {
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(kComServerClass, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{5E7A1C00-0D1E-4B4F-9A11-2C3D4E5F6071}");
    EXPECT_EQ(StringFromGUID2(kComServerClass, text, 38), 0);
    CLSID parsed{};
    EXPECT_EQ(CLSIDFromString(u"{5e7a1c00-0d1e-4b4f-9a11-2c3d4e5f6071}", &parsed), NOERROR);
    EXPECT_TRUE(parsed == kComServerClass);
    for (const char16_t* bad : {u"5E7A1C00-0D1E-4B4F-9A11-2C3D4E5F6071", u"{5E7A1C00-0D1E-4B4F-9A11-2C3D4E5F607}",
                                u"{5E7A1C00-0D1E-4B4F-9A11-2C3D4E5F60711}", u"{5E7A1C00_0D1E-4B4F-9A11-2C3D4E5F6071}",
                                u"{5E7A1C0G-0D1E-4B4F-9A11-2C3D4E5F6071}", u""}) {
        EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
    }
}

// The GUID text in the ANSI code page: through the NUL, counted, sized first; a short buffer, a foreign code page or
// a character outside the page are told, never written past or passed silently.
TEST_P(ComTest, WideTextConvertsToAnsi) {
    OLECHAR text[39];
    ASSERT_EQ(StringFromGUID2(kComServerClass, text, 39), 39);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr), 39) << "the size needed";
    char ansi[40];
    std::memset(ansi, 'x', sizeof(ansi));
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, sizeof(ansi), nullptr, nullptr), 39);
    EXPECT_STREQ(ansi, "{5E7A1C00-0D1E-4B4F-9A11-2C3D4E5F6071}");
    EXPECT_EQ(ansi[39], 'x') << "nothing written past the NUL";

    std::memset(ansi, 'x', sizeof(ansi));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, 38, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(ansi[0], 'x') << "a short buffer is left alone";
    EXPECT_EQ(WideCharToMultiByte(65001, 0, text, -1, ansi, sizeof(ansi), nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);

    BOOL replaced = FALSE;
    const char16_t outside[] = u"a\u20ACb";
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, outside, 3, ansi, sizeof(ansi), nullptr, &replaced), 3);
    EXPECT_EQ(std::string(ansi, 3), "a?b");
    EXPECT_TRUE(replaced);
    const char16_t latin[] = u"\u00E9";
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, latin, 1, ansi, sizeof(ansi), nullptr, &replaced), 1);
    EXPECT_EQ(static_cast<unsigned char>(ansi[0]), 0xE9u);
    EXPECT_FALSE(replaced);

    platform::fault::inject("WideCharToMultiByte", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, sizeof(ansi), nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    platform::fault::clear();
}

INSTANTIATE_TEST_SUITE_P(Roads, ComTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
