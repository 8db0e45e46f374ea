// Bounded formatting into wide strings, as the kernel's safe-string helpers
// offer it: the result always ends in a NUL (or, for a counted string, fits
// its buffer), and a result cut to fit says so with STATUS_BUFFER_OVERFLOW.
// The conversions the drivers use: %d %i %u %x %X (with flags, width and
// precision; l and ll for 32- and 64-bit), %c, %s (a wide string), %S (an
// ANSI string, converted byte for byte as the Latin-1 code page), %%.
#pragma once

#include "nt_types.h"

// Into `destination` of `capacity` characters (NUL included). A capacity of 0
// or a null destination or format: STATUS_INVALID_PARAMETER.
NTSTATUS RtlStringCchPrintfW(WCHAR* destination, size_t capacity, PCWSTR format, ...);
// Into the buffer of a counted string (MaximumLength bytes, no NUL kept);
// Length is set to what was written.
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING destination, PCWSTR format, ...);

// A counted string over a local buffer of `chars` characters.
#define DECLARE_UNICODE_STRING_SIZE(name, chars)                                                     \
    WCHAR name##_buffer[chars];                                                                      \
    UNICODE_STRING name = {0, static_cast<USHORT>((chars) * sizeof(WCHAR)), name##_buffer}
