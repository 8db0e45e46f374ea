// The COM plumbing the module carries itself: the non-delegating unknown
// every object of the module is built on, the one class factory, the class
// table and the module-wide counts that decide whether the module may unload.
#pragma once

#include "platform/win32/objbase.h"

namespace vexa::asio {

// What keeps the module loaded; each count changes only by interlocked
// operations, so DllCanUnloadNow reads a count no thread is halfway through.
// (A notification thread holds a reference to the module itself.)
struct ModuleCounts {
    volatile LONG liveObjects;  // CUnknowns and class factories alive
    volatile LONG serverLocks;  // LockServer(TRUE) not yet undone
};
extern ModuleCounts g_moduleCounts;
// The module's own handle, from DllMain.
extern HMODULE g_module;

// S_FALSE while any count is nonzero, else S_OK.
HRESULT CanUnloadNow();

// The non-delegating unknown of an object that may be aggregated. Its
// IUnknown face (`NonDelegatingUnknown()`) is what the class factory hands
// out for IID_IUnknown; an object's other interfaces forward their IUnknown
// slots to `GetOwner()`: the outer unknown when aggregated, else that face.
class CUnknown {
public:
    CUnknown(const char* name, IUnknown* outer);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** object);
    // The new count, at least 1.
    ULONG NonDelegatingAddRef();
    // Deletes the object at 0 and answers 0; else the count, at least 1.
    ULONG NonDelegatingRelease();

    IUnknown* GetOwner() const { return owner_; }
    IUnknown* NonDelegatingUnknown() { return &face_; }
    const char* Name() const { return name_; }

private:
    // The three IUnknown slots of the non-delegating face, as its own small
    // object so it never shares a vtable slot with an aggregating interface.
    class Face final : public IUnknown {
    public:
        explicit Face(CUnknown& object) : object_(object) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
            return object_.NonDelegatingQueryInterface(riid, object);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return object_.NonDelegatingAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return object_.NonDelegatingRelease(); }

    private:
        CUnknown& object_;
    };

    const char* name_;
    Face face_;
    IUnknown* owner_;
    volatile LONG references_ = 0;  // interlocked
};

// Makes the object of a class for `outer`; null when it cannot be allocated.
// `status` receives a failure the object met while being built (the object
// is then returned all the same, for the factory to delete).
using CreateInstanceFn = CUnknown* (*)(IUnknown* outer, HRESULT* status);

struct ClassTemplate {
    const char* name;
    const CLSID* clsid;
    CreateInstanceFn create;
};

// The module's classes.
const ClassTemplate* FindClassTemplate(REFCLSID clsid);

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(const ClassTemplate& entry);
    ~CClassFactory();
    CClassFactory(const CClassFactory&) = delete;
    CClassFactory& operator=(const CClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    volatile LONG references_ = 0;  // interlocked
    const ClassTemplate& entry_;
};

// DllGetClassObject's work: a factory for a class of the table.
HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object);

}  // namespace vexa::asio
