// "avrt.dll": tasks of the multimedia class scheduler, recorded rather than scheduled.
#include "avrt.h"

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

std::mutex g_lock;
std::vector<Call> g_calls;             // guarded by g_lock
bool g_missing = false;                // guarded by g_lock
std::set<std::string> g_hidden;        // guarded by g_lock
std::map<HANDLE, std::string> g_tasks;  // guarded by g_lock: joined tasks by handle
uintptr_t g_nextTask = kFirstTaskHandle;  // guarded by g_lock
DWORD g_nextIndex = 1;                 // guarded by g_lock

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
    {
        std::lock_guard lock(g_lock);
        if (*taskIndex == 0) *taskIndex = g_nextIndex++;
        task = reinterpret_cast<HANDLE>(g_nextTask);
        g_nextTask += kTaskHandleStep;
        g_tasks[task] = taskName;
    }
    call.taskIndex = *taskIndex;
    call.handle = task;
    call.succeeded = true;
    Record(call);
    return task;
}

bool KnownTask(HANDLE task, std::string* name) {
    std::lock_guard lock(g_lock);
    auto it = g_tasks.find(task);
    if (it == g_tasks.end()) return false;
    *name = it->second;
    return true;
}

BOOL SetPriority(HANDLE task, AVRT_PRIORITY priority) {
    Call call{"AvSetMmThreadPriority", "", 0, priority, task, 0, false};
    if (!KnownTask(task, &call.task)) {
        SetLastError(ERROR_INVALID_HANDLE);
    } else if (priority < AVRT_PRIORITY_VERYLOW || priority > AVRT_PRIORITY_CRITICAL) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else {
        call.succeeded = true;
    }
    Record(call);
    return call.succeeded ? TRUE : FALSE;
}

BOOL Revert(HANDLE task) {
    Call call{"AvRevertMmThreadCharacteristics", "", 0, 0, task, 0, false};
    if (KnownTask(task, &call.task)) {
        std::lock_guard lock(g_lock);
        g_tasks.erase(task);
        call.succeeded = true;
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
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
}

}  // namespace avrt
}  // namespace platform::win32
