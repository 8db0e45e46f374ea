// Lets other programs onto the machine: each connection to the Unix socket is
// one process. A connection's requests run on one server thread per client
// thread (a request runs in its caller's thread, as on Windows), at most
// kMaxWorkersPerConnection at once, each retiring when its client thread has
// nothing queued; replies and late completions go out through one sender. A connection that closes or
// dies ends its process as Windows ends one: pending requests cancelled, then
// its handles closed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/nt_types.h"

namespace platform {

class SocketServer {
public:
    // Told when a connected program's process starts (`running` true) and when it ends.
    using ProcessObserver = std::function<void(ULONG processId, const std::string& name, bool running)>;

    // Client threads with requests in progress that one connection may have
    // at once; a request from a further thread is refused.
    static constexpr size_t kMaxWorkersPerConnection = 64;

    explicit SocketServer(std::string path, ProcessObserver observer = nullptr);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Binds (replacing a stale socket file) and starts accepting.
    bool start(std::string* error);
    // Stops accepting, ends every connection's process and removes the socket file.
    void stop();
    // Connections whose process is still running.
    size_t connections();
    // Blocks until at most `count` connections are still serving (a client that
    // went away has had its process ended).
    void wait_for_connections(size_t count);
    // The socket of the server running in this program (empty when none):
    // where a program started for one of its processes finds the machine.
    static std::string serving_path();

    class Connection;

private:
    void accept_main();
    void reap();

    const std::string path_;
    ProcessObserver observer_;
    int listener_ = -1;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::condition_variable finished_;
    std::vector<std::shared_ptr<Connection>> connections_;  // guarded by lock_
};

}  // namespace platform
