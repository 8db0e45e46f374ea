// Registration as regsvr32 runs it, on both roads: the class and the ASIO
// entry with their exact keys and values (strings with their terminator),
// kept or replaced over an earlier registration, both trees removed again,
// and every failure told through the message box and 0xFFFFFFFF.
#include <optional>
#include <string>

#include "asio_fixture.h"
#include "platform/kernel/ntstatus.h"

namespace {

using namespace vexa::test;

constexpr const char* kClassKey = "CLSID\\{6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}";
constexpr const char* kServerKey = "CLSID\\{6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}\\InprocServer32";
constexpr const char* kDriverKey = "SOFTWARE\\ASIO\\ASIO QUV VEXA USB Platform";
constexpr const char* kName = "ASIO QUV VEXA USB Platform";
constexpr HRESULT kFailed = static_cast<HRESULT>(0xFFFFFFFF);

// A string value's bytes exactly as stored; nothing when the key or value is missing.
std::optional<std::string> Value(HKEY root, const char* key, const char* name) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return std::nullopt;
    char data[1024];
    DWORD bytes = sizeof(data);
    DWORD type = 0;
    LSTATUS status = RegQueryValueExA(opened, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &bytes);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    return std::string(data, bytes);
}

bool Exists(HKEY root, const char* key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

void Write(HKEY root, const std::string& key, const char* name, const std::string& value) {
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(created, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()),
                             static_cast<DWORD>(value.size())),
              ERROR_SUCCESS);
    RegCloseKey(created);
}

std::string Z(const std::string& text) { return text + '\0'; }

struct Box {
    std::string text;
    std::string caption;
    UINT type;
};

class RegistrationTest : public AsioDriverTest {
protected:
    RegistrationTest() {
        platform::win32::set_message_box_responder([this](const std::string& text, const std::string& caption, UINT type) {
            std::lock_guard guard(boxLock_);
            boxes_.push_back(Box{text, caption, type});
            return IDOK;
        });
    }
    std::vector<Box> boxes() {
        std::lock_guard guard(boxLock_);
        return boxes_;
    }

    std::mutex boxLock_;
    std::vector<Box> boxes_;  // guarded by boxLock_
};

// On an empty registry: the class with the lower-cased path, the ASIO entry; every string carries its terminator.
// Unregistering removes both trees and leaves SOFTWARE\ASIO itself.
TEST_P(RegistrationTest, RoundTripOnAnEmptyRegistry) {
    ASSERT_EQ(register_driver(), S_OK);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kClassKey, nullptr), Z(kName));
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, nullptr), Z("c:\\windows\\system32\\quvvexausbasio64.dll"));
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel"), Z("Apartment"));
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kDriverKey, "CLSID"), Z("{6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}"));
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kDriverKey, "Description"), Z(kName));
    EXPECT_TRUE(boxes().empty());

    // A host can now find and create it.
    IASIO* driver = create();
    ASSERT_NE(driver, nullptr);
    char name[kAsioDriverNameBytes];
    driver->getDriverName(name);
    EXPECT_STREQ(name, kName);
    EXPECT_EQ(static_cast<uint32_t>(driver->getDriverVersion()), 0x8432BB7Fu);
    release(driver);

    ASSERT_EQ(register_driver("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kDriverKey));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO")) << "other drivers' list stays";
    EXPECT_EQ(register_driver("DllUnregisterServer"), S_OK) << "nothing left to remove is no failure";
    EXPECT_TRUE(boxes().empty());
}

// Over an earlier registration from this path: the class keys are kept as they are (a value of another's survives),
// the ASIO entry is rewritten whole (a stray subkey and value go).
TEST_P(RegistrationTest, SamePathKeepsTheClassAndRewritesTheEntry) {
    Write(HKEY_CLASSES_ROOT, kServerKey, nullptr, "C:\\WINDOWS\\System32\\QUVVexaUSBAsio64.dll");
    Write(HKEY_CLASSES_ROOT, kClassKey, "Marker", "kept");
    Write(HKEY_LOCAL_MACHINE, std::string(kDriverKey) + "\\Stray", "Old", "x");
    Write(HKEY_LOCAL_MACHINE, kDriverKey, "Old", "x");
    Write(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver", "CLSID", "{0}");
    ASSERT_EQ(register_driver(), S_OK);
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kClassKey, "Marker"), std::string("kept"));
    EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, nullptr), std::string("C:\\WINDOWS\\System32\\QUVVexaUSBAsio64.dll"))
        << "the same path in another case is this module: left alone";
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, (std::string(kDriverKey) + "\\Stray").c_str()));
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kDriverKey, "Old"), std::nullopt);
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, kDriverKey, "CLSID"), Z("{6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}"));
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver", "CLSID"), std::string("{0}"));

    ASSERT_EQ(register_driver("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kClassKey)) << "the whole tree, with the key it had not written";
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kDriverKey));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver"));
}

// Over a registration of another path (or one whose path does not fit a module path): the class tree is replaced,
// deep subkeys and all, so InprocServer32 names this module.
TEST_P(RegistrationTest, AnotherPathIsReplaced) {
    for (const std::string& earlier : {std::string("C:\\Old\\QUVVexaUSBAsio64.dll"), std::string(400, 'c')}) {
        Write(HKEY_CLASSES_ROOT, kServerKey, nullptr, earlier);
        Write(HKEY_CLASSES_ROOT, std::string(kClassKey) + "\\Deep\\Deeper", "Marker", "gone");
        ASSERT_EQ(register_driver(), S_OK);
        EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, (std::string(kClassKey) + "\\Deep").c_str()));
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, nullptr), Z("c:\\windows\\system32\\quvvexausbasio64.dll"));
        EXPECT_EQ(Value(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel"), Z("Apartment"));
    }
}

// Each failure reaches the user as the message box with the module's name and the code, and the export answers
// 0xFFFFFFFF; nothing is half-registered and answered as done.
TEST_P(RegistrationTest, FailuresAreToldWithTheirCodes) {
    struct Case {
        const char* fault;  // armed for the next call of that name
        NTSTATUS status;
        int code;
    };
    const Case cases[] = {
        {"GetModuleFileName", STATUS_INSUFFICIENT_RESOURCES, -102},
        {"StringFromGUID2", STATUS_INSUFFICIENT_RESOURCES, -103},
        {"WideCharToMultiByte", STATUS_INSUFFICIENT_RESOURCES, -104},
        {"RegCreateKeyEx", STATUS_ACCESS_DENIED, -105},
        {"RegSetValueEx", STATUS_ACCESS_DENIED, -105},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        platform::fault::inject(c.fault, c.status);
        EXPECT_EQ(register_driver(), kFailed);
        platform::fault::clear();
        auto shown = boxes();
        ASSERT_FALSE(shown.empty());
        EXPECT_EQ(shown.back().text, "Register QUVVexaUSBAsio64.dll failed (" + std::to_string(c.code) + ")");
        EXPECT_EQ(shown.back().caption, kName);
        EXPECT_EQ(shown.back().type, MB_OK);
    }
    // Removing a tree that cannot go is told too, by both exports.
    ASSERT_EQ(register_driver(), S_OK);
    Write(HKEY_CLASSES_ROOT, kServerKey, nullptr, "c:\\elsewhere.dll");
    platform::fault::inject("RegDeleteKey", STATUS_ACCESS_DENIED);
    EXPECT_EQ(register_driver(), kFailed);
    EXPECT_EQ(boxes().back().text, "Register QUVVexaUSBAsio64.dll failed (-106)");
    platform::fault::inject("RegDeleteKey", STATUS_ACCESS_DENIED);
    EXPECT_EQ(register_driver("DllUnregisterServer"), kFailed);
    EXPECT_EQ(boxes().back().text, "Unregister QUVVexaUSBAsio64.dll failed (-106)");
    platform::fault::inject("StringFromGUID2", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(register_driver("DllUnregisterServer"), kFailed);
    EXPECT_EQ(boxes().back().text, "Unregister QUVVexaUSBAsio64.dll failed (-103)");
}

// A module that is not loaded under its own name cannot find itself (-101); one whose path does not fit 360
// characters is refused (-102) rather than registered under a cut path.
TEST_P(RegistrationTest, ModuleFoundOnlyByItsNameAndWholePath) {
    struct Case {
        std::string path;
        const char* message;
    };
    std::string longFolder = "C:\\" + std::string(380, 'd') + "\\QUVVexaUSBAsio64.dll";
    const Case cases[] = {
        {"C:\\Windows\\System32\\Renamed.dll", "Register QUVVexaUSBAsio64.dll failed (-101)"},
        {longFolder, "Register QUVVexaUSBAsio64.dll failed (-102)"},
    };
    for (const Case& c : cases) {
        std::u16string wide(c.path.begin(), c.path.end());
        machine_.attachment<platform::InstalledFiles>().install(wide, VEXA_ASIO_MODULE);
        HMODULE module = LoadLibraryA(c.path.c_str());
        ASSERT_NE(module, nullptr) << c.path;
        auto entry = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
        EXPECT_EQ(entry(), kFailed);
        FreeLibrary(module);
        EXPECT_EQ(boxes().back().text, c.message);
        EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kClassKey));
    }
}

INSTANTIATE_TEST_SUITE_P(Roads, RegistrationTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
