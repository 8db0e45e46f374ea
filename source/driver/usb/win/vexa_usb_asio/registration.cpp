// Registration and unregistration of the driver's class and ASIO entry.
#define LOG_FILE_NUMBER 336

#include "registration.h"

#include <cstring>
#include <string>
#include <vector>

#include "public/asio.h"
#include "source/driver/usb/win/user_common/logger.h"

using namespace vexa::log;

namespace vexa::asio {
namespace {

constexpr int kGuidChars = 39;          // "{8-4-4-4-12}" and the NUL
constexpr int kMaxClsidTextBytes = 100;
constexpr DWORD kMaxKeyNameChars = 256;  // a registry key name and its NUL

// An open key, closed on every path.
class Key {
public:
    Key() = default;
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// Lower-cases a path in the ANSI code page (ISO-8859-1): ASCII and the Latin-1 capitals.
void Lower(std::string* text) {
    for (char& c : *text) {
        auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7)) c = static_cast<char>(u + 0x20);
    }
}

// Steps shared by both directions: the module's lower-cased path and the class id as registry text.
LONG Identify(REFCLSID clsid, const char* moduleName, std::string* path, std::string* clsidText) {
    HMODULE module = GetModuleHandleA(moduleName);
    if (module == nullptr) return kRegisterNoModule;
    char buffer[kMaxModulePath];
    DWORD length = GetModuleFileNameA(module, buffer, kMaxModulePath);
    // A path cut to fit the buffer would register a file that does not exist.
    if (length == 0 || length >= kMaxModulePath) return kRegisterNoPath;
    path->assign(buffer, length);
    Lower(path);
    OLECHAR wide[kGuidChars];
    if (StringFromGUID2(clsid, wide, kGuidChars) == 0) return kRegisterNoClsidText;
    char text[kMaxClsidTextBytes];
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, text, kMaxClsidTextBytes, nullptr, nullptr) == 0) {
        return kRegisterNoAnsiText;
    }
    clsidText->assign(text);
    return 0;
}

bool Exists(HKEY root, const std::string& path) {
    Key key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

// Every key of the tree at root\path, each child before its parent and the named key last.
bool CollectTree(HKEY root, const std::string& path, std::vector<std::string>* order) {
    Key key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, key.out()) != ERROR_SUCCESS) return false;
    for (DWORD index = 0;; ++index) {
        char name[kMaxKeyNameChars];
        DWORD chars = kMaxKeyNameChars;
        LSTATUS status = RegEnumKeyExA(key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return false;
        if (!CollectTree(root, path + "\\" + std::string(name, chars), order)) return false;
    }
    order->push_back(path);
    return true;
}

// Collected whole first, so deleting never disturbs an enumeration still running.
bool DeleteTree(HKEY root, const std::string& path) {
    std::vector<std::string> order;
    if (!CollectTree(root, path, &order)) return false;
    for (const std::string& key : order) {
        if (LSTATUS status = RegDeleteKeyA(root, key.c_str()); status != ERROR_SUCCESS) {
            TRACE(kLogError | kLogAsio, status);
            return false;
        }
    }
    return true;
}

// Opens parent\name, creating it when it does not open.
bool CreateKey(HKEY parent, const std::string& name, Key* key) {
    if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, key->out()) == ERROR_SUCCESS) return true;
    LSTATUS status = RegCreateKeyExA(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, key->out(), nullptr);
    if (status != ERROR_SUCCESS) TRACE(kLogError | kLogAsio, status);
    return status == ERROR_SUCCESS;
}

// A string value with its terminator, as readers that take the bytes as they are expect.
bool SetString(HKEY key, const char* name, const std::string& value) {
    LSTATUS status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>(value.size() + 1));
    if (status != ERROR_SUCCESS) TRACE(kLogError | kLogAsio, status);
    return status == ERROR_SUCCESS;
}

// The InprocServer32 path registered under CLSID\{clsid}, lower-cased; empty
// when there is none, or it is no string, or it does not fit a module path.
std::string RegisteredServer(const std::string& clsidKey) {
    Key key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (clsidKey + "\\InprocServer32").c_str(), 0, KEY_QUERY_VALUE, key.out()) !=
        ERROR_SUCCESS) {
        return {};
    }
    char buffer[kMaxModulePath + 1];
    DWORD type = REG_NONE;
    DWORD bytes = kMaxModulePath;
    if (RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    // Written with or without its terminator: the value ends at the first NUL.
    buffer[bytes] = 0;
    std::string path(buffer);
    Lower(&path);
    return path;
}

}  // namespace

LONG RegisterAsioDriver(REFCLSID clsid, const char* moduleName, const char* driverName, const char* description,
                        const char* threadingModel) {
    std::string path;
    std::string clsidText;
    if (LONG code = Identify(clsid, moduleName, &path, &clsidText); code != 0) return code;
    std::string clsidKey = "CLSID\\" + clsidText;

    // The class keys stay when they already name this module; any other registration of the class goes.
    bool keep = Exists(HKEY_CLASSES_ROOT, clsidKey) && RegisteredServer(clsidKey) == path;
    if (!keep) {
        if (Exists(HKEY_CLASSES_ROOT, clsidKey) && !DeleteTree(HKEY_CLASSES_ROOT, clsidKey)) {
            return kRegisterKeyDeleteFailed;
        }
        Key classKey;
        Key server;
        if (!CreateKey(HKEY_CLASSES_ROOT, clsidKey, &classKey) || !SetString(classKey.get(), nullptr, description) ||
            !CreateKey(classKey.get(), "InprocServer32", &server) || !SetString(server.get(), nullptr, path) ||
            !SetString(server.get(), "ThreadingModel", threadingModel)) {
            return kRegisterKeyWriteFailed;
        }
    }

    std::string driverKey = std::string(kAsioDriverKey) + "\\" + driverName;
    if (Exists(HKEY_LOCAL_MACHINE, driverKey) && !DeleteTree(HKEY_LOCAL_MACHINE, driverKey)) {
        return kRegisterKeyDeleteFailed;
    }
    Key asio;
    Key driver;
    if (!CreateKey(HKEY_LOCAL_MACHINE, kAsioDriverKey, &asio) || !CreateKey(asio.get(), driverName, &driver) ||
        !SetString(driver.get(), "CLSID", clsidText) || !SetString(driver.get(), "Description", description)) {
        return kRegisterKeyWriteFailed;
    }
    return 0;
}

LONG UnregisterAsioDriver(REFCLSID clsid, const char* moduleName, const char* driverName) {
    std::string path;
    std::string clsidText;
    if (LONG code = Identify(clsid, moduleName, &path, &clsidText); code != 0) return code;
    std::string clsidKey = "CLSID\\" + clsidText;
    if (Exists(HKEY_CLASSES_ROOT, clsidKey) && !DeleteTree(HKEY_CLASSES_ROOT, clsidKey)) {
        return kRegisterKeyDeleteFailed;
    }
    if (!Exists(HKEY_LOCAL_MACHINE, kAsioDriverKey)) return 0;
    std::string driverKey = std::string(kAsioDriverKey) + "\\" + driverName;
    if (Exists(HKEY_LOCAL_MACHINE, driverKey) && !DeleteTree(HKEY_LOCAL_MACHINE, driverKey)) {
        return kRegisterKeyDeleteFailed;
    }
    return 0;
}

}  // namespace vexa::asio
