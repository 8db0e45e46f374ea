// The Reg* calls: an HKEY is this program's record of a key path, opened
// with some access, in the calling process's registry view; every call goes
// to the machine's registry through the process (user_registry.h).
#include <cstring>
#include <mutex>
#include <set>

#include "ansi.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/text.h"
#include "user_process.h"
#include "windows.h"

struct RegistryKeyObject {
    std::u16string path;  // full kernel path, in the view it was opened in
    REGSAM access;
};

namespace {

using platform::user_registry::Call;
using platform::user_registry::Op;
using platform::user_registry::Result;
using platform::win32::UserProcess;

constexpr std::u16string_view kMachine = u"\\Registry\\Machine";
constexpr std::u16string_view kSoftware = u"\\Registry\\Machine\\Software";
constexpr std::u16string_view kClasses = u"Classes";
constexpr std::u16string_view kClsid = u"Classes\\CLSID";
constexpr std::u16string_view kWow64Node = u"WOW6432Node";
constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

std::mutex g_keysLock;
std::set<HKEY> g_keys;  // guarded by g_keysLock: the open keys; any other HKEY is refused

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && platform::equal_case_insensitive(text.substr(0, prefix.size()), prefix) &&
           (text.size() == prefix.size() || text[prefix.size()] == u'\\');
}

// The 32-bit view of a path, as the registry redirector of 64-bit Windows gives it.
std::u16string View(std::u16string path, REGSAM access, bool is32Bit) {
    bool view32 = (access & KEY_WOW64_32KEY) != 0 || (is32Bit && (access & KEY_WOW64_64KEY) == 0);
    if (!view32 || !StartsWith(path, kSoftware) || path.size() == kSoftware.size()) return path;
    std::u16string rest = path.substr(kSoftware.size() + 1);
    if (StartsWith(rest, kWow64Node)) return path;
    if (StartsWith(rest, kClsid)) {
        return std::u16string(kSoftware) + u"\\Classes\\WOW6432Node\\" + rest.substr(kClasses.size() + 1);
    }
    if (StartsWith(rest, kClasses)) return path;
    return std::u16string(kSoftware) + u"\\WOW6432Node\\" + rest;
}

// The key an HKEY names, with the access it was opened with; false for a bad handle.
bool Resolve(HKEY key, std::u16string* path, REGSAM* access) {
    if (key == HKEY_LOCAL_MACHINE) {
        *path = kMachine;
        *access = KEY_ALL_ACCESS;
        return true;
    }
    if (key == HKEY_CLASSES_ROOT) {
        *path = std::u16string(kSoftware) + u"\\Classes";
        *access = KEY_ALL_ACCESS;
        return true;
    }
    std::lock_guard lock(g_keysLock);
    if (g_keys.count(key) == 0) return false;
    *path = key->path;
    *access = key->access;
    return true;
}

LSTATUS Error(NTSTATUS status) { return static_cast<LSTATUS>(RtlNtStatusToDosError(status)); }

// Runs a call for the calling process; a fault armed for `name` answers instead.
Result Run(const char* name, Call call) {
    if (auto status = platform::fault::hit(name)) return Result{*status, 0, 0, {}, {}};
    UserProcess* process = platform::win32::current_process();
    if (process == nullptr) return Result{STATUS_DEVICE_NOT_CONNECTED, 0, 0, {}, {}};
    return process->registry(call);
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Opens or creates `sub` under `key`, in the process's view, answering a new HKEY.
LSTATUS OpenOrCreate(const char* name, Op op, HKEY key, LPCSTR sub, REGSAM desired, PHKEY result,
                     LPDWORD disposition) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    std::u16string path;
    REGSAM access = 0;
    if (!Resolve(key, &path, &access)) return ERROR_INVALID_HANDLE;
    if (op == Op::CreateKey && (access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    if (sub != nullptr && *sub != 0) path += u"\\" + platform::win32::ansi_to_wide(sub);
    UserProcess* process = platform::win32::current_process();
    // A key opened in one view keeps its children in that view unless the call names another.
    REGSAM view = (desired & kViewBits) != 0 ? desired : desired | (access & kViewBits);
    path = View(std::move(path), view, process != nullptr && process->is_32bit());
    Result outcome = Run(name, Call{op, path, {}, 0, {}});
    if (!NT_SUCCESS(outcome.status)) return Error(outcome.status);
    if (disposition != nullptr) *disposition = outcome.disposition;
    auto* opened = new RegistryKeyObject{path, view};
    std::lock_guard lock(g_keysLock);
    g_keys.insert(opened);
    *result = opened;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    return OpenOrCreate("RegOpenKeyEx", Op::OpenKey, key, subKey, desired, result, nullptr);
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR, DWORD, REGSAM desired, LPSECURITY_ATTRIBUTES,
                        PHKEY result, LPDWORD disposition) {
    if (reserved != 0 || subKey == nullptr) return ERROR_INVALID_PARAMETER;
    return OpenOrCreate("RegCreateKeyEx", Op::CreateKey, key, subKey, desired, result, disposition);
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataBytes) {
    if (reserved != 0 || (data == nullptr && dataBytes != 0)) return ERROR_INVALID_PARAMETER;
    std::u16string path;
    REGSAM access = 0;
    if (!Resolve(key, &path, &access)) return ERROR_INVALID_HANDLE;
    if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    Call call{Op::SetValue, path, platform::win32::ansi_to_wide(valueName != nullptr ? valueName : ""), type, {}};
    if (IsString(type)) {
        // Stored as UTF-16, one unit per byte given: exactly these bytes come back.
        std::u16string wide = platform::win32::ansi_to_wide(
            std::string_view(reinterpret_cast<const char*>(data), dataBytes));
        call.data.resize(wide.size() * 2);
        if (!wide.empty()) std::memcpy(call.data.data(), wide.data(), call.data.size());
    } else if (dataBytes != 0) {
        call.data.assign(data, data + dataBytes);
    }
    Result outcome = Run("RegSetValueEx", std::move(call));
    return NT_SUCCESS(outcome.status) ? ERROR_SUCCESS : Error(outcome.status);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataBytes) {
    if (reserved != nullptr || (data != nullptr && dataBytes == nullptr)) return ERROR_INVALID_PARAMETER;
    std::u16string path;
    REGSAM access = 0;
    if (!Resolve(key, &path, &access)) return ERROR_INVALID_HANDLE;
    if ((access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    Result outcome = Run("RegQueryValueEx", Call{Op::QueryValue, path,
                                                 platform::win32::ansi_to_wide(valueName != nullptr ? valueName : ""),
                                                 0, {}});
    if (!NT_SUCCESS(outcome.status)) return Error(outcome.status);
    std::vector<uint8_t> bytes = std::move(outcome.data);
    if (IsString(outcome.type)) {
        std::u16string wide(bytes.size() / 2, u'\0');
        if (!wide.empty()) std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
        std::string ansi = platform::win32::wide_to_ansi(wide);
        bytes.assign(ansi.begin(), ansi.end());
    }
    if (type != nullptr) *type = outcome.type;
    if (dataBytes == nullptr) return ERROR_SUCCESS;
    auto size = static_cast<DWORD>(bytes.size());
    if (data != nullptr && *dataBytes < size) {
        *dataBytes = size;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && size != 0) std::memcpy(data, bytes.data(), size);
    *dataBytes = size;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved, LPSTR keyClass,
                      LPDWORD classChars, FILETIME* lastWriteTime) {
    if (name == nullptr || nameChars == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::u16string path;
    REGSAM access = 0;
    if (!Resolve(key, &path, &access)) return ERROR_INVALID_HANDLE;
    if ((access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    Result outcome = Run("RegEnumKeyEx", Call{Op::EnumKeys, path, {}, 0, {}});
    if (!NT_SUCCESS(outcome.status)) return Error(outcome.status);
    if (index >= outcome.names.size()) return ERROR_NO_MORE_ITEMS;
    std::string found = platform::win32::wide_to_ansi(outcome.names[index]);
    if (found.size() + 1 > *nameChars) return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameChars = static_cast<DWORD>(found.size());
    if (keyClass != nullptr && classChars != nullptr && *classChars != 0) {
        keyClass[0] = 0;
        *classChars = 0;
    }
    if (lastWriteTime != nullptr) *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::u16string path;
    REGSAM access = 0;
    if (!Resolve(key, &path, &access)) return ERROR_INVALID_HANDLE;
    if (*subKey != 0) path += u"\\" + platform::win32::ansi_to_wide(subKey);
    UserProcess* process = platform::win32::current_process();
    path = View(std::move(path), access, process != nullptr && process->is_32bit());
    Result outcome = Run("RegDeleteKey", Call{Op::DeleteKey, path, {}, 0, {}});
    return NT_SUCCESS(outcome.status) ? ERROR_SUCCESS : Error(outcome.status);
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
    {
        std::lock_guard lock(g_keysLock);
        if (g_keys.erase(key) == 0) return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}
