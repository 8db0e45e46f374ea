#include "windows_version.h"

namespace {

constexpr ULONG kWindows8Major = 6;
constexpr ULONG kWindows8Minor = 2;

}  // namespace

POOL_TYPE g_nonPagedPool = NonPagedPool;
bool g_mappingNoExecute = false;

void ReadWindowsVersion() {
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!NT_SUCCESS(RtlGetVersion(&version))) return;
    bool windows8 = version.dwMajorVersion > kWindows8Major ||
                    (version.dwMajorVersion == kWindows8Major && version.dwMinorVersion >= kWindows8Minor);
    g_nonPagedPool = windows8 ? NonPagedPoolNx : NonPagedPool;
    g_mappingNoExecute = windows8;
}
