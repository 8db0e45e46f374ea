// Threads and mutexes of this program, and the handle table they live in.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>
#include <vector>

#include "client_objects.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/ntstatus.h"
#include "user_process.h"

namespace platform::win32 {
namespace {

// Apart from the machine's handles, which count up from 0x104 in steps of four.
constexpr uintptr_t kClientHandleBase = 0x40000000;
constexpr uintptr_t kHandleStep = 4;

// Program-wide tables, never destroyed: a thread may still be inside a call
// while the program exits and runs its static destructors.
struct ObjectTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<ClientObject>> objects;  // guarded by lock
    uintptr_t nextHandle = kClientHandleBase;                     // guarded by lock
};
ObjectTable& Objects() {
    static auto* table = new ObjectTable;
    return *table;
}

struct SynchronousIo {
    std::mutex lock;
    std::map<uint64_t, HANDLE> files;  // guarded by lock: thread token -> the file its blocking request went to
};
SynchronousIo& Synchronous() {
    static auto* table = new SynchronousIo;
    return *table;
}

// Never destroyed, like the tables above: a thread may sleep while the program exits.
struct SleepSeam {
    std::mutex lock;
    SleepHook hook;  // guarded by lock
};
SleepSeam& Sleeps() {
    static auto* seam = new SleepSeam;
    return *seam;
}

thread_local std::shared_ptr<ThreadObject> t_thread;
thread_local int t_foreignPriority = THREAD_PRIORITY_NORMAL;  // a thread CreateThread did not make

// The mutexes this thread owns; whatever is left when the thread ends is abandoned.
struct OwnedMutexes {
    std::vector<std::weak_ptr<MutexObject>> mutexes;
    ~OwnedMutexes() { abandon(); }
    void abandon() {
        uint64_t self = current_thread_token();
        for (auto& weak : mutexes) {
            auto mutex = weak.lock();
            if (!mutex) continue;
            std::lock_guard lock(mutex->lock);
            if (mutex->owner != self) continue;
            mutex->owner = 0;
            mutex->recursion = 0;
            mutex->abandoned = true;
            uint64_t one = 1;
            [[maybe_unused]] ssize_t written = write(mutex->fd(), &one, sizeof(one));
        }
        mutexes.clear();
    }
};
thread_local OwnedMutexes t_owned;


bool Fault(const char* call) {
    if (auto status = fault::hit(call)) {
        SetLastError(RtlNtStatusToDosError(*status));
        return true;
    }
    return false;
}

bool ValidPriority(int priority) {
    return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
           (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

std::shared_ptr<ThreadObject> ThreadOf(HANDLE handle) {
    if (handle == kCurrentThreadPseudoHandle) return t_thread;
    auto object = find_client_object(handle);
    if (!object || object->kind() != ClientObject::Kind::Thread) return nullptr;
    return std::static_pointer_cast<ThreadObject>(object);
}

}  // namespace

ClientObject::~ClientObject() { close(fd_); }

HANDLE insert_client_object(std::shared_ptr<ClientObject> object) {
    ObjectTable& table = Objects();
    std::lock_guard lock(table.lock);
    uintptr_t handle = table.nextHandle;
    table.nextHandle += kHandleStep;
    table.objects[handle] = std::move(object);
    return reinterpret_cast<HANDLE>(handle);
}

std::shared_ptr<ClientObject> find_client_object(HANDLE handle) {
    ObjectTable& table = Objects();
    std::lock_guard lock(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.objects.end() ? nullptr : it->second;
}

bool close_client_object(HANDLE handle) {
    std::shared_ptr<ClientObject> object;  // released after the lock
    ObjectTable& table = Objects();
    {
        std::lock_guard lock(table.lock);
        auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == table.objects.end()) return false;
        object = std::move(it->second);
        table.objects.erase(it);
    }
    return true;
}

std::shared_ptr<ThreadObject> current_thread_object() { return t_thread; }

// Records that the calling thread owns `mutex` (after a take that was not recursive).
void note_owned(const std::shared_ptr<MutexObject>& mutex) {
    auto& list = t_owned.mutexes;
    for (auto& weak : list) {
        if (weak.lock() == mutex) return;
    }
    std::erase_if(list, [](const std::weak_ptr<MutexObject>& weak) { return weak.expired(); });
    list.push_back(mutex);
}


Take try_take_mutex(const std::shared_ptr<MutexObject>& mutex) {
    uint64_t self = current_thread_token();
    std::lock_guard lock(mutex->lock);
    if (mutex->owner == self) {
        ++mutex->recursion;
        return Take::Yes;
    }
    uint64_t count = 0;
    if (read(mutex->fd(), &count, sizeof(count)) != sizeof(count)) return Take::No;
    mutex->owner = self;
    mutex->recursion = 1;
    bool abandoned = mutex->abandoned;
    mutex->abandoned = false;
    note_owned(mutex);
    return abandoned ? Take::Abandoned : Take::Yes;
}

void abandon_owned_mutexes() { t_owned.abandon(); }

void enter_synchronous_io(HANDLE file) {
    SynchronousIo& io = Synchronous();
    std::lock_guard lock(io.lock);
    io.files[current_thread_token()] = file;
}

void leave_synchronous_io() {
    SynchronousIo& io = Synchronous();
    std::lock_guard lock(io.lock);
    io.files.erase(current_thread_token());
}

bool synchronous_io_of(uint64_t token, HANDLE* file) {
    SynchronousIo& io = Synchronous();
    std::lock_guard lock(io.lock);
    auto it = io.files.find(token);
    if (it == io.files.end()) return false;
    *file = it->second;
    return true;
}

}  // namespace platform::win32

using namespace platform::win32;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD threadId) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (flags != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (Fault("CreateThread")) return nullptr;
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>(fd);
    UserProcess* creator = current_process();
    std::shared_ptr<UserProcess> process = creator != nullptr ? creator->shared_from_this() : nullptr;
    std::mutex startLock;
    std::condition_variable started;
    bool known = false;
    std::thread([thread, process, start, parameter, &startLock, &started, &known]() mutable {
        DWORD code;
        {
            ScopedProcess acting(process);
            t_thread = thread;
            {
                std::lock_guard lock(thread->lock);
                thread->token = current_thread_token();
            }
            {
                std::lock_guard lock(startLock);
                known = true;
                started.notify_all();
            }
            HMODULE exitModule = nullptr;
            try {
                code = start(parameter);
            } catch (const ThreadExit& exit) {
                code = exit.code;
                exitModule = exit.module;
            }
            abandon_owned_mutexes();
            // Freed only now: nothing of the thread runs in the module any more.
            if (exitModule != nullptr) FreeLibrary(exitModule);
            t_thread.reset();
        }
        // The process goes before the end is signalled: whoever waits for the
        // thread may then end the process and the machine.
        process.reset();
        std::lock_guard lock(thread->lock);
        thread->exitCode = code;
        thread->running = false;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(thread->fd(), &one, sizeof(one));
    }).detach();
    {
        std::unique_lock lock(startLock);
        started.wait(lock, [&] { return known; });
    }
    if (threadId != nullptr) {
        std::lock_guard lock(thread->lock);
        *threadId = static_cast<DWORD>(thread->token);
    }
    return insert_client_object(thread);
}

HANDLE GetCurrentThread() { return kCurrentThreadPseudoHandle; }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(current_thread_token()); }

BOOL SetThreadPriority(HANDLE handle, int priority) {
    if (!ValidPriority(priority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (handle == kCurrentThreadPseudoHandle && !t_thread) {
        t_foreignPriority = priority;
        return TRUE;
    }
    auto thread = ThreadOf(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(thread->lock);
    thread->priority = priority;
    return TRUE;
}

int GetThreadPriority(HANDLE handle) {
    if (handle == kCurrentThreadPseudoHandle && !t_thread) return t_foreignPriority;
    auto thread = ThreadOf(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    std::lock_guard lock(thread->lock);
    return thread->priority;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = ThreadOf(handle);
    if (!thread || exitCode == nullptr) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(thread->lock);
    *exitCode = thread->exitCode;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    SleepHook hook;
    {
        std::lock_guard lock(Sleeps().lock);
        hook = Sleeps().hook;
    }
    if (hook) {
        hook(milliseconds);
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (Fault("CreateMutex")) return nullptr;
    int fd = eventfd(initialOwner ? 0 : 1, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    auto mutex = std::make_shared<MutexObject>(fd);
    if (initialOwner) {
        mutex->owner = current_thread_token();
        mutex->recursion = 1;
        note_owned(mutex);
    }
    SetLastError(ERROR_SUCCESS);
    return insert_client_object(mutex);
}

BOOL ReleaseMutex(HANDLE handle) {
    auto object = find_client_object(handle);
    if (!object || object->kind() != ClientObject::Kind::Mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto mutex = std::static_pointer_cast<MutexObject>(object);
    std::lock_guard lock(mutex->lock);
    if (mutex->owner != current_thread_token() || mutex->recursion == 0) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex->recursion == 0) {
        mutex->owner = 0;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(mutex->fd(), &one, sizeof(one));
    }
    return TRUE;
}

namespace platform::win32 {

void set_sleep_hook(SleepHook hook) {
    std::lock_guard lock(Sleeps().lock);
    Sleeps().hook = std::move(hook);
}

}  // namespace platform::win32

BOOL CancelSynchronousIo(HANDLE handle) {
    auto thread = ThreadOf(handle);
    if (!thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    uint64_t token;
    {
        std::lock_guard lock(thread->lock);
        token = thread->token;
    }
    HANDLE file = nullptr;
    UserProcess* process = current_process();
    if (process == nullptr || !synchronous_io_of(token, &file)) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    process->cancel_io(file, token);
    return TRUE;
}
