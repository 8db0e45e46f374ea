// The registry (part of windows.h; include that), over the machine's registry
// store. HKEY_LOCAL_MACHINE is `\Registry\Machine`; HKEY_CLASSES_ROOT is its
// Software\Classes (the machine-wide part of the merged view). A 32-bit
// process sees the 32-bit view, as on 64-bit Windows: HKLM\Software\X is
// Software\WOW6432Node\X and HKCR\CLSID is HKCR\WOW6432Node\CLSID (the other
// classes keys are shared), unless KEY_WOW64_64KEY asks for the 64-bit view.
// String values travel in the ANSI code page (ISO-8859-1 here, so every byte
// round-trips) and keep exactly the bytes written: no terminator is added.
// Results are Win32 error codes.
#pragma once

struct RegistryKeyObject;
using HKEY = RegistryKeyObject*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using REGSAM = DWORD;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002));

// The value types (REG_SZ, REG_BINARY, ...) are the kernel's, in nt_types.h.

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// ERROR_FILE_NOT_FOUND when the key is missing.
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
// Creates every missing key on the way; `disposition` says whether it was new.
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM desired,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
// Needs KEY_SET_VALUE; ERROR_KEY_DELETED when the key has gone since it was opened.
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataBytes);
// Needs KEY_QUERY_VALUE. Without `data` only the type and size are told; a
// buffer too small answers ERROR_MORE_DATA with the size needed.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataBytes);
// Needs KEY_ENUMERATE_SUB_KEYS. Subkeys in name order; ERROR_NO_MORE_ITEMS
// past the last; ERROR_MORE_DATA when `nameChars` (with the NUL) is too small.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameChars, LPDWORD reserved, LPSTR keyClass,
                      LPDWORD classChars, FILETIME* lastWriteTime);
// Fails with ERROR_ACCESS_DENIED while the key has subkeys.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS RegCloseKey(HKEY key);
