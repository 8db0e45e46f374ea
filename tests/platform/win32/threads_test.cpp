// Threads, mutexes and waits on both roads: a thread acts as the process that
// made it, wait-any takes only the lowest object it can, mutexes recurse and
// are abandoned by a thread that ends holding them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "platform/win32/windows.h"
#include "support/road_fixture.h"

namespace {

using namespace vexa::test;

class ThreadsTest : public RoadTest {
protected:
    ~ThreadsTest() override { platform::fault::clear(); }

    // Runs `fn` on a thread made by CreateThread and waits for it; its exit code.
    template <typename Fn>
    DWORD run_thread(Fn fn) {
        auto routine = [](LPVOID parameter) -> DWORD { return (*static_cast<Fn*>(parameter))(); };
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, 0, routine, &fn, 0, &id);
        EXPECT_NE(thread, nullptr);
        EXPECT_NE(id, 0u);
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        EXPECT_TRUE(CloseHandle(thread));
        return code;
    }
};

// A thread made in another process resolves that process's handle, not the same value in the creator's default one.
TEST_P(ThreadsTest, ThreadActsAsTheProcessThatMadeIt) {
    HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto other = make_process(false, "other");
    HANDLE theirs = nullptr;
    DWORD code = 0;
    {
        platform::win32::ScopedProcess as(other);
        theirs = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_EQ(theirs, mine) << "both processes count handles from the same start";
        code = run_thread([theirs]() -> DWORD { return SetEvent(theirs) ? 7 : 0; });
        EXPECT_EQ(WaitForSingleObject(theirs, 0), WAIT_OBJECT_0) << "the other process's event was set";
    }
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_TIMEOUT) << "this process's event with the same value was not";
    CloseHandle(mine);
}

// Wait-any answers the lowest signalled index, consumes that auto-reset event only, and fails on a bad handle.
TEST_P(ThreadsTest, WaitAnyTakesOnlyTheLowestSignalled) {
    HANDLE events[3];
    for (HANDLE& e : events) e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_TIMEOUT) << "the answered event was consumed";
    EXPECT_EQ(WaitForSingleObject(events[2], 0), WAIT_OBJECT_0) << "the other stayed signalled";
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 5), WAIT_TIMEOUT);

    // A wake from another thread: the waiter sees the index that was set.
    std::thread setter([&] { SetEvent(events[2]); });
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    setter.join();

    HANDLE withBad[2] = {events[0], reinterpret_cast<HANDLE>(0x7770)};
    EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (HANDLE e : events) CloseHandle(e);
}

// A mutex recurses for its owner, is refused to other threads until fully released, and only its owner releases it.
TEST_P(ThreadsTest, MutexIsRecursiveAndOwned) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "recursive";
    EXPECT_EQ(run_thread([mutex]() -> DWORD { return WaitForSingleObject(mutex, 0); }), WAIT_TIMEOUT);
    EXPECT_EQ(run_thread([mutex]() -> DWORD { return ReleaseMutex(mutex) ? 0 : GetLastError(); }), ERROR_NOT_OWNER);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(run_thread([mutex]() -> DWORD { return WaitForSingleObject(mutex, 0); }), WAIT_TIMEOUT)
        << "still held once";
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(run_thread([mutex]() -> DWORD {
                  DWORD got = WaitForSingleObject(mutex, 0);
                  ReleaseMutex(mutex);
                  return got;
              }),
              WAIT_OBJECT_0);
    CloseHandle(mutex);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_FAILED) << "a closed handle";
}

// A thread that ends owning a mutex abandons it: the next taker hears WAIT_ABANDONED once, at its index.
TEST_P(ThreadsTest, MutexHeldAtThreadEndIsAbandoned) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE idle = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(run_thread([mutex]() -> DWORD { return WaitForSingleObject(mutex, 0); }), WAIT_OBJECT_0);
    HANDLE both[2] = {idle, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_ABANDONED_0 + 1);
    EXPECT_TRUE(ReleaseMutex(mutex)) << "the abandoned mutex is owned all the same";
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "abandonment is told once";
    EXPECT_TRUE(ReleaseMutex(mutex));
    // A thread made outside CreateThread abandons too.
    std::thread([mutex] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); }).join();
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(idle);
    CloseHandle(mutex);
}

// A thread handle: STILL_ACTIVE while it runs, then its result; its priority seen alike from inside and out.
TEST_P(ThreadsTest, ThreadHandleWaitsExitCodeAndPriority) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct Shared {
        HANDLE go;
        int priorityInside = 0;
    } shared{go, 0};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* s = static_cast<Shared*>(p);
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
            WaitForSingleObject(s->go, INFINITE);
            s->priorityInside = GetThreadPriority(GetCurrentThread());
            return 42;
        },
        &shared, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 1), WAIT_TIMEOUT);
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    EXPECT_FALSE(SetThreadPriority(thread, 7)) << "not a priority";
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(GetThreadPriority(thread), shared.priorityInside);
    CloseHandle(thread);
    CloseHandle(go);
    EXPECT_EQ(CancelSynchronousIo(GetCurrentThread()), FALSE) << "the caller is in no request";
}

// A fault makes CreateThread and CreateMutex fail as when the system has no room.
TEST_P(ThreadsTest, CreationFaultsFail) {
    platform::fault::inject("CreateThread", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    platform::fault::inject("CreateMutex", STATUS_NO_MEMORY);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Named"), nullptr) << "named mutexes are not modelled";
}

// An installed sleep hook receives every pause of every thread and sleeping costs nothing; removed, Sleep sleeps again.
TEST_P(ThreadsTest, SleepHookTakesThePauses) {
    std::mutex lock;
    std::vector<DWORD> pauses;
    platform::win32::set_sleep_hook([&](DWORD ms) {
        std::lock_guard guard(lock);
        pauses.push_back(ms);
    });
    auto before = std::chrono::steady_clock::now();
    Sleep(3600000);
    EXPECT_EQ(run_thread([]() -> DWORD {
                  Sleep(50);
                  return 1;
              }),
              1u);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::minutes(1)) << "an hour's pause took no time";
    platform::win32::set_sleep_hook(nullptr);
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(pauses, (std::vector<DWORD>{3600000, 50})) << "the made thread's pause reached the hook too";
    }
    before = std::chrono::steady_clock::now();
    Sleep(20);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20)) << "without the hook it sleeps";
    EXPECT_EQ(pauses.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Roads, ThreadsTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
