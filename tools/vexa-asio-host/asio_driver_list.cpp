#include "asio_driver_list.h"

#include "platform/win32/windows.h"

namespace vexa::asio_host {
namespace {

constexpr const char* kAsioKey = "SOFTWARE\\ASIO";
constexpr DWORD kMaxNameChars = 256;  // a key name with its NUL
constexpr DWORD kMaxValueBytes = 512;

class Key {
public:
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// A string value; empty when missing or not a string.
std::string ReadString(HKEY key, const char* name) {
    char data[kMaxValueBytes];
    DWORD type = 0;
    DWORD bytes = sizeof(data);
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    std::string text(data, bytes);
    // Written with or without a terminator: keep what comes before one.
    return text.substr(0, text.find('\0'));
}

}  // namespace

std::vector<InstalledDriver> ListInstalledDrivers() {
    std::vector<InstalledDriver> drivers;
    Key asio;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAsioKey, 0, KEY_READ, asio.out()) != ERROR_SUCCESS) return drivers;
    for (DWORD index = 0;; ++index) {
        char name[kMaxNameChars];
        DWORD chars = kMaxNameChars;
        LSTATUS status = RegEnumKeyExA(asio.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        InstalledDriver driver;
        driver.name.assign(name, chars);
        Key entry;
        if (RegOpenKeyExA(asio.get(), driver.name.c_str(), 0, KEY_READ, entry.out()) == ERROR_SUCCESS) {
            driver.clsidText = ReadString(entry.get(), "CLSID");
            driver.description = ReadString(entry.get(), "Description");
        }
        if (driver.description.empty()) driver.description = driver.name;
        std::u16string wide(driver.clsidText.begin(), driver.clsidText.end());
        driver.clsidValid = !wide.empty() && CLSIDFromString(wide.c_str(), &driver.clsid) == S_OK;
        drivers.push_back(std::move(driver));
    }
    return drivers;
}

}  // namespace vexa::asio_host
