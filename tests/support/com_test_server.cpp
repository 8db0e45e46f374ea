// Test equipment: a small in-process COM server with one class, built as a
// module the way the ASIO driver is, for the tests of COM activation and
// module loading.
#include <cstdlib>

#include "platform/kernel/barrier.h"
#include "platform/kernel/sync.h"
#include "support/com_test_server.h"

using vexa::test::ComServerCounts;
using vexa::test::ITestCounter;
using vexa::test::kComServerClass;

namespace {

volatile LONG g_liveObjects = 0;
volatile LONG g_serverLocks = 0;
LONG g_attaches = 0;  // DllMain runs under the loader lock
LONG g_detaches = 0;
void (*g_detachObserver)() = nullptr;

class Counter final : public ITestCounter {
public:
    Counter() { InterlockedIncrement(&g_liveObjects); }
    ~Counter() { InterlockedDecrement(&g_liveObjects); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == kComServerClass) {
            *object = static_cast<ITestCounter*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    ULONG STDMETHODCALLTYPE Increment() override { return static_cast<ULONG>(InterlockedIncrement(&count_)); }

private:
    volatile LONG references_ = 0;
    volatile LONG count_ = 0;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* counter = new Counter;
        counter->AddRef();
        HRESULT hr = counter->QueryInterface(riid, object);
        counter->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? InterlockedIncrement(&g_serverLocks) : InterlockedDecrement(&g_serverLocks);
        return S_OK;
    }

private:
    volatile LONG references_ = 0;
};

}  // namespace

VEXA_DLL_EXPORT BOOL DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ++g_attaches;
        return std::getenv(vexa::test::kComServerRefuseVariable) == nullptr ? TRUE : FALSE;
    }
    if (reason == DLL_PROCESS_DETACH) {
        ++g_detaches;
        if (g_detachObserver != nullptr) g_detachObserver();
    }
    return TRUE;
}

VEXA_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(riid == IID_IUnknown || riid == IID_IClassFactory)) return E_NOINTERFACE;
    if (!(clsid == kComServerClass)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new Factory;
    factory->AddRef();
    *object = static_cast<IClassFactory*>(factory);
    return S_OK;
}

VEXA_DLL_EXPORT HRESULT DllCanUnloadNow() {
    return ReadAcquire(&g_liveObjects) == 0 && ReadAcquire(&g_serverLocks) == 0 ? S_OK : S_FALSE;
}

VEXA_DLL_EXPORT ComServerCounts TestComServerCounts() {
    return ComServerCounts{g_attaches, g_detaches, ReadAcquire(&g_liveObjects), ReadAcquire(&g_serverLocks)};
}

VEXA_DLL_EXPORT void TestComServerObserveDetach(void (*observer)()) { g_detachObserver = observer; }
