#include "pal_watch.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>

namespace vexa::pal_tool {
namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Waits on a thread of its own for SIGINT or SIGTERM and tells the log. A
// watch that ends otherwise sends the thread a SIGTERM of its own to end it.
class stop_waiter {
public:
    explicit stop_waiter(hook_log* log)
        : thread_([log] {
              sigset_t signals = StopSignals();
              int received = 0;
              sigwait(&signals, &received);
              log->stop();
          }) {}
    ~stop_waiter() {
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    stop_waiter(const stop_waiter&) = delete;
    stop_waiter& operator=(const stop_waiter&) = delete;

private:
    std::thread thread_;
};

}  // namespace

void BlockStopSignals() {
    sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int Watch(pal_system& system, hook_log& log) {
    mrak::vexa::reference<pal_bus> bus;
    {
        // Held from the first scan until the lines are shown: what the bus
        // reads as it comes up is not a notification, and every notification
        // the root driver sends after the bus registered is shown.
        mrak::vexa::lock_scope hold;
        if (int failed = OpenBus(system, &bus)) return failed;
        std::printf("watching notifications (Ctrl-C to stop)\n");
        std::fflush(stdout);
        log.show(true);
    }
    std::string failure;
    bool stopped = false;
    {
        stop_waiter waiter(&log);
        stopped = log.wait_stop(&failure);
    }
    log.show(false);
    if (!stopped) {
        std::fprintf(stderr, "vexa-pal: waiting for a notification failed (%s)\n", failure.c_str());
        return 1;
    }
    std::printf("stopped\n");
    return 0;
}

}  // namespace vexa::pal_tool
