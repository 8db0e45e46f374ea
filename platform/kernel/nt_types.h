// Basic Windows kernel types as the drivers use them. Widths follow the LLP64
// model of 64-bit Windows: LONG and ULONG are 32 bits, pointers 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

using UCHAR = uint8_t;
using BYTE = uint8_t;
using CHAR = char;
using USHORT = uint16_t;
using SHORT = int16_t;
using ULONG = uint32_t;
using LONG = int32_t;
using ULONG64 = uint64_t;
using ULONGLONG = uint64_t;
using LONG64 = int64_t;
using LONGLONG = int64_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using BOOLEAN = uint8_t;
using WCHAR = char16_t;
using PWCH = WCHAR*;
using PCWSTR = const WCHAR*;
using PVOID = void*;
using HANDLE = void*;
using NTSTATUS = int32_t;
using KIRQL = uint8_t;
using ACCESS_MASK = uint32_t;

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
static_assert(sizeof(LARGE_INTEGER) == 8);

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    friend bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
};
static_assert(sizeof(GUID) == 16);

// Counted UTF-16 string; Length and MaximumLength are in bytes.
struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

template <size_t N>
constexpr UNICODE_STRING RtlConstantString(const char16_t (&text)[N]) {
    return UNICODE_STRING{static_cast<USHORT>((N - 1) * sizeof(WCHAR)), static_cast<USHORT>(N * sizeof(WCHAR)),
                          const_cast<PWCH>(text)};
}
#define RTL_CONSTANT_STRING(s) RtlConstantString(s)

void RtlInitUnicodeString(UNICODE_STRING* destination, PCWSTR source);
// Compares of two counted strings; case-insensitive ones fold ASCII and Latin-1 letters.
bool RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b, BOOLEAN caseInsensitive);

#define RtlZeroMemory(p, n) std::memset((p), 0, (n))
#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlFillMemory(p, n, v) std::memset((p), (v), (n))
#define RtlEqualMemory(a, b, n) (std::memcmp((a), (b), (n)) == 0)

// A file attribute both ZwCreateFile and CreateFile take.
inline constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x80;

// Registry value types, the same in the kernel and in user mode.
inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_EXPAND_SZ = 2;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;
inline constexpr ULONG REG_MULTI_SZ = 7;
inline constexpr ULONG REG_QWORD = 11;

#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)

enum MODE : uint8_t { KernelMode = 0, UserMode = 1 };
using KPROCESSOR_MODE = MODE;
