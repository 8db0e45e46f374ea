// What the device-access library's hooks tell vexa-pal: the lines a watch
// shows (one per hook, printed only while shown), the bus updates a setter
// waits for, the errors the library passes up, and the stop a watch waits for.
//
// Threads: the hooks call in on the library's threads (and on the main thread
// while the system is created) with the library lock held; the command waits
// here on the main thread without it. Lock order: the library lock, then
// this log's own; nothing here takes the library lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace vexa::pal_tool {

class hook_log {
public:
    // Where a command stands before it waits: what had happened until then.
    struct mark {
        uint64_t updates;
        uint64_t failures;
    };
    enum class outcome { updated, failed, timed_out };

    // Any thread. Once show(false) returns, no line is being printed and none follows.
    void show(bool shown);
    // A hook's line on standard output, printed whole, or dropped while not shown.
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The bus compared its cached state with the last one (bus_impl::update).
    void updated();
    // The library passed an error up; `fatal` when the bus's connection to the
    // root driver is gone for good. `what` says what it was.
    void failed(const std::string& what, bool fatal);
    // A stop signal arrived.
    void stop();

    mark now();
    // Waits until an update after `since`, a failure after it, or `timeoutMs`
    // (real time); an update wins over a failure. `failure` gets the failure's text.
    outcome wait_update(mark since, uint32_t timeoutMs, std::string* failure);
    // Waits for a stop (true) or a fatal failure (false, its text in `failure`).
    bool wait_stop(std::string* failure);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool shown_ = false;    // guarded by lock_
    uint64_t updates_ = 0;  // guarded by lock_
    uint64_t failures_ = 0;  // guarded by lock_
    std::string failure_;    // guarded by lock_: the last failure's text
    bool fatal_ = false;     // guarded by lock_
    bool stopped_ = false;   // guarded by lock_
};

}  // namespace vexa::pal_tool
