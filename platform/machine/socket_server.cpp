#include "socket_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>

#include "device_interfaces.h"
#include "installed_files.h"
#include "interface_subscriptions.h"
#include "machine.h"
#include "platform/kernel/ntstatus.h"
#include "process.h"
#include "socket_protocol.h"
#include "user_io.h"
#include "user_registry.h"

namespace platform {

using wire::Header;
using wire::Message;
using wire::Type;

class SocketServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(int fd, std::function<void()> onFinished, ProcessObserver observer)
        : fd_(fd), onFinished_(std::move(onFinished)), observer_(std::move(observer)) {}
    ~Connection() { close(fd_); }

    void start() {
        sender_ = std::thread([self = shared_from_this()] { self->sender_main(); });
        reader_ = std::thread([self = shared_from_this()] { self->reader_main(); });
    }

    // Closes the socket; the reader then ends the process.
    void shut() { shutdown(fd_, SHUT_RDWR); }
    void join() {
        if (reader_.joinable()) reader_.join();
        if (sender_.joinable()) sender_.join();
    }
    bool finished() const { return finished_.load(std::memory_order_acquire); }

    // Queues a message for the client; dropped once the client has gone.
    void post(const Header& header, std::vector<uint8_t> payload = {}, int fd = -1) {
        std::lock_guard lock(outLock_);
        if (closed_) {
            if (fd >= 0) close(fd);
            return;
        }
        outbox_.push_back(Outgoing{header, std::move(payload), fd});
        outReady_.notify_one();
    }

    // Maps shared memory into the client: asks it and waits for the address.
    // The client knows its own bitness and maps low for a 32-bit process.
    void* map(int fd, size_t offset, size_t bytes) {
        int copy = dup(fd);
        if (copy < 0) return nullptr;
        Header h{};
        h.type = Type::Map;
        h.length1 = static_cast<uint32_t>(bytes);
        h.value = offset;
        std::unique_lock lock(mapLock_);
        h.id = nextMapId_++;
        uint64_t id = h.id;
        auto slot = mapAnswers_.emplace(id, std::nullopt).first;
        lock.unlock();
        post(h, {}, copy);
        lock.lock();
        // A client that does not answer in time gets no mapping; the request fails instead of hanging the kernel.
        constexpr auto kMapAnswerTime = std::chrono::seconds(5);
        mapped_.wait_for(lock, kMapAnswerTime, [&] { return slot->second.has_value() || gone_; });
        void* address = slot->second.value_or(nullptr);
        mapAnswers_.erase(slot);
        return address;
    }

    void unmap(void* address, size_t bytes) {
        Header h{};
        h.type = Type::Unmap;
        h.value = reinterpret_cast<uint64_t>(address);
        h.length1 = static_cast<uint32_t>(bytes);
        post(h);
    }

private:
    struct Outgoing {
        Header header;
        std::vector<uint8_t> payload;
        int fd;
    };

    // The server thread of one client thread: its requests run here in order.
    struct Worker {
        std::thread thread;
        std::deque<Message> queue;  // guarded by workLock_
        bool retired = false;       // guarded by workLock_: its thread has returned or is returning
    };

    class RemoteAddressSpace : public AddressSpace {
    public:
        explicit RemoteAddressSpace(std::weak_ptr<Connection> connection) : connection_(std::move(connection)) {}
        void* map(int fd, size_t offset, size_t bytes, bool) override {
            auto connection = connection_.lock();
            return connection ? connection->map(fd, offset, bytes) : nullptr;
        }
        void unmap(void* address, size_t bytes) override {
            if (auto connection = connection_.lock()) connection->unmap(address, bytes);
        }

    private:
        std::weak_ptr<Connection> connection_;
    };

    static Header reply_to(const Message& message, NTSTATUS status) {
        Header h{};
        h.type = Type::Reply;
        h.id = message.header.id;
        h.thread = message.header.thread;
        h.status = status;
        return h;
    }

    void sender_main() {
        for (;;) {
            Outgoing out;
            {
                std::unique_lock lock(outLock_);
                outReady_.wait(lock, [&] { return !outbox_.empty() || closed_; });
                if (outbox_.empty()) {
                    // Everything owed has gone out: the client sees the end of the connection.
                    shutdown(fd_, SHUT_RDWR);
                    return;
                }
                out = std::move(outbox_.front());
                outbox_.pop_front();
            }
            if (!wire::send_message(fd_, out.header, out.payload.data(), out.payload.size(), out.fd) &&
                (out.payload.size() > wire::kMaxPayload || errno == EMSGSIZE)) {
                // An answer too large for one packet still answers: the
                // client's request fails instead of waiting for ever.
                Header refused = out.header;
                refused.status = STATUS_INVALID_BUFFER_SIZE;
                refused.value = 0;
                refused.flags = 0;
                wire::send_message(fd_, refused, nullptr, 0);
            }
            if (out.fd >= 0) close(out.fd);
        }
    }

    void reader_main() {
        Message message;
        while (wire::receive_message(fd_, &message)) {
            Type type = message.header.type;
            // Only an event takes a descriptor; any other is closed here, or
            // a client could exhaust the machine's descriptors.
            if (message.fd >= 0 && type != Type::CreateEvent) {
                close(message.fd);
                message.fd = -1;
            }
            if (type == Type::Hello) {
                hello(message);
            } else if (type == Type::Mapped) {
                // Only an answer someone waits for is kept; others would pile up.
                std::lock_guard lock(mapLock_);
                if (auto it = mapAnswers_.find(message.header.id); it != mapAnswers_.end() && !it->second) {
                    it->second = NT_SUCCESS(message.header.status) ? reinterpret_cast<void*>(message.header.value)
                                                                    : nullptr;
                    mapped_.notify_all();
                }
            } else if (process_) {
                route(std::move(message));
            } else {
                if (message.fd >= 0) close(message.fd);
                post(reply_to(message, STATUS_INVALID_DEVICE_STATE));  // nothing is served before hello
            }
            message = Message{};
        }
        end();
    }

    void hello(const Message& message) {
        Header h = reply_to(message, STATUS_SUCCESS);
        if (process_ || message.header.code != wire::kProtocolVersion) {
            h.status = STATUS_REVISION_MISMATCH;
        } else {
            std::string name(message.payload.begin(), message.payload.end());
            process_ = Machine::current().processes().create(
                (message.header.flags & wire::kFlag32Bit) != 0, name,
                std::make_shared<RemoteAddressSpace>(weak_from_this()));
            h.value = process_->id();
            if (observer_) observer_(process_->id(), process_->name(), true);
        }
        post(h);
    }

    void route(Message message) {
        std::vector<std::thread> retired;
        {
            std::lock_guard lock(workLock_);
            for (auto it = workers_.begin(); it != workers_.end();) {
                if (it->second.retired) {
                    retired.push_back(std::move(it->second.thread));
                    it = workers_.erase(it);
                } else {
                    ++it;
                }
            }
            uint64_t thread = message.header.thread;
            auto it = workers_.find(thread);
            if (it == workers_.end() && workers_.size() >= kMaxWorkersPerConnection) {
                // Each busy client thread costs the machine a thread: a client
                // naming more at once than any real one uses is refused.
                if (message.fd >= 0) close(message.fd);
                post(reply_to(message, STATUS_INSUFFICIENT_RESOURCES));
            } else {
                bool created = it == workers_.end();
                if (created) it = workers_.try_emplace(thread).first;
                it->second.queue.push_back(std::move(message));
                if (created) it->second.thread = std::thread([this, thread] { worker_main(thread); });
                workReady_.notify_all();
            }
        }
        for (std::thread& thread : retired) thread.join();
    }

    // Serves one client thread's requests in order; retires once it has none
    // queued (the reader joins it), so only busy client threads hold a worker.
    void worker_main(uint64_t thread) {
        CurrentProcessScope scope(process_.get());
        for (;;) {
            Message message;
            {
                std::unique_lock lock(workLock_);
                Worker& worker = workers_[thread];
                workReady_.wait(lock, [&] { return !worker.queue.empty() || stopWorkers_; });
                if (worker.queue.empty()) return;
                message = std::move(worker.queue.front());
                worker.queue.pop_front();
            }
            serve(message);
            std::lock_guard lock(workLock_);
            Worker& worker = workers_[thread];
            if (worker.queue.empty()) {
                worker.retired = true;
                return;
            }
        }
    }

    void serve(Message& message) {
        Header h = reply_to(message, STATUS_SUCCESS);
        auto handle = reinterpret_cast<HANDLE>(message.header.handle);
        switch (message.header.type) {
            case Type::CreateFile: {
                HANDLE opened = nullptr;
                h.status = user_io::create_file(*process_, wire::to_u16(message.payload), &opened);
                h.handle = reinterpret_cast<uint64_t>(opened);
                break;
            }
            case Type::Close:
                h.status = user_io::close_handle(*process_, handle);
                break;
            case Type::Ioctl:
                ioctl(message);
                return;
            case Type::Cancel:
                user_io::cancel_io(*process_, handle,
                                   (message.header.flags & wire::kFlagAllThreads) != 0
                                       ? std::nullopt
                                       : std::optional<uint64_t>(message.header.thread));
                break;
            case Type::CreateEvent: {
                HANDLE event = nullptr;
                h.status = message.fd < 0 ? STATUS_INVALID_PARAMETER
                                          : user_io::create_event(*process_, (message.header.flags & wire::kFlagManualReset) != 0,
                                                                  false, message.fd, &event);
                if (!NT_SUCCESS(h.status) && message.fd >= 0) close(message.fd);
                h.handle = reinterpret_cast<uint64_t>(event);
                break;
            }
            case Type::Interfaces: {
                GUID interfaceClass{};
                if (message.payload.size() != sizeof(GUID)) {
                    h.status = STATUS_INVALID_PARAMETER;
                    break;
                }
                std::memcpy(&interfaceClass, message.payload.data(), sizeof(GUID));
                std::u16string all;
                bool present = (message.header.flags & wire::kFlagPresentOnly) != 0;
                for (const InterfaceRecord& record : Machine::current().interfaces().list(interfaceClass, present)) {
                    all += record.symbolicLink;
                    all += u'\0';
                }
                post(h, wire::to_bytes(all));
                return;
            }
            case Type::Registry: {
                user_registry::Call call;
                if (!user_registry::decode(message.header.code, message.header.length1, message.payload, &call)) {
                    h.status = STATUS_INVALID_PARAMETER;
                    break;
                }
                user_registry::Result result = user_registry::run(Machine::current().registry(), call);
                h.status = result.status;
                h.value = result.disposition;
                h.code = result.type;
                post(h, user_registry::encode_payload(result, call.op));
                return;
            }
            case Type::ResolveFile: {
                auto found = Machine::current().attachment<InstalledFiles>().find(wire::to_u16(message.payload));
                if (!found) {
                    h.status = STATUS_OBJECT_NAME_NOT_FOUND;
                    break;
                }
                std::vector<uint8_t> out = wire::to_bytes(found->windowsPath);
                h.code = static_cast<uint32_t>(out.size());
                std::string file = found->file.string();
                out.insert(out.end(), file.begin(), file.end());
                post(h, std::move(out));
                return;
            }
            case Type::Subscribe:
                subscribe(message, &h);
                break;
            case Type::Unsubscribe:
                h.status = subscriptions_.remove(message.header.value) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
                break;
            default:
                h.status = STATUS_INVALID_DEVICE_REQUEST;
                break;
        }
        post(h);
    }

    // Each change goes out as InterfaceChanged through the one sender, so it
    // reaches the program after every message posted before it.
    void subscribe(const Message& message, Header* h) {
        GUID interfaceClass{};
        if (message.payload.size() != sizeof(GUID)) {
            h->status = STATUS_INVALID_PARAMETER;
            return;
        }
        std::memcpy(&interfaceClass, message.payload.data(), sizeof(GUID));
        std::weak_ptr<Connection> self = weak_from_this();
        h->value = subscriptions_.add(interfaceClass, (message.header.flags & wire::kFlagAllClasses) != 0,
                                      [self](uint64_t id, const InterfaceRecord& record, bool arrived) {
                                          auto connection = self.lock();
                                          if (!connection) return;
                                          Header change{};
                                          change.type = Type::InterfaceChanged;
                                          change.value = id;
                                          change.flags = arrived ? wire::kFlagArrival : 0;
                                          connection->post(change, wire::encode_interface_change(
                                                                       record.interfaceClass, record.symbolicLink));
                                      });
        if (h->value == 0) h->status = STATUS_INSUFFICIENT_RESOURCES;
    }

    // A request's answer: "dispatched" once the driver has returned, and for
    // a pended one "completed" after that, never before, whichever thread completes it.
    struct RemoteIo {
        std::mutex lock;
        bool dispatched = false;  // guarded by lock
        bool completed = false;   // guarded by lock
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
        std::vector<uint8_t> output;
    };

    void ioctl(const Message& message) {
        // Lengths beyond what one message carries are refused before anything
        // is allocated for them, as the client library refuses them.
        if (message.header.length1 > wire::kMaxPayload || message.header.length2 > wire::kMaxPayload) {
            post(reply_to(message, STATUS_INVALID_BUFFER_SIZE));
            return;
        }
        auto io = std::make_shared<RemoteIo>();
        Header request = message.header;
        std::weak_ptr<Connection> self = weak_from_this();
        auto done = [io, request, self](const UserIoResult& result) {
            std::lock_guard lock(io->lock);
            io->completed = true;
            io->status = result.status;
            io->information = result.information;
            io->output.assign(result.output, result.output + result.outputBytes);
            if (!io->dispatched) return;
            if (auto connection = self.lock()) connection->post(answer(request, Type::Completed, *io), io->output);
        };
        const void* input = message.payload.empty() ? nullptr : message.payload.data();
        ULONG inputLength = std::min<ULONG>(message.header.length1, static_cast<ULONG>(message.payload.size()));
        NTSTATUS returned = user_io::device_io_control(process_, reinterpret_cast<HANDLE>(message.header.handle),
                                                       message.header.code, input, inputLength,
                                                       message.header.length2, message.header.thread, done);
        std::lock_guard lock(io->lock);
        io->dispatched = true;
        // What the driver returned decides, as it does in this program: a
        // request it pended is "pending" to the caller even when it has
        // completed by now, and its completion follows.
        if (returned == STATUS_PENDING || !io->completed) {
            Header h = answer(request, Type::Dispatched, *io);
            h.status = STATUS_PENDING;
            h.flags = wire::kFlagPending;
            post(h, {});
            if (io->completed) post(answer(request, Type::Completed, *io), io->output);
            return;
        }
        post(answer(request, Type::Dispatched, *io), io->output);
    }

    static Header answer(const Header& request, Type type, const RemoteIo& io) {
        Header h{};
        h.type = type;
        h.id = request.id;
        h.thread = request.thread;
        h.status = io.completed ? io.status : STATUS_PENDING;
        h.value = io.information;
        return h;
    }

    // The client has gone: its process ends, then the threads serving it stop.
    void end() {
        subscriptions_.clear();
        {
            std::lock_guard lock(mapLock_);
            gone_ = true;
            mapped_.notify_all();
        }
        {
            std::lock_guard lock(workLock_);
            for (auto& [thread, worker] : workers_) {
                for (Message& queued : worker.queue) {
                    if (queued.fd >= 0) close(queued.fd);
                }
                worker.queue.clear();
            }
        }
        if (process_) {
            Machine::current().processes().end(process_->id());
            if (observer_) observer_(process_->id(), process_->name(), false);
        }
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(workLock_);
            stopWorkers_ = true;
            workReady_.notify_all();
            for (auto& [thread, worker] : workers_) threads.push_back(std::move(worker.thread));
        }
        for (std::thread& thread : threads) thread.join();
        subscriptions_.clear();  // again: a worker may have served a subscription meanwhile
        {
            std::lock_guard lock(outLock_);
            closed_ = true;
            outReady_.notify_all();
        }
        finished_.store(true, std::memory_order_release);
        onFinished_();
    }

    const int fd_;
    std::function<void()> onFinished_;
    ProcessObserver observer_;
    std::shared_ptr<Process> process_;  // set by the reader at hello, before any request is routed
    InterfaceSubscriptions subscriptions_;
    std::thread reader_;
    std::thread sender_;
    std::atomic<bool> finished_{false};

    std::mutex outLock_;
    std::condition_variable outReady_;
    std::deque<Outgoing> outbox_;  // guarded by outLock_
    bool closed_ = false;          // guarded by outLock_

    std::mutex workLock_;
    std::condition_variable workReady_;
    std::map<uint64_t, Worker> workers_;  // guarded by workLock_ (threads joined by the reader only)
    bool stopWorkers_ = false;            // guarded by workLock_

    std::mutex mapLock_;
    std::condition_variable mapped_;
    std::map<uint64_t, std::optional<void*>> mapAnswers_;  // awaited maps and their answers; guarded by mapLock_
    uint64_t nextMapId_ = 1;                // guarded by mapLock_
    bool gone_ = false;                     // guarded by mapLock_
};

namespace {

std::mutex g_servingLock;
std::string g_servingPath;  // guarded by g_servingLock

}  // namespace

std::string SocketServer::serving_path() {
    std::lock_guard lock(g_servingLock);
    return g_servingPath;
}

SocketServer::SocketServer(std::string path, ProcessObserver observer)
    : path_(std::move(path)), observer_(std::move(observer)) {}

SocketServer::~SocketServer() { stop(); }

bool SocketServer::start(std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(address.sun_path)) {
        *error = "socket path too long: " + path_;
        return false;
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        *error = std::strerror(errno);
        return false;
    }
    // A socket file nobody answers on is a leftover of a machine that died.
    int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        close(probe);
        close(listener_);
        listener_ = -1;
        *error = "another machine is running on " + path_;
        return false;
    }
    close(probe);
    unlink(path_.c_str());
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener_, 16) != 0) {
        *error = path_ + ": " + std::strerror(errno);
        close(listener_);
        listener_ = -1;
        return false;
    }
    acceptor_ = std::thread([this] { accept_main(); });
    std::lock_guard lock(g_servingLock);
    g_servingPath = path_;
    return true;
}

void SocketServer::accept_main() {
    while (!stopping_.load(std::memory_order_acquire)) {
        pollfd p{listener_, POLLIN, 0};
        constexpr int kPollMs = 100;  // how soon a stop is noticed
        if (poll(&p, 1, kPollMs) <= 0) continue;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto connection = std::make_shared<Connection>(fd, [this] {
            std::lock_guard lock(lock_);
            finished_.notify_all();
        }, observer_);
        reap();
        std::lock_guard lock(lock_);
        connections_.push_back(connection);
        connection->start();
    }
}

void SocketServer::reap() {
    std::vector<std::shared_ptr<Connection>> done;
    {
        std::lock_guard lock(lock_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished()) {
                done.push_back(*it);
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& connection : done) connection->join();
}

size_t SocketServer::connections() {
    reap();
    std::lock_guard lock(lock_);
    return connections_.size();
}

void SocketServer::wait_for_connections(size_t count) {
    std::unique_lock lock(lock_);
    finished_.wait(lock, [&] {
        size_t serving = 0;
        for (auto& connection : connections_) serving += connection->finished() ? 0 : 1;
        return serving <= count;
    });
}

void SocketServer::stop() {
    if (listener_ < 0) return;
    stopping_.store(true, std::memory_order_release);
    shutdown(listener_, SHUT_RDWR);  // wakes the acceptor's poll at once
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::shared_ptr<Connection>> all;
    {
        std::lock_guard lock(lock_);
        all.swap(connections_);
    }
    for (auto& connection : all) connection->shut();
    for (auto& connection : all) connection->join();
    close(listener_);
    listener_ = -1;
    unlink(path_.c_str());
    std::lock_guard lock(g_servingLock);
    if (g_servingPath == path_) g_servingPath.clear();
}

}  // namespace platform
