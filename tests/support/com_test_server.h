// Test equipment: what tests know of the small in-process COM server
// VexaTestComServer (com_test_server.cpp), which stands in for a real server
// while the ASIO driver is not there: its class, its one interface, its
// extra exports and the Windows path tests install it at.
#pragma once

#include "platform/win32/objbase.h"

namespace vexa::test {

inline constexpr const char* kComServerPath = "C:\\Windows\\System32\\VexaTestComServer.dll";
inline constexpr const char16_t* kComServerPathW = u"C:\\Windows\\System32\\VexaTestComServer.dll";

// The class, also the interface's id (the convention ASIO drivers follow).
inline constexpr CLSID kComServerClass = {0x5E7A1C00, 0x0D1E, 0x4B4F, {0x9A, 0x11, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71}};

struct ITestCounter : IUnknown {
    virtual ULONG STDMETHODCALLTYPE Increment() = 0;

protected:
    ~ITestCounter() = default;
};

// Extra exports: counts the server keeps, and a function DllMain calls at detach.
struct ComServerCounts {
    LONG attaches;
    LONG detaches;
    LONG liveObjects;
    LONG serverLocks;
};
using ComServerCountsFn = ComServerCounts (*)();
using ComServerObserveDetachFn = void (*)(void (*observer)());

// Set in the environment, it makes DllMain refuse the attach.
inline constexpr const char* kComServerRefuseVariable = "VEXA_TEST_COM_SERVER_REFUSE";

}  // namespace vexa::test
