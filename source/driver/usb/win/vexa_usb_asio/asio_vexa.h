// AsioVexa: the driver object an ASIO host creates through the module's class
// factory. It holds one connection to the root driver's ASIO interface (an
// "\ASIO" handle), turns each IASIO call into the matching request or answers
// it from what it cached, and runs the notification thread that calls the
// host's buffer switch and messages.
//
// Threads: the host calls IASIO from its own threads; the notification
// thread (notification_thread.cpp) is the only one that calls the host's
// buffer switch. Locks, taken in this order: callbackMutex_ (recursive, held
// by the notification thread for each of its calls into the host, so a host
// may call stop or disposeBuffers from inside a callback; never held by a
// host's own thread while it calls the host), then infoMutex_.
//
// A host owns its reference and may release the driver from inside any
// callback. A call the host made into the driver (createBuffers,
// setSampleRate) holds a reference of its own across its calls back into
// the host (HostCall), so the object goes when that call is done. On the
// notification thread the object goes inside the callback, and the thread's
// frame tells it to touch nothing after (a reference held there would move
// the last release of a host's own thread onto the notification thread).
//
// The connection is lost when the root refuses a request because its device
// went, or the notification thread's wait fails: the host is asked to reset,
// and nothing reads or writes the shared block from then on.
#pragma once

#include "com_server.h"
#include "platform/win32/windows.h"
#include "public/asio.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/asio_interface.h"

namespace vexa::asio {

// The class factory's creation function for "ASIOVEXA".
CUnknown* CreateAsioVexa(IUnknown* outer, HRESULT* status);

// The notification thread's own record, on its stack. A host that releases
// the driver from inside a callback destroys the object on that thread; the
// destructor marks the record, and the thread then leaves without touching
// the object again.
struct NotificationFrame {
    bool objectGone = false;
};

// A reference on the driver object for the length of a call into the host
// made from a call of the host's.
class HostCall {
public:
    explicit HostCall(IUnknown* object) : object_(object) { object_->AddRef(); }
    ~HostCall() { object_->Release(); }
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;

private:
    IUnknown* object_;
};

class AsioVexa final : public IASIO, public CUnknown {
public:
    // `status` receives the failure of a step the object cannot live without.
    AsioVexa(IUnknown* outer, HRESULT* status);
    ~AsioVexa() override;

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;

    // IUnknown, forwarded to the owner (the outer unknown when aggregated).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return GetOwner()->QueryInterface(riid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return GetOwner()->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return GetOwner()->Release(); }

    // IASIO
    ASIOBool STDMETHODCALLTYPE init(void* sysHandle) override;
    void STDMETHODCALLTYPE getDriverName(char* name) override;
    int32_t STDMETHODCALLTYPE getDriverVersion() override;
    void STDMETHODCALLTYPE getErrorMessage(char* text) override;
    ASIOError STDMETHODCALLTYPE start() override;
    ASIOError STDMETHODCALLTYPE stop() override;
    ASIOError STDMETHODCALLTYPE getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError STDMETHODCALLTYPE getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
    ASIOError STDMETHODCALLTYPE getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                              int32_t* granularity) override;
    ASIOError STDMETHODCALLTYPE canSampleRate(ASIOSampleRate rate) override;
    ASIOError STDMETHODCALLTYPE getSampleRate(ASIOSampleRate* rate) override;
    ASIOError STDMETHODCALLTYPE setSampleRate(ASIOSampleRate rate) override;
    ASIOError STDMETHODCALLTYPE getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
    ASIOError STDMETHODCALLTYPE setClockSource(int32_t index) override;
    ASIOError STDMETHODCALLTYPE getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) override;
    ASIOError STDMETHODCALLTYPE getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError STDMETHODCALLTYPE createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                              ASIOCallbacks* callbacks) override;
    ASIOError STDMETHODCALLTYPE disposeBuffers() override;
    ASIOError STDMETHODCALLTYPE controlPanel() override;
    ASIOError STDMETHODCALLTYPE future(int32_t selector, void* opt) override;
    ASIOError STDMETHODCALLTYPE outputReady() override;

    // The notification thread's body (notification_thread.cpp), and its reference to the module.
    void RunNotifications();
    HMODULE ThreadModule() const { return threadModule_; }

private:
    enum EventIndex : DWORD { kSwitchEvent, kResetEvent, kResyncEvent, kLatencyEvent, kEventCount };

    // What the host answered about itself at createBuffers.
    struct HostAnswers {
        bool timeInfoMode = false;
        bool supportsResync = false;
        bool supportsBufferSizeChange = false;
        bool supportsLatencyChange = false;
    };

    // asio_connection.cpp
    // A failure that means the root's side is gone marks the connection lost.
    [[nodiscard]] bool Request(DWORD code, void* input, DWORD inputBytes, void* output, DWORD outputBytes);
    [[nodiscard]] ASIOError SendRequest(DWORD code, ULONG value = 0);
    DWORD OpenInterface();
    [[nodiscard]] bool ReadInfo(AsioDeviceInfo* info);
    void StoreInfo(const AsioDeviceInfo& info);
    [[nodiscard]] ASIOError RefreshInfo();
    bool OpenSession();
    void CloseConnection();
    void SetError(const char* format, ULONG value = 0);
    void LoseConnection(DWORD error);
    bool ConnectionLost() const { return ReadAcquire(&connectionLost_) != 0; }
    // Initialised, with the connection and its shared block still there.
    bool Connected() const { return ReadAcquire(&initialised_) != 0 && !ConnectionLost(); }

    // asio_buffers.cpp
    bool HasCallbacks();
    static HostAnswers AskHost(const ASIOCallbacks& callbacks);

    // notification_thread.cpp
    void OnSwitch(NotificationFrame& frame);
    bool DispatchSwitch(LONG index, NotificationFrame& frame);
    // `refresh`: read the device information again first (not once the connection is lost).
    void ResetRequest(NotificationFrame& frame, bool refresh = true);
    void RequestOrReset(NotificationFrame& frame, int32_t selector);

    // Set by init before the notification thread starts and cleared by the
    // destructor after it has ended (a failing init resets them at once);
    // the thread only reads them.
    HANDLE deviceHandle_ = INVALID_HANDLE_VALUE;
    ULONG64 context_ = 0;
    HANDLE events_[kEventCount] = {};
    AsioSharedBlock* block_ = nullptr;  // the root's block, mapped into this process
    HANDLE notificationThread_ = nullptr;
    DWORD threadId_ = 0;
    HMODULE threadModule_ = nullptr;  // the thread's own reference to the module, let go as it ends
    NotificationFrame* threadFrame_ = nullptr;  // the notification thread's alone

    // The thread's run flag: set (release) before the thread starts and
    // cleared (release) by the destructor; read with acquire.
    volatile LONG initialised_ = 0;
    // Written under callbackMutex_ (release); the thread reads it (acquire)
    // before taking the mutex and again under it, so no callback starts
    // after stop or disposeBuffers has cleared it.
    volatile LONG started_ = 0;
    // Set once (release) when the connection is lost, cleared only by
    // CloseConnection; read with acquire before every use of block_.
    volatile LONG connectionLost_ = 0;

    HANDLE callbackMutex_ = nullptr;
    ASIOCallbacks* callbacks_ = nullptr;  // guarded by callbackMutex_; null while no buffers exist
    ASIOTime asioTime_{};                 // guarded by callbackMutex_
    HostAnswers host_;                    // guarded by callbackMutex_
    ULONG bufferSize_ = 0;                // guarded by callbackMutex_: frames per half
    ULONG64 expectedSamplePosition_ = 0;  // guarded by callbackMutex_

    bool reportSizeRange_ = true;  // set at construction: false for a host that wants one fixed size

    HANDLE infoMutex_ = nullptr;
    // Guarded by infoMutex_; written with release so the thread may read it
    // without the lock (acquire).
    volatile ULONG sampleRate_ = 0;  // Hz
    ULONG outputCount_ = 0;          // guarded by infoMutex_: at most kAsioMaxChannels
    ULONG inputCount_ = 0;           // guarded by infoMutex_
    char outputNames_[kAsioMaxChannels][kAsioNameBytes] = {};  // guarded by infoMutex_: each terminated
    char inputNames_[kAsioMaxChannels][kAsioNameBytes] = {};   // guarded by infoMutex_
    ULONG activeOutputs_[kAsioMaxChannels] = {};  // guarded by infoMutex_: in the host's order
    ULONG activeInputs_[kAsioMaxChannels] = {};   // guarded by infoMutex_
    ULONG activeOutputCount_ = 0;                 // guarded by infoMutex_
    ULONG activeInputCount_ = 0;                  // guarded by infoMutex_

    char errorText_[128] = {};  // init's last failure, for getErrorMessage
};

// Holds a Win32 mutex for a scope (an abandoned one is held all the same).
// With `gone`, the release is skipped once the object that owns the mutex
// has been destroyed under the holder: its handle is closed by then.
class MutexLock {
public:
    explicit MutexLock(HANDLE mutex, const bool* gone = nullptr);
    ~MutexLock();
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    bool held() const { return held_; }

private:
    HANDLE mutex_;
    const bool* gone_;
    bool held_;
};

// The notification thread's routine; the parameter is the AsioVexa.
DWORD AsioNotificationThread(LPVOID parameter);

}  // namespace vexa::asio
