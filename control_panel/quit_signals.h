// SIGTERM and SIGINT, the way a Linux session or a terminal asks a program to
// end, reach the application as a system quit request on the message thread,
// as the end of a Windows session does. Without this a signal would end the
// process before the window's position is saved.
#pragma once

#include <functional>

namespace cpl {

class QuitSignals {
public:
    // Message thread; one instance at a time.
    explicit QuitSignals(std::function<void()> onQuit);
    ~QuitSignals();

    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;

private:
    std::function<void()> onQuit;
    int readFd = -1;
};

}  // namespace cpl
