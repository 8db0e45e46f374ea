// The ASIO driver's tests: the module installed at its Windows path on a
// machine whose "root" is the scripted stand-in, reached on either road; the
// driver registered and created through COM activation as a host creates it;
// a test host whose callbacks record every call; Sleep hooked, so the
// driver's retries and pauses are recorded and cost no wall time.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/fault.h"
#include "platform/kernel/pnp_notify.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/installed_files.h"
#include "platform/machine/pnp_manager.h"
#include "platform/win32/avrt.h"
#include "platform/win32/objbase.h"
#include "platform/win32/shellapi.h"
#include "source/driver/usb/win/vexa_usb_asio/public/asio.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/asio_interface.h"
#include "support/road_fixture.h"
#include "support/scripted_asio_root.h"

namespace vexa::test {

inline constexpr const char* kAsioModulePath = "C:\\Windows\\System32\\QUVVexaUSBAsio64.dll";
inline constexpr const char16_t* kAsioModulePathW = u"C:\\Windows\\System32\\QUVVexaUSBAsio64.dll";
inline constexpr auto kPatience = std::chrono::seconds(20);

// Waits, without sleeping, until `done` holds; false when it never does.
template <typename Predicate>
bool WaitUntil(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// The scripted root's image, loaded afresh for each test (its state with it).
class ScriptedRootImage {
public:
    ScriptedRootImage() {
        module_ = dlopen(VEXA_SCRIPTED_ASIO_ROOT, RTLD_NOW | RTLD_LOCAL);
        if (module_ == nullptr) throw std::runtime_error(dlerror());
        root_ = reinterpret_cast<ScriptedAsioRootFn>(dlsym(module_, "VexaScriptedAsioRoot"))();
        root_->reset_script();
    }
    ~ScriptedRootImage() { dlclose(module_); }
    ScriptedRootImage(const ScriptedRootImage&) = delete;
    ScriptedRootImage& operator=(const ScriptedRootImage&) = delete;
    ScriptedAsioRoot& root() { return *root_; }

private:
    void* module_;
    ScriptedAsioRoot* root_;
};

// What the test host was called with.
struct HostCall {
    enum Kind { kSwitch, kSwitchTimeInfo, kMessage, kRateChange } kind;
    int32_t index = 0;            // switches
    ASIOBool directProcess = 0;   // switches
    ASIOTimeInfo timeInfo{};      // kSwitchTimeInfo
    int32_t selector = 0;         // kMessage
    int32_t value = 0;            // kMessage
    double rate = 0;              // kRateChange
    DWORD threadId = 0;
    int priority = 0;
};

// An ASIO host's callbacks. The callbacks record is plain functions, so one
// host is current at a time (set by the fixture).
class TestHost {
public:
    TestHost() {
        current() = this;
        callbacks.bufferSwitch = &TestHost::BufferSwitch;
        callbacks.sampleRateDidChange = &TestHost::RateChanged;
        callbacks.asioMessage = &TestHost::Message;
        callbacks.bufferSwitchTimeInfo = &TestHost::BufferSwitchTimeInfo;
    }
    ~TestHost() { current() = nullptr; }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    static TestHost*& current() {
        static TestHost* host = nullptr;
        return host;
    }

    // The answer to asioMessage(selector, value); 0 when none is set.
    void answer(int32_t selector, int32_t value, int32_t answer) {
        std::lock_guard guard(lock_);
        answers_[{selector, value}] = answer;
    }
    void supports(int32_t selector) { answer(kAsioSelectorSupported, selector, 1); }

    std::vector<HostCall> calls() {
        std::lock_guard guard(lock_);
        return calls_;
    }
    std::vector<HostCall> calls(HostCall::Kind kind) {
        std::vector<HostCall> some;
        for (const HostCall& call : calls()) {
            if (call.kind == kind) some.push_back(call);
        }
        return some;
    }
    // The selectors of the messages, in order (kAsioSelectorSupported as 1000 + the selector asked about).
    std::vector<int32_t> messages() {
        std::vector<int32_t> selectors;
        for (const HostCall& call : calls(HostCall::kMessage)) {
            selectors.push_back(call.selector == kAsioSelectorSupported ? 1000 + call.value : call.selector);
        }
        return selectors;
    }
    void clear() {
        std::lock_guard guard(lock_);
        calls_.clear();
    }
    // Until `count` calls of `kind` have been made.
    bool wait_for(HostCall::Kind kind, size_t count) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, kPatience, [&] {
            size_t seen = 0;
            for (const HostCall& call : calls_) seen += call.kind == kind ? 1 : 0;
            return seen >= count;
        });
    }
    bool wait_for_message(int32_t selector, size_t count = 1) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, kPatience, [&] {
            size_t seen = 0;
            for (const HostCall& call : calls_) seen += call.kind == HostCall::kMessage && call.selector == selector;
            return seen >= count;
        });
    }

    // What the host does inside its buffer switch (either form), its message entry and sampleRateDidChange, after
    // the call is recorded; null to do nothing. Each call runs its own copy, so a callback may replace itself.
    void on_switch(std::function<void()> action) {
        std::lock_guard guard(lock_);
        inSwitch_ = std::move(action);
    }
    void on_message(std::function<void(int32_t selector)> action) {
        std::lock_guard guard(lock_);
        inMessage_ = std::move(action);
    }
    void on_rate_change(std::function<void()> action) {
        std::lock_guard guard(lock_);
        inRateChange_ = std::move(action);
    }

    ASIOCallbacks callbacks{};

private:
    std::function<void()> record(HostCall call) {
        call.threadId = GetCurrentThreadId();
        call.priority = GetThreadPriority(GetCurrentThread());
        std::lock_guard guard(lock_);
        calls_.push_back(call);
        changed_.notify_all();
        return inSwitch_;
    }
    static void BufferSwitch(int32_t index, ASIOBool directProcess) {
        TestHost* host = current();
        HostCall call{HostCall::kSwitch};
        call.index = index;
        call.directProcess = directProcess;
        if (auto action = host->record(call)) action();
    }
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t index, ASIOBool directProcess) {
        TestHost* host = current();
        HostCall call{HostCall::kSwitchTimeInfo};
        call.index = index;
        call.directProcess = directProcess;
        call.timeInfo = params->timeInfo;
        if (auto action = host->record(call)) action();
        return params;
    }
    static void RateChanged(ASIOSampleRate rate) {
        TestHost* host = current();
        HostCall call{HostCall::kRateChange};
        call.rate = rate;
        host->record(call);
        std::function<void()> action;
        {
            std::lock_guard guard(host->lock_);
            action = host->inRateChange_;
        }
        if (action) action();
    }
    static int32_t Message(int32_t selector, int32_t value, void*, double*) {
        TestHost* host = current();
        HostCall call{HostCall::kMessage};
        call.selector = selector;
        call.value = value;
        host->record(call);
        int32_t answer = 0;
        std::function<void(int32_t)> action;
        {
            std::lock_guard guard(host->lock_);
            auto it = host->answers_.find({selector, value});
            if (it != host->answers_.end()) answer = it->second;
            action = host->inMessage_;
        }
        if (action) action(selector);
        return answer;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<HostCall> calls_;                          // guarded by lock_
    std::map<std::pair<int32_t, int32_t>, int32_t> answers_;  // guarded by lock_
    std::function<void()> inSwitch_;                         // guarded by lock_
    std::function<void(int32_t)> inMessage_;                 // guarded by lock_
    std::function<void()> inRateChange_;                     // guarded by lock_
};

class AsioDriverTest : public RoadTest {
protected:
    AsioDriverTest() {
        machine_.attachment<platform::InstalledFiles>().install(kAsioModulePathW, VEXA_ASIO_MODULE);
        machine_.drivers().install(kScriptedRootService, VEXA_SCRIPTED_ASIO_ROOT);
        root().set_channels(4, 2);
        root().info.sampleRate = 48000;
        root().sizes = vexa::asio::AsioBufferSizeReply{0, 0, 32, 2048, 256, -1, 0};
        node_ = machine_.pnp().add_node(u"ROOT\\VEXASCRIPTEDASIO\\0000", {u"Root\\VexaScriptedAsio"},
                                        kScriptedRootService);
        platform::drain_pnp_notifications();
        EXPECT_EQ(node_->state, platform::NodeState::Started);
        platform::win32::set_sleep_hook([this](DWORD ms) {
            std::lock_guard guard(sleepLock_);
            sleeps_.push_back(ms);
        });
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
    }

    ~AsioDriverTest() override {
        for (IASIO* driver : drivers_) {
            if (driver != nullptr) driver->Release();
        }
        drivers_.clear();
        // The module goes when nothing of it lives; a later case then loads it afresh.
        EXPECT_TRUE(WaitUntil([] {
            CoFreeUnusedLibraries();
            return !module_loaded();
        })) << "an object, a lock or a thread of the driver outlived its case";
        CoUninitialize();
        platform::win32::set_sleep_hook(nullptr);
        platform::win32::set_message_box_responder(nullptr);
        platform::win32::avrt::restore();
        platform::win32::avrt::clear_calls();
        platform::win32::shell::clear_executions();
        platform::fault::clear();
    }

    ScriptedAsioRoot& root() { return image_.root(); }

    static bool module_loaded() {
        for (auto& module : platform::win32::loaded_modules()) {
            if (module.windowsPath == kAsioModulePathW) return true;
        }
        return false;
    }

    // As regsvr32 would: the module loaded, its DllRegisterServer called, the module let go.
    HRESULT register_driver(const char* exportName = "DllRegisterServer") {
        HMODULE module = LoadLibraryA(kAsioModulePath);
        EXPECT_NE(module, nullptr);
        if (module == nullptr) return E_FAIL;
        auto entry = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, exportName));
        HRESULT result = entry != nullptr ? entry() : E_FAIL;
        FreeLibrary(module);
        return result;
    }

    // A driver object as a host makes one: registered, then CoCreateInstance with the class id as the interface id.
    IASIO* create() {
        if (!registered_) {
            EXPECT_EQ(register_driver(), S_OK);
            registered_ = true;
        }
        IASIO* driver = nullptr;
        EXPECT_EQ(CoCreateInstance(vexa::asio::CLSID_VexaAsio, nullptr, CLSCTX_INPROC_SERVER,
                                   vexa::asio::CLSID_VexaAsio, reinterpret_cast<LPVOID*>(&driver)),
                  S_OK);
        if (driver != nullptr) drivers_.push_back(driver);
        return driver;
    }
    // Lets a driver go before the fixture would.
    ULONG release(IASIO* driver) {
        for (IASIO*& held : drivers_) {
            if (held == driver) held = nullptr;
        }
        return driver->Release();
    }
    IASIO* initialised() {
        IASIO* driver = create();
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        return driver;
    }

    // Buffers for the given outputs and inputs, with the test host's callbacks.
    std::vector<ASIOBufferInfo> buffers(const std::vector<int32_t>& outputs, const std::vector<int32_t>& inputs = {}) {
        std::vector<ASIOBufferInfo> infos;
        for (int32_t channel : outputs) infos.push_back(ASIOBufferInfo{ASIOFalse, channel, {nullptr, nullptr}});
        for (int32_t channel : inputs) infos.push_back(ASIOBufferInfo{ASIOTrue, channel, {nullptr, nullptr}});
        return infos;
    }
    ASIOError create_buffers(IASIO* driver, std::vector<ASIOBufferInfo>& infos, int32_t frames = 256) {
        return driver->createBuffers(infos.data(), static_cast<int32_t>(infos.size()), frames, &host_.callbacks);
    }
    // A driver with buffers for outputs 0 and 1 and input 0, started.
    IASIO* running() {
        IASIO* driver = initialised();
        auto infos = buffers({0, 1}, {0});
        EXPECT_EQ(create_buffers(driver, infos), ASE_OK);
        EXPECT_EQ(driver->start(), ASE_OK);
        return driver;
    }

    std::vector<DWORD> sleeps() {
        std::lock_guard guard(sleepLock_);
        return sleeps_;
    }
    void clear_sleeps() {
        std::lock_guard guard(sleepLock_);
        sleeps_.clear();
    }
    std::vector<uint32_t> codes_since(size_t first) {
        std::vector<uint32_t> all = root().codes();
        return std::vector<uint32_t>(all.begin() + static_cast<std::ptrdiff_t>(first < all.size() ? first : all.size()),
                                     all.end());
    }
    std::string error_text(IASIO* driver) {
        char text[kAsioErrorMessageBytes] = {};
        driver->getErrorMessage(text);
        return text;
    }

    ScriptedRootImage image_;
    TestHost host_;
    platform::DevNode* node_ = nullptr;
    std::vector<IASIO*> drivers_;
    bool registered_ = false;
    std::mutex sleepLock_;
    std::vector<DWORD> sleeps_;  // guarded by sleepLock_
};

}  // namespace vexa::test
