// The module's five exports: what COM, regsvr32 and the loader call.
#define LOG_FILE_NUMBER 334

#include <cstdio>

#include "com_server.h"
#include "public/asio.h"
#include "registration.h"
#include "source/driver/usb/win/user_common/logger.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

using namespace vexa::asio;
using namespace vexa::log;

namespace {

constexpr const char* kModuleName = "QUVVexaUSBAsio64.dll";
constexpr const char* kThreadingModel = "Apartment";
constexpr HRESULT kRegistrationFailed = static_cast<HRESULT>(0xFFFFFFFF);
constexpr size_t kMessageBytes = 256;

// The class is the root's PAL interface class, as the two sides agree.
constexpr bool SameGuid(const GUID& a, const GUID& b) {
    bool same = a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
    for (int i = 0; i < 8; ++i) same = same && a.Data4[i] == b.Data4[i];
    return same;
}
static_assert(SameGuid(CLSID_VexaAsio, GUID_DEVINTERFACE_PAL));

HRESULT Report(const char* format, LONG code) {
    if (code == 0) return S_OK;
    TRACE(kLogError | kLogAsio, code);
    char text[kMessageBytes];
    std::snprintf(text, sizeof(text), format, kModuleName, static_cast<int>(code));
    MessageBoxA(nullptr, text, kAsioDriverName, MB_OK);
    return kRegistrationFailed;
}

}  // namespace

VEXA_DLL_EXPORT BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

VEXA_DLL_EXPORT HRESULT DllCanUnloadNow() { return CanUnloadNow(); }

VEXA_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    return GetClassObject(clsid, riid, object);
}

VEXA_DLL_EXPORT HRESULT DllRegisterServer() {
    return Report("Register %s failed (%d)",
                  RegisterAsioDriver(CLSID_VexaAsio, kModuleName, kAsioDriverName, kAsioDriverName, kThreadingModel));
}

VEXA_DLL_EXPORT HRESULT DllUnregisterServer() {
    return Report("Unregister %s failed (%d)", UnregisterAsioDriver(CLSID_VexaAsio, kModuleName, kAsioDriverName));
}
