#include "socket_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::wire {

bool send_message(int socket, const Header& header, const void* payload, size_t bytes, int fd) {
    if (bytes > kMaxPayload) return false;
    iovec parts[2] = {{const_cast<Header*>(&header), sizeof(Header)}, {const_cast<void*>(payload), bytes}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = bytes != 0 ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    }
    for (;;) {
        ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<size_t>(sent) == sizeof(Header) + bytes;
        if (errno != EINTR) return false;
    }
}

bool receive_message(int socket, Message* out) {
    std::vector<uint8_t> buffer(sizeof(Header) + kMaxPayload);
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t got;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    out->fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&out->fd, CMSG_DATA(c), sizeof(int));
    }
    if (got < static_cast<ssize_t>(sizeof(Header)) || (message.msg_flags & MSG_TRUNC) != 0) {
        if (out->fd >= 0) close(out->fd);
        out->fd = -1;
        return false;
    }
    std::memcpy(&out->header, buffer.data(), sizeof(Header));
    out->payload.assign(buffer.begin() + sizeof(Header), buffer.begin() + got);
    return true;
}

std::vector<uint8_t> to_bytes(std::u16string_view text) {
    std::vector<uint8_t> bytes(text.size() * sizeof(char16_t));
    if (!text.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::u16string to_u16(const std::vector<uint8_t>& bytes) {
    std::u16string text(bytes.size() / sizeof(char16_t), u'\0');
    if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(char16_t));
    return text;
}

}  // namespace platform::wire
