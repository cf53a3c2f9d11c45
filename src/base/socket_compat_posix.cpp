// The socket layer on POSIX systems.
#include "base/socket_compat.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {
int clamp_size(size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}
}  // namespace

bool sockets_start() {
    return true;
}

void sockets_stop() {}

bool socket_set_nonblocking(SOCKET s) {
    int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

void socket_allow_rebind(SOCKET listener) {
    int reuse = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
}

bool socket_would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
}

int socket_last_error() {
    return errno;
}

void socket_error_text(int error, std::span<char> text) {
    if (!text.empty())
        std::snprintf(text.data(), text.size(), "%s", std::strerror(error));
}

bool socket_out_of_resources() {
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
}

int socket_send(SOCKET s, const void* data, size_t size) {
    return static_cast<int>(send(s, data, static_cast<size_t>(clamp_size(size)), kSendFlags));
}

int socket_recv(SOCKET s, void* data, size_t size) {
    return static_cast<int>(recv(s, data, static_cast<size_t>(clamp_size(size)), 0));
}

size_t socket_pending_bytes(SOCKET s) {
    int pending = 0;
    return ioctl(s, FIONREAD, &pending) == 0 && pending > 0 ? static_cast<size_t>(pending) : 0;
}

int socket_send_pieces(SOCKET s, std::span<const char> first, std::span<const char> second) {
    iovec pieces[2] = {{const_cast<char*>(first.data()), first.size()},
                       {const_cast<char*>(second.data()), second.size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = second.empty() ? 1 : 2;
    return static_cast<int>(sendmsg(s, &message, kSendFlags));
}

int socket_wait_connected(SOCKET s, int timeout_ms) {
    pollfd entry{s, POLLOUT, 0};
    int ready = poll(&entry, 1, timeout_ms);
    if (ready == 0)
        return 0;
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0 ? 1 : -1;
}

int socket_poll(PollFd* sockets, size_t count, int timeout_ms) {
    return poll(sockets, static_cast<nfds_t>(count), timeout_ms);
}

bool socket_keepalive(SOCKET s) {
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return false;
    int idle_s = kKeepaliveIdleS;
    int interval_s = kKeepaliveIntervalS;
    int probes = kKeepaliveProbes;
    setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#ifdef TCP_USER_TIMEOUT
    unsigned limit_ms = kUnacknowledgedLimitMs;
    setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit_ms, sizeof limit_ms);
#endif
    return true;
}
