// COM as the system uses it: in-process servers only. CoCreateInstance finds
// the server under HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 (in the
// calling process's registry view, so a 32-bit process does not see a 64-bit
// server: REGDB_E_CLASSNOTREG), loads it with LoadLibrary, asks its
// DllGetClassObject for the class factory and creates the object through it.
// COM keeps the server loaded until CoFreeUnusedLibraries finds that its
// DllCanUnloadNow allows the unload. Apartments are recorded per thread but
// not enforced: an object is called on whichever thread holds its pointer.
#pragma once

#include "windows.h"

using HRESULT = LONG;
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;
using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

#define STDMETHODCALLTYPE
#define STDAPI extern "C" HRESULT

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return error == 0 ? 0 : static_cast<HRESULT>((error & 0xFFFF) | 0x80070000u);
}

#define HRESULT_VALUE(v) static_cast<HRESULT>(static_cast<uint32_t>(v))
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT NOERROR = 0;
inline constexpr HRESULT E_NOTIMPL = HRESULT_VALUE(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = HRESULT_VALUE(0x80004002);
inline constexpr HRESULT E_POINTER = HRESULT_VALUE(0x80004003);
inline constexpr HRESULT E_FAIL = HRESULT_VALUE(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = HRESULT_VALUE(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = HRESULT_VALUE(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = HRESULT_VALUE(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HRESULT_VALUE(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = HRESULT_VALUE(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = HRESULT_VALUE(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = HRESULT_VALUE(0x800401F3);
inline constexpr HRESULT CO_E_ERRORINDLL = HRESULT_VALUE(0x800401F9);
inline constexpr HRESULT RPC_E_CHANGED_MODE = HRESULT_VALUE(0x80010106);

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = 0x17;

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

// The interfaces' slots are called through the vtable, as COM calls them; an
// object frees itself in Release, so no interface has a virtual destructor.
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;

// What an in-process server exports.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID riid, LPVOID* object);
using DllCanUnloadNowFn = HRESULT (*)();

// S_OK for the thread's first initialisation, S_FALSE for each further one of
// the same kind, RPC_E_CHANGED_MODE for another kind (not counted).
HRESULT CoInitialize(LPVOID reserved);
HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit);
void CoUninitialize();
// CO_E_NOTINITIALIZED on a thread that has not initialised COM.
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID riid, LPVOID* object);
void CoFreeUnusedLibraries();
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in either case; CO_E_CLASSSTRING otherwise.
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
// Upper-case registry form with braces; the characters written with the NUL (39), or 0 when they do not fit.
int StringFromGUID2(REFGUID guid, LPOLESTR text, int maxChars);
