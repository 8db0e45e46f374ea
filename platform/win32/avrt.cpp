// "avrt.dll": tasks of the multimedia class scheduler, recorded, and scheduled
// in the host's real-time class when the program asks for it.
#include "avrt.h"

#include <pthread.h>
#include <sched.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "builtin_modules.h"
#include "user_process.h"

namespace {

using platform::win32::avrt::Call;

// The tasks Windows defines under the scheduler's Tasks key.
constexpr const char* kTasks[] = {"Audio", "Capture", "Distribution", "Games", "Playback", "Pro Audio",
                                  "Window Manager"};
constexpr uintptr_t kFirstTaskHandle = 0xA7000004;
constexpr uintptr_t kTaskHandleStep = 4;
// The task Windows runs in its real-time band ("Scheduling Category" High).
constexpr const char* kRealTimeTask = "Pro Audio";
// Above the lowest real-time priority by this much, so AVRT_PRIORITY_VERYLOW
// (-2) is still real time; each avrt priority step is one step here.
constexpr int kRealTimeBaseStep = 2;

// A joined task: its name and, when it took the thread into the real-time
// class, the thread and the scheduling it had before.
struct Task {
    std::string name;
    bool realTime = false;
    pthread_t thread{};
    int policy = SCHED_OTHER;
    sched_param param{};
};

std::mutex g_lock;
std::vector<Call> g_calls;             // guarded by g_lock
bool g_missing = false;                // guarded by g_lock
std::set<std::string> g_hidden;        // guarded by g_lock
std::map<HANDLE, Task> g_tasks;        // guarded by g_lock: joined tasks by handle
uintptr_t g_nextTask = kFirstTaskHandle;  // guarded by g_lock
DWORD g_nextIndex = 1;                 // guarded by g_lock
bool g_realTime = false;               // guarded by g_lock: joining "Pro Audio" schedules in real time

int RealTimePriority(int avrtPriority) {
    return sched_get_priority_min(SCHED_FIFO) + kRealTimeBaseStep + avrtPriority;
}

// Takes the calling thread into the real-time class, keeping what it had; false when the host refuses.
bool EnterRealTime(Task* task) {
    task->thread = pthread_self();
    if (pthread_getschedparam(task->thread, &task->policy, &task->param) != 0) return false;
    sched_param param{};
    param.sched_priority = RealTimePriority(AVRT_PRIORITY_NORMAL);
    return pthread_setschedparam(task->thread, SCHED_FIFO, &param) == 0;
}

void Record(Call call) {
    call.threadId = GetCurrentThreadId();
    std::lock_guard lock(g_lock);
    g_calls.push_back(std::move(call));
}

HANDLE SetCharacteristics(LPCSTR taskName, LPDWORD taskIndex) {
    Call call{"AvSetMmThreadCharacteristicsA", taskName != nullptr ? taskName : "", 0, 0, nullptr, 0, false};
    bool known = false;
    for (const char* task : kTasks) known = known || (taskName != nullptr && std::strcmp(task, taskName) == 0);
    if (taskName == nullptr || taskIndex == nullptr || !known) {
        SetLastError(taskName == nullptr || taskIndex == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_TASK_NAME);
        Record(call);
        return nullptr;
    }
    HANDLE task;
    Task record{taskName};
    {
        std::lock_guard lock(g_lock);
        if (*taskIndex == 0) *taskIndex = g_nextIndex++;
        task = reinterpret_cast<HANDLE>(g_nextTask);
        g_nextTask += kTaskHandleStep;
        if (g_realTime && std::strcmp(taskName, kRealTimeTask) == 0) record.realTime = EnterRealTime(&record);
        call.realTime = record.realTime;
        g_tasks[task] = record;
    }
    call.taskIndex = *taskIndex;
    call.handle = task;
    call.succeeded = true;
    Record(call);
    return task;
}

BOOL SetPriority(HANDLE task, AVRT_PRIORITY priority) {
    Call call{"AvSetMmThreadPriority", "", 0, priority, task, 0, false};
    {
        std::lock_guard lock(g_lock);
        auto it = g_tasks.find(task);
        if (it == g_tasks.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
        } else if (priority < AVRT_PRIORITY_VERYLOW || priority > AVRT_PRIORITY_CRITICAL) {
            call.task = it->second.name;
            SetLastError(ERROR_INVALID_PARAMETER);
        } else {
            call.task = it->second.name;
            call.succeeded = true;
            if (it->second.realTime) {
                sched_param param{};
                param.sched_priority = RealTimePriority(priority);
                call.realTime = pthread_setschedparam(it->second.thread, SCHED_FIFO, &param) == 0;
            }
        }
    }
    Record(call);
    return call.succeeded ? TRUE : FALSE;
}

BOOL Revert(HANDLE task) {
    Call call{"AvRevertMmThreadCharacteristics", "", 0, 0, task, 0, false};
    {
        std::lock_guard lock(g_lock);
        auto it = g_tasks.find(task);
        if (it != g_tasks.end()) {
            call.task = it->second.name;
            // The thread goes back to the scheduling it had when it joined.
            if (it->second.realTime) pthread_setschedparam(it->second.thread, it->second.policy, &it->second.param);
            g_tasks.erase(it);
            call.succeeded = true;
        } else {
            SetLastError(ERROR_INVALID_HANDLE);
        }
    }
    Record(call);
    return call.succeeded ? TRUE : FALSE;
}

bool Present() {
    std::lock_guard lock(g_lock);
    return !g_missing;
}

FARPROC Entry(const char* name) {
    {
        std::lock_guard lock(g_lock);
        if (g_hidden.count(name) != 0) return nullptr;
    }
    if (std::strcmp(name, "AvSetMmThreadCharacteristicsA") == 0) {
        return reinterpret_cast<FARPROC>(static_cast<AvSetMmThreadCharacteristicsAFn>(SetCharacteristics));
    }
    if (std::strcmp(name, "AvSetMmThreadPriority") == 0) {
        return reinterpret_cast<FARPROC>(static_cast<AvSetMmThreadPriorityFn>(SetPriority));
    }
    if (std::strcmp(name, "AvRevertMmThreadCharacteristics") == 0) {
        return reinterpret_cast<FARPROC>(static_cast<AvRevertMmThreadCharacteristicsFn>(Revert));
    }
    return nullptr;
}

}  // namespace

namespace platform::win32 {

const BuiltinModule& avrt_module() {
    static const BuiltinModule module{u"C:\\Windows\\System32\\avrt.dll", Present, Entry};
    return module;
}

namespace avrt {

std::vector<Call> calls() {
    std::lock_guard lock(g_lock);
    return g_calls;
}

void clear_calls() {
    std::lock_guard lock(g_lock);
    g_calls.clear();
}

void set_missing(bool missing) {
    std::lock_guard lock(g_lock);
    g_missing = missing;
}

void hide_entry(const std::string& entry) {
    std::lock_guard lock(g_lock);
    g_hidden.insert(entry);
}

void restore() {
    std::lock_guard lock(g_lock);
    g_missing = false;
    g_hidden.clear();
    g_realTime = false;
}

void set_real_time_scheduling(bool on) {
    std::lock_guard lock(g_lock);
    g_realTime = on;
}

}  // namespace avrt
}  // namespace platform::win32
