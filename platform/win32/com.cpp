// COM activation of in-process servers from the registry, and GUID text.
#include <cstdio>
#include <map>
#include <mutex>

#include "objbase.h"
#include "platform/kernel/fault.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace {

// COM's initialisation of the calling thread.
struct Apartment {
    unsigned count = 0;
    DWORD kind = 0;
};
thread_local Apartment t_apartment;

// The servers COM has loaded, each held by one reference until it may unload.
std::mutex g_serversLock;
std::map<std::string, HMODULE> g_servers;  // guarded by g_serversLock: by lower-cased path

constexpr int kGuidChars = 39;  // "{8-4-4-4-12}" and the NUL

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `at`; false on anything else.
bool ReadHex(LPCOLESTR text, size_t at, int digits, uint64_t* value) {
    *value = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexDigit(text[at + static_cast<size_t>(i)]);
        if (d < 0) return false;
        *value = (*value << 4) | static_cast<uint64_t>(d);
    }
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// The InprocServer32 path registered for a class, in the calling process's view.
bool ServerPath(REFCLSID clsid, std::string* path) {
    OLECHAR text[kGuidChars];
    if (StringFromGUID2(clsid, text, kGuidChars) == 0) return false;
    std::string key = "CLSID\\";
    for (int i = 0; i < kGuidChars - 1; ++i) key += static_cast<char>(text[i]);
    key += "\\InprocServer32";
    HKEY server = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, &server) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD bytes = 0;
    LSTATUS status = RegQueryValueExA(server, nullptr, nullptr, &type, nullptr, &bytes);
    std::string value(bytes, '\0');
    if (status == ERROR_SUCCESS && bytes != 0) status = RegQueryValueExA(server, nullptr, nullptr, &type,
                                                                         reinterpret_cast<LPBYTE>(value.data()), &bytes);
    RegCloseKey(server);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    value.resize(bytes);
    // Written with or without its terminator: the path ends at the first NUL.
    if (size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
    *path = value;
    return !value.empty();
}

// The server's module, loaded once for COM.
HRESULT Server(const std::string& path, HMODULE* module) {
    std::lock_guard lock(g_serversLock);
    auto it = g_servers.find(Lower(path));
    if (it != g_servers.end()) {
        *module = it->second;
        return S_OK;
    }
    HMODULE loaded = LoadLibraryA(path.c_str());
    if (loaded == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    g_servers[Lower(path)] = loaded;
    *module = loaded;
    return S_OK;
}

}  // namespace

HRESULT CoInitialize(LPVOID reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    if (reserved != nullptr || (coInit != COINIT_APARTMENTTHREADED && coInit != COINIT_MULTITHREADED)) {
        return E_INVALIDARG;
    }
    if (t_apartment.count != 0 && t_apartment.kind != coInit) return RPC_E_CHANGED_MODE;
    t_apartment.kind = coInit;
    return t_apartment.count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (t_apartment.count != 0) --t_apartment.count;
}

HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (t_apartment.count == 0) return CO_E_NOTINITIALIZED;
    if ((context & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    std::string path;
    if (!ServerPath(clsid, &path)) return REGDB_E_CLASSNOTREG;
    HMODULE module = nullptr;
    if (HRESULT hr = Server(path, &module); FAILED(hr)) return hr;
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
    if (getClassObject == nullptr) return CO_E_ERRORINDLL;
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<LPVOID*>(&factory));
    if (FAILED(hr)) return hr;
    if (factory == nullptr) return CO_E_ERRORINDLL;
    hr = factory->CreateInstance(outer, riid, object);
    factory->Release();
    return hr;
}

void CoFreeUnusedLibraries() {
    std::lock_guard lock(g_serversLock);
    for (auto it = g_servers.begin(); it != g_servers.end();) {
        auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(GetProcAddress(it->second, "DllCanUnloadNow"));
        if (canUnload != nullptr && canUnload() == S_OK) {
            FreeLibrary(it->second);
            it = g_servers.erase(it);
        } else {
            ++it;
        }
    }
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    if (text == nullptr || clsid == nullptr) return E_INVALIDARG;
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    size_t length = 0;
    while (length < kGuidChars && text[length] != 0) ++length;
    if (length != kGuidChars - 1 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-') {
        return CO_E_CLASSSTRING;
    }
    uint64_t data1 = 0;
    uint64_t data2 = 0;
    uint64_t data3 = 0;
    if (!ReadHex(text, 1, 8, &data1) || !ReadHex(text, 10, 4, &data2) || !ReadHex(text, 15, 4, &data3)) {
        return CO_E_CLASSSTRING;
    }
    GUID guid{static_cast<uint32_t>(data1), static_cast<uint16_t>(data2), static_cast<uint16_t>(data3), {}};
    constexpr size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        uint64_t byte = 0;
        if (!ReadHex(text, kByteAt[i], 2, &byte)) return CO_E_CLASSSTRING;
        guid.Data4[i] = static_cast<uint8_t>(byte);
    }
    *clsid = guid;
    return NOERROR;
}

int StringFromGUID2(REFGUID guid, LPOLESTR text, int maxChars) {
    if (text == nullptr || maxChars < kGuidChars) return 0;
    if (platform::fault::hit("StringFromGUID2")) return 0;
    char narrow[kGuidChars + 1];
    std::snprintf(narrow, sizeof(narrow), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    for (int i = 0; i < kGuidChars; ++i) text[i] = static_cast<OLECHAR>(narrow[i]);
    return kGuidChars;
}
