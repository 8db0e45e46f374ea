// Modules on both roads: installed DLLs found by a path in any case, DllMain
// at attach and detach, the program's image path, and the built-in avrt.dll.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/rules.h"
#include "platform/machine/installed_files.h"
#include "platform/win32/avrt.h"
#include "platform/win32/windows.h"
#include "support/com_test_server.h"
#include "support/road_fixture.h"

namespace {

using namespace vexa::test;

class ModulesTest : public RoadTest {
protected:
    ModulesTest() { machine_.attachment<platform::InstalledFiles>().install(kComServerPathW, VEXA_TEST_COM_SERVER); }
    ~ModulesTest() override {
        platform::win32::avrt::restore();
        platform::win32::avrt::clear_calls();
        platform::fault::clear();
    }

    static bool loaded(std::u16string_view path) {
        for (auto& module : platform::win32::loaded_modules()) {
            if (module.windowsPath == path) return true;
        }
        return false;
    }
};

// A path in another case loads the installed module once; DllMain sees one attach and, at the last free, the detach.
TEST_P(ModulesTest, LoadsByPathInAnyCaseAndCallsDllMain) {
    HMODULE first = LoadLibraryA("c:\\windows\\system32\\vexatestcomserver.dll");
    ASSERT_NE(first, nullptr) << GetLastError();
    HMODULE second = LoadLibraryA("VexaTestComServer");  // bare, without extension
    EXPECT_EQ(second, first);
    EXPECT_EQ(GetModuleHandleA("VEXATESTCOMSERVER.DLL"), first);
    auto counts = reinterpret_cast<ComServerCountsFn>(GetProcAddress(first, "TestComServerCounts"));
    ASSERT_NE(counts, nullptr);
    EXPECT_EQ(counts().attaches, 1) << "one attach however often it is loaded";
    EXPECT_EQ(GetProcAddress(first, "NotThere"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

    char path[260];
    EXPECT_EQ(GetModuleFileNameA(first, path, sizeof(path)), std::strlen(kComServerPath));
    EXPECT_STREQ(path, kComServerPath) << "the path as installed";
    char cut[8];
    EXPECT_EQ(GetModuleFileNameA(first, cut, sizeof(cut)), sizeof(cut));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(cut, "C:\\Wind");

    static int detached = 0;
    detached = 0;
    reinterpret_cast<ComServerObserveDetachFn>(GetProcAddress(first, "TestComServerObserveDetach"))([] { ++detached; });
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(detached, 0) << "still referenced";
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(detached, 1);
    EXPECT_FALSE(loaded(kComServerPathW));
    EXPECT_FALSE(FreeLibrary(first)) << "an unloaded module's handle is stale";
    EXPECT_EQ(GetModuleHandleA("VexaTestComServer.dll"), nullptr);
}

// What cannot load says why: nothing installed, a 32-bit process, a refused attach.
TEST_P(ModulesTest, FailedLoadsSayWhy) {
    EXPECT_EQ(LoadLibraryA("C:\\Windows\\System32\\Missing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    auto narrow = make_process(true);
    {
        platform::win32::ScopedProcess as(narrow);
        EXPECT_EQ(LoadLibraryA(kComServerPath), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
    }
    setenv(kComServerRefuseVariable, "1", 1);
    EXPECT_EQ(LoadLibraryA(kComServerPath), nullptr);
    unsetenv(kComServerRefuseVariable);
    EXPECT_EQ(GetLastError(), ERROR_DLL_INIT_FAILED);
    EXPECT_FALSE(loaded(kComServerPathW)) << "a refused attach unloads the module";
}

// GetModuleFileName of no module is the process's image path, which a test can set.
TEST_P(ModulesTest, ProgramModuleNamesTheImagePath) {
    char path[260];
    EXPECT_GT(GetModuleFileNameA(nullptr, path, sizeof(path)), 0u);
    EXPECT_STREQ(path, "C:\\Program Files\\test\\test.exe");
    process_->set_image_path("C:\\Program Files\\Host\\host.exe");
    EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleA(nullptr));
    EXPECT_GT(GetModuleFileNameA(GetModuleHandleA(nullptr), path, sizeof(path)), 0u);
    EXPECT_STREQ(path, "C:\\Program Files\\Host\\host.exe");
    platform::fault::inject("GetModuleFileName", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof(path)), 0u);
}

// avrt.dll is built in: its calls are recorded; made missing, it cannot be loaded or an entry found.
TEST_P(ModulesTest, AvrtRecordsItsCallsAndCanBeMissing) {
    HMODULE avrt = LoadLibraryA("avrt.dll");
    ASSERT_NE(avrt, nullptr);
    auto join = reinterpret_cast<AvSetMmThreadCharacteristicsAFn>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsA"));
    auto raise = reinterpret_cast<AvSetMmThreadPriorityFn>(GetProcAddress(avrt, "AvSetMmThreadPriority"));
    auto revert = reinterpret_cast<AvRevertMmThreadCharacteristicsFn>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"));
    ASSERT_TRUE(join && raise && revert);
    DWORD index = 0;
    HANDLE task = join("Pro Audio", &index);
    ASSERT_NE(task, nullptr);
    EXPECT_NE(index, 0u) << "a task index of 0 asks for a new one";
    EXPECT_TRUE(raise(task, AVRT_PRIORITY_CRITICAL));
    EXPECT_TRUE(revert(task));
    EXPECT_FALSE(revert(task)) << "reverted once only";
    EXPECT_EQ(join("No Such Task", &index), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_TASK_NAME);
    auto calls = platform::win32::avrt::calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].entry, "AvSetMmThreadCharacteristicsA");
    EXPECT_EQ(calls[0].task, "Pro Audio");
    EXPECT_EQ(calls[1].priority, AVRT_PRIORITY_CRITICAL);
    EXPECT_EQ(calls[1].threadId, GetCurrentThreadId());
    EXPECT_TRUE(calls[2].succeeded);
    EXPECT_FALSE(calls[3].succeeded);

    platform::win32::avrt::hide_entry("AvSetMmThreadPriority");
    EXPECT_EQ(GetProcAddress(avrt, "AvSetMmThreadPriority"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(avrt));
    platform::win32::avrt::set_missing(true);
    EXPECT_EQ(LoadLibraryA("avrt.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

// With real scheduling asked for, "Pro Audio" takes the joining thread into the host's real-time class
// (when the host allows it; the join succeeds either way) and reverting gives back what it had; other
// tasks, and every task while it is not asked for, leave the thread's scheduling alone.
TEST_P(ModulesTest, ProAudioSchedulesInRealTimeOnlyWhenAsked) {
    HMODULE avrt = LoadLibraryA("avrt.dll");
    ASSERT_NE(avrt, nullptr);
    auto join = reinterpret_cast<AvSetMmThreadCharacteristicsAFn>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsA"));
    auto raise = reinterpret_cast<AvSetMmThreadPriorityFn>(GetProcAddress(avrt, "AvSetMmThreadPriority"));
    auto revert = reinterpret_cast<AvRevertMmThreadCharacteristicsFn>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics"));
    auto policy = [] {
        int current = -1;
        sched_param param{};
        pthread_getschedparam(pthread_self(), &current, &param);
        return std::make_pair(current, param.sched_priority);
    };
    const auto before = policy();
    // Whether this host lets a thread into the real-time class at all.
    sched_param probe{};
    probe.sched_priority = sched_get_priority_min(SCHED_FIFO);
    bool allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &probe) == 0;
    if (allowed) {
        sched_param back{};
        back.sched_priority = before.second;
        pthread_setschedparam(pthread_self(), before.first, &back);
    }

    DWORD index = 0;
    HANDLE task = join("Pro Audio", &index);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(policy(), before) << "recorded only while nobody asked for real scheduling";
    EXPECT_TRUE(revert(task));

    platform::win32::avrt::set_real_time_scheduling(true);
    index = 0;
    HANDLE games = join("Games", &index);
    EXPECT_EQ(policy(), before) << "only Pro Audio is real time";
    EXPECT_TRUE(revert(games));
    index = 0;
    task = join("Pro Audio", &index);
    ASSERT_NE(task, nullptr) << "the join succeeds whatever the host allows";
    EXPECT_EQ(policy().first, allowed ? SCHED_FIFO : before.first);
    EXPECT_TRUE(raise(task, AVRT_PRIORITY_CRITICAL));
    int raised = policy().second;
    if (allowed) {
        EXPECT_GT(raised, sched_get_priority_min(SCHED_FIFO)) << "critical is above the lowest real-time priority";
    }
    EXPECT_TRUE(revert(task));
    EXPECT_EQ(policy(), before) << "reverting gives back the scheduling the thread had";
    auto calls = platform::win32::avrt::calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].realTime, allowed);
    EXPECT_EQ(calls[calls.size() - 2].realTime, allowed);
    EXPECT_TRUE(FreeLibrary(avrt));
}

// A thread that frees its module and exits: its exit code is the one given, nothing after the call runs, and the
// module goes only once the thread has ended; on a thread CreateThread did not make it is a reported violation.
TEST_P(ModulesTest, FreeLibraryAndExitThreadEndsTheThreadFirst) {
    HMODULE module = LoadLibraryA(kComServerPath);
    ASSERT_NE(module, nullptr);
    struct Work {
        HMODULE module;
        bool ranOn = false;
        bool loadedAtExit = false;
    } work{module};
    auto routine = [](LPVOID parameter) -> DWORD {
        auto* w = static_cast<Work*>(parameter);
        w->loadedAtExit = loaded(kComServerPathW);
        FreeLibraryAndExitThread(w->module, 23);
        w->ranOn = true;
        return 1;
    };
    HANDLE thread = CreateThread(nullptr, 0, routine, &work, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 23u);
    CloseHandle(thread);
    EXPECT_TRUE(work.loadedAtExit);
    EXPECT_FALSE(work.ranOn) << "the call does not return";
    EXPECT_FALSE(loaded(kComServerPathW)) << "freed after the thread ended";

    module = LoadLibraryA(kComServerPath);
    std::string violation;
    {
        platform::ScopedRuleHandler handler([&](const std::string& rule, const std::string&) { violation = rule; });
        FreeLibraryAndExitThread(module, 0);
    }
    EXPECT_EQ(violation, "thread");
    EXPECT_FALSE(loaded(kComServerPathW)) << "freed all the same";
}

INSTANTIATE_TEST_SUITE_P(Roads, ModulesTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
