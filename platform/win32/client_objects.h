// The objects of this program's Win32 side that the machine never sees:
// threads and mutexes. Each is waitable through a descriptor that polls
// readable while the object is signalled (a thread that has ended, a mutex
// that is free), so one poll waits on them beside the machine's events.
// Their handles come from a range of their own, apart from the machine's.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "windows.h"

namespace platform::win32 {

class ClientObject {
public:
    enum class Kind { Thread, Mutex };
    ClientObject(Kind kind, int fd) : kind_(kind), fd_(fd) {}
    virtual ~ClientObject();
    ClientObject(const ClientObject&) = delete;
    ClientObject& operator=(const ClientObject&) = delete;

    Kind kind() const { return kind_; }
    int fd() const { return fd_; }

private:
    const Kind kind_;
    const int fd_;  // eventfd
};

class ThreadObject : public ClientObject {
public:
    explicit ThreadObject(int fd) : ClientObject(Kind::Thread, fd) {}

    std::mutex lock;
    uint64_t token = 0;           // guarded by lock: the host thread's id, once it runs
    bool running = true;          // guarded by lock
    DWORD exitCode = STILL_ACTIVE;  // guarded by lock
    int priority = THREAD_PRIORITY_NORMAL;  // guarded by lock
};

class MutexObject : public ClientObject {
public:
    explicit MutexObject(int fd) : ClientObject(Kind::Mutex, fd) {}

    std::mutex lock;
    uint64_t owner = 0;      // guarded by lock: the owning thread's token, 0 when free
    unsigned recursion = 0;  // guarded by lock
    bool abandoned = false;  // guarded by lock: its owner ended holding it; told to the next taker
};

HANDLE insert_client_object(std::shared_ptr<ClientObject> object);
std::shared_ptr<ClientObject> find_client_object(HANDLE handle);
// False when the handle is not one of these objects.
bool close_client_object(HANDLE handle);

// Thrown by FreeLibraryAndExitThread and caught where CreateThread's thread
// began, which frees the module once the thread's own frames are left.
struct ThreadExit {
    DWORD code;
    HMODULE module;
};

// The ThreadObject of the calling thread when CreateThread made it, else null.
std::shared_ptr<ThreadObject> current_thread_object();
// The pseudo-handle GetCurrentThread answers.
inline HANDLE const kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

// Mutex ownership of the calling thread: taking one records it, so a thread
// that ends still holding it abandons it.
enum class Take { No, Yes, Abandoned };
Take try_take_mutex(const std::shared_ptr<MutexObject>& mutex);
// Abandons whatever mutexes the calling thread still owns.
void abandon_owned_mutexes();

// The synchronous device request a thread is blocked in (CancelSynchronousIo).
void enter_synchronous_io(HANDLE file);
void leave_synchronous_io();
// The handle the thread with `token` is blocked on, if any.
bool synchronous_io_of(uint64_t token, HANDLE* file);

}  // namespace platform::win32
