// The module's COM rules, on both roads: the class object for its one class
// only, out-pointers nulled on failure, aggregation, QueryInterface identity,
// the last Release, server locks, unloading, and the module's counts under
// eight threads at once.
#include <atomic>
#include <thread>

#include "asio_fixture.h"
#include "platform/kernel/ntstatus.h"

namespace {

using namespace vexa::test;
using vexa::asio::CLSID_VexaAsio;

// The module loaded for its exports, let go at the end.
class Exports {
public:
    Exports() : module_(LoadLibraryA(kAsioModulePath)) {
        EXPECT_NE(module_, nullptr);
        getClassObject = reinterpret_cast<DllGetClassObjectFn>(GetProcAddress(module_, "DllGetClassObject"));
        canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(GetProcAddress(module_, "DllCanUnloadNow"));
    }
    ~Exports() { FreeLibrary(module_); }
    Exports(const Exports&) = delete;
    Exports& operator=(const Exports&) = delete;

    IClassFactory* factory() {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(getClassObject(CLSID_VexaAsio, IID_IClassFactory, reinterpret_cast<LPVOID*>(&factory)), S_OK);
        return factory;
    }

    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;

private:
    HMODULE module_;
};

// An aggregating object: counts the references its inner object forwards to it.
class Outer final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return inner != nullptr ? inner->QueryInterface(riid, object) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    IUnknown* inner = nullptr;
    ULONG references = 1;
};

using ComServerTest = AsioDriverTest;

// Only the driver's class is served, and only as IUnknown or IClassFactory; every failure nulls the out-pointer.
TEST_P(ComServerTest, ClassObjectForItsClassOnly) {
    Exports exports;
    CLSID other = CLSID_VexaAsio;
    other.Data1 ^= 1;
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(exports.getClassObject(other, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(exports.getClassObject(CLSID_VexaAsio, CLSID_VexaAsio, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(exports.getClassObject(CLSID_VexaAsio, IID_IClassFactory, nullptr), E_POINTER);

    IUnknown* unknown = nullptr;
    ASSERT_EQ(exports.getClassObject(CLSID_VexaAsio, IID_IUnknown, reinterpret_cast<LPVOID*>(&unknown)), S_OK);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(factory), unknown);
    object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->QueryInterface(CLSID_VexaAsio, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(exports.canUnloadNow(), S_FALSE) << "a factory a host holds keeps the module";
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(unknown->Release(), 0u);
    EXPECT_EQ(exports.canUnloadNow(), S_OK);
}

// Aggregated, the object hands its owner only its own unknown, and its IASIO counts on the owner.
TEST_P(ComServerTest, AggregationForwardsToTheOwner) {
    Exports exports;
    IClassFactory* factory = exports.factory();
    Outer outer;
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(&outer, CLSID_VexaAsio, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(exports.canUnloadNow(), S_FALSE) << "the factory lives";

    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    EXPECT_EQ(outer.references, 1u) << "making the inner object takes no reference of the owner";
    IASIO* asio = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(CLSID_VexaAsio, reinterpret_cast<void**>(&asio)), S_OK);
    EXPECT_EQ(outer.references, 2u) << "the interface's reference is the owner's";
    IUnknown* viaInterface = nullptr;
    ASSERT_EQ(asio->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaInterface)), S_OK);
    EXPECT_EQ(viaInterface, static_cast<IUnknown*>(&outer)) << "the interface answers the owner's identity";
    viaInterface->Release();
    asio->Release();
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(outer.inner->Release(), 0u) << "the owner's last release of the inner object destroys it";
    factory->Release();
    EXPECT_EQ(exports.canUnloadNow(), S_OK);
}

// Through activation: one IUnknown identity, the interface found from it again, other interfaces refused, counts
// returned by AddRef and Release, and the last Release ending the object and letting the module go.
TEST_P(ComServerTest, IdentityAndLastRelease) {
    IASIO* asio = create();
    ASSERT_NE(asio, nullptr);
    IUnknown* first = nullptr;
    IUnknown* second = nullptr;
    ASSERT_EQ(asio->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&first)), S_OK);
    ASSERT_EQ(asio->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&second)), S_OK);
    EXPECT_EQ(first, second);
    IASIO* again = nullptr;
    ASSERT_EQ(first->QueryInterface(CLSID_VexaAsio, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, asio);
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(asio->QueryInterface(IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(asio->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(asio->AddRef(), 5u);
    EXPECT_EQ(asio->Release(), 4u);
    first->Release();
    second->Release();
    again->Release();

    CoFreeUnusedLibraries();
    EXPECT_TRUE(module_loaded()) << "the object lives";
    EXPECT_EQ(release(asio), 0u);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(module_loaded()) << "nothing of the module lives: unloaded";
}

// A server lock keeps the module until it is undone; an unlock without a lock does not make the count negative
// (which would keep the module loaded for good).
TEST_P(ComServerTest, ServerLocksKeepTheModule) {
    Exports exports;
    IClassFactory* factory = exports.factory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(exports.canUnloadNow(), S_FALSE);
    IClassFactory* another = exports.factory();
    EXPECT_EQ(another->LockServer(FALSE), S_OK);
    EXPECT_EQ(another->LockServer(FALSE), S_OK);
    EXPECT_EQ(another->Release(), 0u);
    EXPECT_EQ(exports.canUnloadNow(), S_OK);
    another = exports.factory();
    EXPECT_EQ(another->LockServer(TRUE), S_OK);
    EXPECT_EQ(another->Release(), 0u);
    EXPECT_EQ(exports.canUnloadNow(), S_FALSE) << "one lock is one lock, whatever came before";
    another = exports.factory();
    EXPECT_EQ(another->LockServer(FALSE), S_OK);
    EXPECT_EQ(another->Release(), 0u);
    EXPECT_EQ(exports.canUnloadNow(), S_OK);
}

// Eight threads creating, referencing, locking and releasing at once: no count is lost or doubled, DllCanUnloadNow
// never answers S_OK while anything of theirs lives, and answers it once all is gone.
TEST_P(ComServerTest, CountsHoldUnderEightThreads) {
    Exports exports;
    IClassFactory* factory = exports.factory();
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<int> ready{0};
    std::atomic<bool> early{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, process = process_] {
            platform::win32::ScopedProcess as(process);
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                factory->AddRef();
                factory->LockServer(TRUE);
                IASIO* asio = nullptr;
                if (factory->CreateInstance(nullptr, CLSID_VexaAsio, reinterpret_cast<void**>(&asio)) != S_OK) {
                    early = true;
                    continue;
                }
                asio->AddRef();
                if (exports.canUnloadNow() != S_FALSE) early = true;
                asio->Release();
                factory->LockServer(FALSE);
                if (exports.canUnloadNow() != S_FALSE) early = true;
                asio->Release();
                factory->Release();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(early) << "S_OK while an object or a lock of a thread lived";
    EXPECT_EQ(exports.canUnloadNow(), S_FALSE) << "the test's own factory lives";
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(exports.canUnloadNow(), S_OK);
}

// An object that cannot make its callback mutex is not handed out: the factory reports the failure and nothing of
// the object stays behind.
TEST_P(ComServerTest, FailedMutexFailsTheCreation) {
    Exports exports;
    IClassFactory* factory = exports.factory();
    // A first object makes the logger client's mutex, which lives as long as the module.
    IASIO* asio = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_VexaAsio, reinterpret_cast<void**>(&asio)), S_OK);
    asio->Release();
    for (unsigned skip : {0u, 1u}) {
        platform::fault::inject("CreateMutex", STATUS_INSUFFICIENT_RESOURCES, skip);
        asio = reinterpret_cast<IASIO*>(0x1);
        EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_VexaAsio, reinterpret_cast<void**>(&asio)),
                  HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES))
            << "mutex " << skip;
        EXPECT_EQ(asio, nullptr);
        platform::fault::clear();
    }
    factory->Release();
    EXPECT_EQ(exports.canUnloadNow(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Roads, ComServerTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
