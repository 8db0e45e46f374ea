// The non-delegating unknown, the class factory and the class table.
#define LOG_FILE_NUMBER 333

#include "com_server.h"

#include <new>

#include "asio_vexa.h"
#include "source/driver/usb/win/user_common/logger.h"

using namespace vexa::log;

namespace vexa::asio {

ModuleCounts g_moduleCounts = {0, 0};
HMODULE g_module = nullptr;

namespace {

constexpr ClassTemplate kClassTemplates[] = {
    {"ASIOVEXA", &CLSID_VexaAsio, CreateAsioVexa},
};

}  // namespace

HRESULT CanUnloadNow() {
    bool busy = ReadAcquire(&g_moduleCounts.liveObjects) != 0 || ReadAcquire(&g_moduleCounts.serverLocks) != 0;
    return busy ? S_FALSE : S_OK;
}

CUnknown::CUnknown(const char* name, IUnknown* outer)
    : name_(name), face_(*this), owner_(outer != nullptr ? outer : &face_) {
    InterlockedIncrement(&g_moduleCounts.liveObjects);
}

CUnknown::~CUnknown() { InterlockedDecrement(&g_moduleCounts.liveObjects); }

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown) {
        *object = &face_;
        NonDelegatingAddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() {
    LONG count = InterlockedIncrement(&references_);
    return static_cast<ULONG>(count > 1 ? count : 1);
}

ULONG CUnknown::NonDelegatingRelease() {
    LONG count = InterlockedDecrement(&references_);
    if (count == 0) {
        // A release made while the object is being destroyed (an aggregated
        // object releasing its owner, say) then cannot reach 0 a second time.
        WriteRelease(&references_, 1);
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count > 1 ? count : 1);
}

const ClassTemplate* FindClassTemplate(REFCLSID clsid) {
    for (const ClassTemplate& entry : kClassTemplates) {
        if (*entry.clsid == clsid) return &entry;
    }
    return nullptr;
}

// A factory keeps the module loaded as an object does: a host may hold one
// without a server lock and still call it after CoFreeUnusedLibraries.
CClassFactory::CClassFactory(const ClassTemplate& entry) : entry_(entry) {
    InterlockedIncrement(&g_moduleCounts.liveObjects);
}

CClassFactory::~CClassFactory() { InterlockedDecrement(&g_moduleCounts.liveObjects); }

HRESULT CClassFactory::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }

ULONG CClassFactory::Release() {
    LONG count = InterlockedDecrement(&references_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    // An aggregating owner may only ask for the inner object's own unknown.
    if (outer != nullptr && !(riid == IID_IUnknown)) return E_NOINTERFACE;
    HRESULT status = S_OK;
    CUnknown* created = entry_.create(outer, &status);
    if (created == nullptr) return E_OUTOFMEMORY;
    if (FAILED(status)) {
        TRACE(kLogError | kLogAsio, status);
        delete created;
        return status;
    }
    // The reference taken here keeps the object alive through a refused query.
    created->NonDelegatingAddRef();
    status = created->NonDelegatingQueryInterface(riid, object);
    created->NonDelegatingRelease();
    return status;
}

HRESULT CClassFactory::LockServer(BOOL lock) {
    if (lock) {
        InterlockedIncrement(&g_moduleCounts.serverLocks);
        return S_OK;
    }
    // An unlock without a lock is the caller's fault; the count never goes
    // below 0, which would keep the module loaded for good.
    for (LONG locks = ReadAcquire(&g_moduleCounts.serverLocks); locks > 0;) {
        LONG seen = InterlockedCompareExchange(&g_moduleCounts.serverLocks, locks - 1, locks);
        if (seen == locks) return S_OK;
        locks = seen;
    }
    TRACE(kLogWarning | kLogAsio);
    return S_OK;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(riid == IID_IUnknown || riid == IID_IClassFactory)) return E_NOINTERFACE;
    const ClassTemplate* entry = FindClassTemplate(clsid);
    if (entry == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) CClassFactory(*entry);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    *object = static_cast<IClassFactory*>(factory);
    return S_OK;
}

}  // namespace vexa::asio
