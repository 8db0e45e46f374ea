#include "quit_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include <juce_events/juce_events.h>

namespace cpl {

namespace {

// The write end of the self-pipe; the handler only writes one byte to it.
std::atomic<int> signalFd{-1};  // relaxed: set before the handlers go in, cleared after they come out
constexpr int kSignals[] = {SIGTERM, SIGINT};
struct sigaction previous[std::size(kSignals)];

extern "C" void onQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    const int fd = signalFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const ssize_t written = ::write(fd, &byte, 1);  // a full pipe already holds a request
        (void)written;
    }
    errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void()> quit) : onQuit(std::move(quit)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;  // no pipe: signals keep their default meaning
    readFd = fds[0];
    signalFd.store(fds[1], std::memory_order_relaxed);

    juce::LinuxEventLoop::registerFdCallback(readFd, [this](int fd) {
        char buffer[16];
        while (::read(fd, buffer, sizeof(buffer)) > 0) {
        }
        if (onQuit) onQuit();
    });

    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous[i]);
}

QuitSignals::~QuitSignals() {
    if (readFd < 0) return;
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous[i], nullptr);
    juce::LinuxEventLoop::unregisterFdCallback(readFd);
    ::close(signalFd.exchange(-1, std::memory_order_relaxed));
    ::close(readFd);
}

}  // namespace cpl
